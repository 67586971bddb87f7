"""Commands and argument types named by their module, imported only when
one runs: the command line declares every command when it starts, and a run
uses one."""

from __future__ import annotations

import argparse
import importlib
from typing import Any, Callable

from tallyvox._tallyvox import TallyvoxError


def imported(module: str, name: str) -> Any:
    """`name` (dotted for an attribute of an attribute) of `module`, which
    is imported now."""
    value: Any = importlib.import_module(module)
    for part in name.split("."):
        value = getattr(value, part)
    return value


def command(module: str, name: str) -> Callable[[argparse.Namespace], int]:
    """The command function `name` of `module`, imported when it runs."""
    def run(args: argparse.Namespace) -> int:
        code: int = imported(module, name)(args)
        return code
    return run


def argument_type(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    """`parse` as an argument type: a ValueError or TallyvoxError it raises is
    a usage error with its text."""
    def convert(text: str) -> Any:
        try:
            return parse(text)
        except (ValueError, TallyvoxError) as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return convert


def deferred_type(module: str, name: str) -> Callable[[str], Any]:
    """argument_type of `name` of `module`, imported when the option is given."""
    return lambda text: argument_type(imported(module, name))(text)
