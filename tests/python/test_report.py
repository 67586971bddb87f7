"""The report's model of a ledger (counts, pairs, totals, folding, chart)
against independent counts, and the `report` command's exits and texts."""

import json
import math
import re
import subprocess
import sys
from collections import Counter

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import tallyvox
from tallyvox import events
from tallyvox.cli.ledger import Ledger
from tallyvox.cli.verify import summarise
from tallyvox.report import chart
from tallyvox.report.model import Folding, ledger_view, shown_ranges

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

from report_fixtures import (chain, conversation, parse_html, run_cli, tamper, verdict_text,
                             verify_entries, write_ledger)
from tlog_model import COSIGNER, model_cosign, model_vkey, public_of

pytest.importorskip("jinja2")
from tallyvox.report.page import ms_text  # noqa: E402 - needs Jinja2

KEYPAIR = tallyvox.SigningKeypair.generate()
TOOLS = ["search", "<b>lookup</b>", "book"]

# (kind, tool, success, latency_ms)
steps = st.lists(st.one_of(
    st.tuples(st.sampled_from(["start", "heard", "said", "model", "end"]), st.none(),
              st.none(), st.none()),
    st.tuples(st.just("call"), st.sampled_from(TOOLS), st.none(), st.none()),
    st.tuples(st.just("return"), st.sampled_from(TOOLS), st.booleans(),
              st.integers(0, 10**6)),
), min_size=1, max_size=60)


def event_of(kind, tool, success, latency):
    return {
        "start": lambda: events.session_started(agent_id="a", model_id="m", session_id="s"),
        "heard": lambda: events.utterance_captured(audio_sha256="a", transcript="hi", lang="en",
                                                   duration_ms=5),
        "said": lambda: events.utterance_spoken(text_sha256="t", text="hello", audio_sha256="b"),
        "model": lambda: events.model_invoked(model_id="m", prompt_sha256="p",
                                              response_sha256="r", prompt_tokens=3,
                                              response_tokens=4),
        "call": lambda: events.tool_called(tool_name=tool, args_sha256="h", args_redacted=[tool]),
        "return": lambda: events.tool_returned(tool_name=tool, result_sha256="r",
                                               latency_ms=latency, success=success),
        "end": lambda: events.session_ended(reason="done", summary_sha256="s"),
    }[kind]()


def view_of(plan, folding=Folding(), broken=None):
    """The view of a ledger recorded from `plan`, its link cut before `broken`."""
    made = [event_of(*step) for step in plan]
    if broken is None:
        records = chain(made, KEYPAIR)
    else:
        records = chain(made[:broken], KEYPAIR) + chain(made[broken:], KEYPAIR, broken, "f" * 64)
    ledger = Ledger("memory", tallyvox.verify_chain(records), records)
    return ledger_view(summarise(ledger, None), ledger, folding), records


def items_of(view):
    return [item for segment in view.segments for item in segment.items]


@given(steps)
@settings(max_examples=60, deadline=None)
def test_counts_pairs_and_tool_totals_match_the_events(plan):
    view, records = view_of(plan, Folding(head=len(plan)))
    kinds = [kind for kind, *_ in plan]
    assert {k: v for k, v in view.counts.items() if k != "failed"} == Counter(kinds)
    assert view.counts["failed"] == sum(1 for k, _t, ok, _l in plan if k == "return" and not ok)
    assert view.turns == kinds.count("heard") + kinds.count("said")
    items = items_of(view)
    assert [item.line for item in items] == [record.to_json() for record in records]
    # Pairs: one call with one later return of the same tool, never crossing
    # within a tool, and no return left alone while an earlier call waits.
    pairs = {item.index: item.pair.index for item in items if item.pair}
    assert all(pairs[other] == index for index, other in pairs.items())
    calls = {i: j for i, j in pairs.items() if plan[i][0] == "call"}
    for call, answer in calls.items():
        assert plan[answer][0] == "return" and plan[answer][1] == plan[call][1] and call < answer
        assert items[call].failed == (not plan[answer][2])
    for a in calls:
        for b in calls:
            if plan[a][1] == plan[b][1] and a < b:
                assert calls[a] < calls[b]
    for index, (kind, tool, *_rest) in enumerate(plan):
        if kind == "return" and index not in pairs:
            assert not any(plan[c][0] == "call" and plan[c][1] == tool and c not in pairs
                           for c in range(index))
    totals = {total.name: total for total in view.tools}
    assert set(totals) == {tool for _k, tool, *_ in plan if tool is not None}
    for name, total in totals.items():
        returns = [(ok, ms) for k, t, ok, ms in plan if k == "return" and t == name]
        assert (total.calls, total.returns, total.failed, total.total_ms, total.max_ms) == (
            sum(1 for k, t, *_ in plan if k == "call" and t == name), len(returns),
            sum(1 for ok, _ms in returns if not ok), sum(ms for _ok, ms in returns),
            max((ms for _ok, ms in returns), default=0))


