"""Report pages opened in headless Chromium: what the browser shows, read from
its DOM after the page's script ran, and what it logged to its console."""

import shutil
import subprocess

import pytest

import tallyvox
from tallyvox import events

from report_fixtures import (chain, conversation, counts_of, file_lines, parse_html, run_cli,
                             tamper, verdict_text, verify_entries, write_ledger)

pytest.importorskip("jinja2")

CHROMIUM = next(filter(None, map(shutil.which, ("chromium", "chromium-browser",
                                                "google-chrome"))), None)
pytestmark = pytest.mark.skipif(
    CHROMIUM is None, reason="no Chromium to open the pages in (Debian: apt install chromium)")


def browse(page, tmp_path):
    """The DOM Chromium holds once `page` has loaded, and its console lines."""
    command = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0",
               "--dump-dom", page.resolve().as_uri()]
    done = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr
    console = [line for line in done.stderr.splitlines() if ":CONSOLE" in line]
    return parse_html(done.stdout), console


def check_section(section, path, entry):
    """A ledger's section shows what verify --json and the file say."""
    assert section.one("h2").text() == str(path)
    assert section.one("p", cls="verdict-text").text() == verdict_text(entry)
    assert section.one("dd", data_fact="event_count").text() == str(entry["event_count"])
    shown = {node.attrs["data-count"]: int(node.text())
             for node in section.all("strong") if "data-count" in node.attrs}
    assert shown == counts_of(path)
    lines = file_lines(path)
    items = section.all("li", cls="ev")
    assert [int(item.attrs["data-seq"]) for item in items] == list(range(len(lines)))
    for item, line in zip(items, lines):
        assert item.one("pre", cls="line").text() == line  # the exact ledger line
    breaks = section.all("li", cls="break")
    if entry["status"] == "broken":
        [mark] = breaks
        assert mark.attrs["data-seq"] == str(entry["broken_at"])
        assert f"at seq {entry['broken_at']}: {entry['reason']}" in mark.text()
        assert all("unverified" in item.classes for item in items[entry["broken_at"] + 1:])
    else:
        assert breaks == []
    failed = [item for item in items if {"return", "failed"} <= item.classes]
    assert len(failed) == counts_of(path)["failed"]
    for call in (item for item in items if "call" in item.classes):
        links = call.one("div", cls="bubble").all("a")
        if not links:
            assert "no return recorded" in call.text() and "failed" not in call.classes
            continue
        [answer] = [item for item in items if item.attrs["id"] == links[0].attrs["href"][1:]]
        assert "return" in answer.classes
        assert ("failed" in call.classes) == ("failed" in answer.classes)


def demo_case(tmp_path):
    result = run_cli("demo", "--dir", tmp_path / "demo")
    assert result.returncode == 0, result.stderr
    [page] = [line.split(None, 1)[1] for line in result.stdout.splitlines()
              if line.startswith("report:")]
    page = tmp_path / page
    assert page.name == "report.html"
    return page, [page.parent / "ledger.ndjson"], False


def broken_case(tmp_path):
    keypair = tallyvox.SigningKeypair.generate()
    path = write_ledger(tmp_path / "broken.ndjson",
                        chain(conversation(failed=True) * 2, keypair))
    tamper(path, 8, "Where is my parcel?", "Where is my money?")
    page = tmp_path / "broken.html"
    assert run_cli("report", path, "-o", page).returncode == 1
    return page, [path], False


def directory_case(tmp_path):
    keypair = tallyvox.SigningKeypair.generate()
    folder = tmp_path / "audit"
    (folder / "b").mkdir(parents=True)
    valid = write_ledger(folder / "a.ndjson", chain(conversation(), keypair))
    broken = write_ledger(folder / "b" / "c.ndjson", chain(conversation(failed=True), keypair))
    tamper(broken, 3, '"tool_name":"track"', '"tool_name":"trace"')
    torn = write_ledger(folder / "b" / "d.ndjson", chain(conversation(), keypair))
    with open(torn, "a", encoding="utf-8") as handle:
        handle.write('{"seq":7,"timestamp_n')
    page = tmp_path / "audit.html"
    result = run_cli("report", folder, "-o", page)
    assert result.returncode == 2, result.stderr
    assert result.stderr.startswith(f"tallyvox: {torn}: the final line is torn")
    return page, [valid, broken, torn], True


