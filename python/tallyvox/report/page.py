"""The page itself: the views rendered through Jinja2 with autoescaping, into
one self-contained HTML file.

Everything the page needs is inside it: the style, the SVG, and a small
script that only adds filtering. Its Content-Security-Policy allows that one
script by its hash and nothing else (no other script, no inline handler, no
image, font or connection), so even markup that slipped past escaping could
not run or fetch anything."""

from __future__ import annotations

import base64
import datetime
import hashlib
from importlib import resources
from typing import Any, Iterable

import jinja2
from markupsafe import Markup

import tallyvox
from tallyvox.report.chart import BAR_W, HEIGHT, LEFT, PLOT_H, PLOT_W, TOP, WIDTH, duration_text
from tallyvox.report.model import LedgerView


def _package_text(name: str) -> str:
    return resources.files("tallyvox.report").joinpath("templates", name).read_text("utf-8")


def _environment() -> jinja2.Environment:
    env = jinja2.Environment(
        loader=jinja2.PackageLoader("tallyvox.report", "templates"),
        autoescape=True, undefined=jinja2.StrictUndefined,
        trim_blocks=True, lstrip_blocks=True)
    env.filters["ms"] = ms_text
    env.filters["span"] = lambda nanos: duration_text(nanos / 1e9)
    env.filters["short"] = lambda key: key[:16] + "\u2026" if len(key) > 16 else key
    env.globals.update(WIDTH=WIDTH, HEIGHT=HEIGHT, LEFT=LEFT, TOP=TOP, PLOT_W=PLOT_W,
                       PLOT_H=PLOT_H, BAR_W=BAR_W)
    return env


def ms_text(ms: float | None) -> str:
    """A latency in milliseconds, as text."""
    if ms is None:
        return "\u2014"
    if abs(ms) >= 1000:
        return f"{ms / 1000:.2f} s"
    if ms == int(ms):
        return f"{int(ms)} ms"
    return f"{ms * 1000:.0f} \u00b5s" if abs(ms) < 1 else f"{ms:.1f} ms"


class Page:
    """The template and script, loaded once."""

    def __init__(self) -> None:
        self.env = _environment()
        self.template = self.env.get_template("report.html.j2")
        script = _package_text("filter.js")
        digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode()
        self.script = Markup(script)  # the package's own code, never ledger text
        self.policy = (f"default-src 'none'; script-src 'sha256-{digest}'; "
                       "style-src 'unsafe-inline'; base-uri 'none'; form-action 'none'")

    def render(self, views: Iterable[LedgerView], index: bool, totals: str | None) -> str:
        """The page of `views`; with `index`, a table of them first."""
        views = list(views)
        for number, view in enumerate(views, 1):
            view.number = number
        context: dict[str, Any] = {
            "views": views, "index": index, "totals": totals, "script": self.script,
            "policy": self.policy, "version": tallyvox.__version__,
            "made": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ"),
        }
        return self.template.render(context)