foldings = st.builds(Folding, head=st.integers(1, 8), tail=st.integers(1, 8),
                     around=st.integers(0, 5), min_fold=st.integers(1, 6))


@given(steps, foldings, st.data())
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
def test_segments_cover_every_event_once_and_folds_count_what_they_hide(plan, folding, data):
    broken = data.draw(st.one_of(st.none(), st.integers(0, len(plan) - 1)))
    view, records = view_of(plan, folding, broken)
    covered = []
    for segment in view.segments:
        if segment.fold is None:
            covered.extend(item.index for item in segment.items)
            continue
        fold = segment.fold
        hidden = range(fold.first_seq, fold.last_seq + 1)
        assert fold.count == len(hidden) >= folding.min_fold
        assert fold.kinds == Counter(plan[i][0] for i in hidden)
        failed = [i for i in hidden if plan[i][0] == "return" and not plan[i][2]]
        assert fold.failed_count == len(failed)
        assert [seq for seq, _tool in fold.failed] == failed[:20]
        covered.extend(hidden)
    assert covered == list(range(len(plan)))
    marks = {item.index: item.mark for item in items_of(view)}
    if broken is not None:
        assert marks[broken] == "break"
        assert view.facts["broken_at"] == broken
    for index, mark in marks.items():
        assert mark == (None if broken is None or index < broken else
                        "break" if index == broken else "unverified")


@given(st.integers(0, 3000), st.data(), foldings)
def test_shown_ranges_keep_both_ends_and_the_break(count, data, folding):
    broken = data.draw(st.one_of(st.none(), st.integers(0, max(0, count - 1)))) if count else None
    ranges = shown_ranges(count, broken, folding)
    shown = {i for start, stop in ranges for i in range(start, stop)}
    needed = set(range(min(count, folding.head))) | set(range(max(0, count - folding.tail), count))
    if broken is not None:
        needed |= set(range(max(0, broken - folding.around),
                            min(count, broken + folding.around + 1)))
    assert needed <= shown <= set(range(count))
    assert all(a[1] + folding.min_fold <= b[0] for a, b in zip(ranges, ranges[1:]))
    assert len(shown) <= len(needed) + 2 * (folding.min_fold - 1)


points = st.lists(st.tuples(st.integers(0, 10**12), st.integers(0, 10**7), st.booleans()),
                  max_size=400)


@given(points, st.lists(st.tuples(st.integers(0, 10**12),
                                  st.one_of(st.none(), st.floats(-5, 1e7))), max_size=200))
def test_chart_marks_stay_in_the_plot_and_keep_the_slowest(tool_points, model_points):
    stamps = [t for t, *_ in tool_points + model_points]
    drawn = chart.latency_chart(min(stamps, default=0), max(stamps, default=0), tool_points,
                                model_points)
    models = [max(ms, 0.0) for _t, ms in model_points if ms is not None]
    if not tool_points and not models:
        assert drawn is None
        return
    for marks, values in ((drawn.tool_marks, [ms for _t, ms, _f in tool_points]),
                          (drawn.model_marks, models)):
        assert sum(mark.count for mark in marks) == len(values)
        assert max((mark.ms for mark in marks), default=None) == max(values, default=None)
        assert len(marks) <= chart.PLOT_W + 1
        assert [mark.x for mark in marks] == sorted({mark.x for mark in marks})
        for mark in marks:
            assert chart.LEFT <= mark.x <= chart.LEFT + chart.PLOT_W
            assert chart.TOP - 1e-9 <= mark.y <= chart.TOP + chart.PLOT_H + 1e-9
    assert sum(mark.failed for mark in drawn.tool_marks) <= sum(f for *_x, f in tool_points)
    assert drawn.slowest_ms == max([ms for _t, ms, _f in tool_points] + models)