@pytest.mark.parametrize("case", [demo_case, broken_case, directory_case],
                         ids=["demo", "broken", "directory"])
def test_page_shows_the_verdicts_and_the_conversations(case, tmp_path):
    page, paths, indexed = case(tmp_path)
    entries = verify_entries(*paths)
    # The file as a browser without scripts shows it: everything but the
    # filter controls, which stay hidden.
    source = parse_html(page.read_text(encoding="utf-8"))
    assert "hidden" in source.one("form", id="filters").attrs
    check_page(source, paths, entries, indexed)
    dom, console = browse(page, tmp_path)
    assert console == []  # no error, and nothing that a policy had to block
    assert "hidden" not in dom.one("form", id="filters").attrs  # the page's own script ran
    check_page(dom, paths, entries, indexed)


def check_page(dom, paths, entries, indexed):
    sections = dom.all("section", cls="ledger")
    assert len(sections) == len(paths)
    for section, path in zip(sections, paths):
        entry = entries[str(path)]
        if entry["status"] == "error":
            assert section.one("p", cls="verdict-text").text() == verdict_text(entry)
            assert section.all("li", cls="ev") == []
            assert "the final line is torn" in section.text()
        else:
            check_section(section, path, entry)
    rows = [row for row in dom.all("tr") if "data-ledger" in row.attrs]
    assert len(rows) == (len(paths) if indexed else 0)
    for row, path in zip(rows, paths):
        link = row.one("a")
        target = dom.one("section", id=link.attrs["href"][1:])
        assert link.text() == target.one("h2").text() == str(path)
        assert row.one("td", cls="verdict-cell").text() == verdict_text(entries[str(path)])
        assert row.all("td")[2].text() == str(entries[str(path)]["event_count"])


HOSTILE = [
    '<script>console.log("INJECTED");document.body.dataset.pwned="script"</script>',
    '"><img src=x onerror="console.log(\'INJECTED\');document.body.dataset.pwned=\'img\'">',
    "</p></li></ol></section><svg onload=\"document.body.dataset.pwned='svg'\">",
    "'><a href=\"javascript:document.body.dataset.pwned='link'\">x</a> {{ 7*7 }} &amp; \u2028",
]


def test_hostile_ledger_text_renders_as_text(tmp_path):
    keypair = tallyvox.SigningKeypair.generate()
    hostile = " ".join(HOSTILE)
    folder = tmp_path / "<b>calls<script>alert(1)"
    folder.mkdir()
    name = folder / '"><img src=x onerror=alert(1)>.ndjson'
    path = write_ledger(name, chain([
        events.session_started(agent_id=hostile, model_id=hostile, session_id=hostile),
        *conversation(transcript=hostile, tool=hostile, failed=True)[1:-1],
        events.session_ended(reason=hostile, summary_sha256="s"),
    ], keypair))
    page = tmp_path / "hostile.html"
    assert run_cli("report", folder, "-o", page).returncode == 0
    dom, console = browse(page, tmp_path)
    body = dom.one("body")
    assert "data-pwned" not in body.attrs
    assert console == []  # nothing ran, and nothing was even parsed as markup to block
    assert len(dom.all("script")) == 1 and dom.all("img") == []
    assert all(node.attrs["href"].startswith("#") for node in dom.all("a"))
    assert not any(k.startswith("on") for node in dom.all() for k in node.attrs)
    texts = [node.text() for node in dom.all("p", cls="text")]
    assert hostile in texts  # the transcript, literally
    assert f"About {hostile}" in texts
    assert f"reason: {hostile}" in texts
    assert dom.one("section", cls="ledger").one("h2").text() == str(path)
    assert dom.one("section", id="index").one("a").text() == str(path)
    assert dom.one("table", cls="tools").one("code").text() == hostile
