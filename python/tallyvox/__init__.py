"""tallyvox: a tamper-evident, signed ledger of what an AI agent did."""

from tallyvox import _tallyvox
from tallyvox._tallyvox import *  # noqa: F401,F403
from tallyvox._tallyvox import __all__, __version__  # noqa: F401

events = _tallyvox.events