@given(st.floats(1e-6, 1e12))
@example(1.0000000000000002e-06)
@example(1000.0)
def test_nice_ceiling_is_one_two_or_five_times_a_power_of_ten(value):
    top = chart.nice_ceiling(value)
    assert value <= top < 2.5 * value
    mantissa = top / 10 ** math.floor(math.log10(top))
    assert round(mantissa, 9) in (1, 2, 5)


@pytest.mark.parametrize("show, value, text", [
    *((ms_text, ms, text) for ms, text in [
        (None, "\u2014"), (0, "0 ms"), (132, "132 ms"), (0.25, "250 \u00b5s"),
        (-0.0314, "-31 \u00b5s"), (999.94, "999.9 ms"), (1500, "1.50 s"), (-2000, "-2.00 s")]),
    *((chart.duration_text, seconds, text) for seconds, text in [
        (0, "0 \u00b5s"), (2.5e-4, "250 \u00b5s"), (0.038, "38 ms"), (0.0125, "12.5 ms"),
        (1, "1 s"), (12.34, "12.3 s"), (600, "10 min"), (7200, "2 h")]),
])
def test_latency_and_duration_texts(show, value, text):
    assert show(value) == text


# ---------------------------------------------------------------------------
# the command


@pytest.fixture
def ledgers(tmp_path):
    valid = write_ledger(tmp_path / "valid.ndjson", chain(conversation(), KEYPAIR))
    broken = write_ledger(tmp_path / "broken.ndjson", chain(conversation(), KEYPAIR))
    tamper(broken, 5, "About", "Regarding")
    return {"valid": valid, "broken": broken, "missing": tmp_path / "missing.ndjson"}


def page_of(path):
    return parse_html(path.read_text(encoding="utf-8"))


OTHER_KEY = "ab" * 32


@pytest.mark.parametrize("names, options, code, complaint, looks", [
    (["valid"], [], 0, None, ["valid"]),
    (["broken"], [], 1, None, ["broken"]),
    (["valid"], ["--expect-signer", OTHER_KEY], 1, None, ["doubtful"]),
    (["valid", "broken"], [], 1, None, ["valid", "broken"]),
    (["missing", "valid"], [], 2, "{missing}: no such file", ["error", "valid"]),
    (["valid"], ["--require-end"], 0, None, ["valid"]),
], ids=["valid", "broken", "other-signer", "two", "missing", "require-end"])
def test_report_exits_as_verify_and_shows_its_verdicts(ledgers, tmp_path, names, options, code,
                                                       complaint, looks):
    page = tmp_path / "out" / "page.html"
    page.parent.mkdir()
    paths = [ledgers[name] for name in names]
    result = run_cli("report", *paths, "-o", page, *options)
    assert result.returncode == code, result.stderr
    assert result.stdout == f"{page}\n"
    assert result.stderr == ("" if complaint is None else
                             f"tallyvox: {complaint.format(**ledgers)}\n")
    verified = run_cli("verify", "--json", *paths, *options)
    assert verified.returncode == code
    entries = {e["path"]: e for e in json.loads(verified.stdout)["ledgers"]}
    dom = page_of(page)
    sections = dom.all("section", cls="ledger")
    assert [s.one("h2").text() for s in sections] == list(map(str, paths))
    for section, path, look in zip(sections, paths, looks):
        entry = entries[str(path)]
        assert section.one("p", cls="verdict-text").text() == verdict_text(entry)
        assert look in section.one("div", cls="verdict").classes
        for name in ("end", "witnesses"):
            if name in entry:
                shown = section.one("dd", data_check=name)
                assert ("pass" in shown.classes) == entry[name]["ok"]
                assert entry[name]["reason"] in (None, shown.text())
    assert bool(dom.all("section", id="index")) == (len(paths) > 1)


def test_witness_cosignatures_are_judged_as_verify_judges_them(ledgers, tmp_path):
    keyfile = tmp_path / "signing.key"
    KEYPAIR.save(keyfile)
    note = tmp_path / "valid.checkpoint"
    assert run_cli("checkpoint", ledgers["valid"], "--key", keyfile, "-o", note).returncode == 0
    witnesses = {name: Ed25519PrivateKey.generate() for name in ("w1", "w2", "w3")}
    vkeys = {name: model_vkey(name, public_of(key), COSIGNER) for name, key in witnesses.items()}
    text = note.read_text().split("\n\n")[0] + "\n"
    note.write_text(note.read_text() + "".join(
        model_cosign(text, name, witnesses[name], 1_700_000_000) for name in ("w1", "w2")))
    cases = [  # (witness keys, quorum, exit)
        ([], None, 0), (["w1", "w2"], 2, 0), (["w1", "w3"], 2, 1), (["w1", "w3"], 1, 0),
    ]
    for names, quorum, code in cases:
        options = ["--checkpoint", note, *(o for n in names for o in ("--witness-key", vkeys[n])),
                   *(["--quorum", str(quorum)] if quorum else [])]
        page = tmp_path / "page.html"
        result = run_cli("report", ledgers["valid"], "-o", page, *options)
        assert result.returncode == code, result.stderr
        [entry] = verify_entries(ledgers["valid"], *options).values()
        dom = page_of(page)
        assert entry["checkpoint"]["ok"]
        if not names:
            assert "witnesses" not in entry and not dom.all("dd", data_check="witnesses")
            continue
        shown = dom.one("dd", data_check="witnesses")
        assert entry["witnesses"]["ok"] == (code == 0) == ("pass" in shown.classes)
        assert shown.text().startswith(f"cosigned by {2 if names == ['w1', 'w2'] else 1} of 2")


@pytest.mark.parametrize("options, message", [
    # The quorum's other rules are verify's, shared (test_cli_witness.py).
    (["--witness-key", "VKEY"], "--witness-key needs --checkpoint"),
    (["--quorum", "0"], "argument --quorum: not a positive number of witnesses: '0'"),
    (["--expect-signer", "xyz"], "argument --expect-signer: not a public key"),
    (None, "the following arguments are required: -o/--output"),
])
def test_options_that_cannot_be_used_are_usage_errors(ledgers, tmp_path, options, message):
    page = tmp_path / "page.html"
    vkey = model_vkey("w1", public_of(Ed25519PrivateKey.generate()), COSIGNER)
    options = [] if options is None else ["-o", page, *(vkey if o == "VKEY" else o for o in options)]
    result = run_cli("report", ledgers["valid"], *options)
    assert result.returncode == 2 and message in result.stderr
    assert not page.exists()


def test_unwritable_output_is_one_line_and_exit_2(ledgers, tmp_path):
    target = tmp_path / "no" / "such" / "page.html"
    result = run_cli("report", ledgers["valid"], "-o", target)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"tallyvox: {target}: No such file or directory\n"


def test_without_jinja2_report_refuses_and_demo_says_how_to_get_it(ledgers, tmp_path):
    hide = "import sys; sys.modules['jinja2'] = None; from tallyvox import cli; "
    report = run_python(hide + f"sys.exit(cli.main(['report', {str(ledgers['valid'])!r}, "
                               f"'-o', {str(tmp_path / 'x.html')!r}]))")
    assert (report.returncode, report.stdout) == (2, "")
    assert report.stderr == ("tallyvox: report: the HTML report needs Jinja2: "
                             "pip install 'tallyvox[report]'\n")
    assert not (tmp_path / "x.html").exists()
    demo = run_python(hide + f"sys.exit(cli.main(['demo', '--dir', {str(tmp_path)!r}]))")
    assert demo.returncode == 0, demo.stderr
    assert ("report:      not written: the HTML report needs Jinja2: "
            "pip install 'tallyvox[report]'") in demo.stdout.splitlines()


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)


def test_long_sessions_fold_to_a_page_whose_size_does_not_grow(tmp_path):
    sizes = {}
    for count in (2000, 8000):
        plan = conversation(failed=True) * (count // 7)
        path = write_ledger(tmp_path / f"{count}.ndjson", chain(plan, KEYPAIR))
        page = tmp_path / f"{count}.html"
        assert run_cli("report", path, "-o", page).returncode == 0
        text = page.read_text(encoding="utf-8")
        # The chart holds at most a mark per pixel column (both ends counted)
        # and series; all else on the page must not grow with the ledger.
        charts = re.findall(r"<svg.*?</svg>", text, flags=re.S)
        assert all(c.count("<circle") <= chart.PLOT_W + 1 and c.count("<rect") <= chart.PLOT_W + 2
                   for c in charts)
        sizes[count] = len(text) - sum(map(len, charts))
        dom = page_of(page)
        shown = len(dom.all("li", cls="ev"))
        [fold] = dom.all("li", cls="fold")
        folded = int(fold.one("strong").text().split()[0])
        assert shown + folded == len(plan)
        assert shown == Folding().head + Folding().tail
    assert sizes[8000] < 1.01 * sizes[2000]
