import collections
import dataclasses
import enum
import json
import math
import sys
import types

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tallyvox import SigningError, canonical_json


def reference(v):
    return json.dumps(v, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


@pytest.mark.parametrize(
    "value,expected",
    [
        ({"b": 1, "a": [True, None, 1.5]}, b'{"a":[true,null,1.5],"b":1}'),
        ({"a": 0, "B": 1, "aa": 2, "\u00e9": 3}, '{"B":1,"a":0,"aa":2,"\u00e9":3}'.encode()),
        ({"\U0001f600": 1, "\uff5e": 2}, '{"\uff5e":2,"\U0001f600":1}'.encode()),
        ({"z": {"y": 1, "x": 2}, "a": 0}, b'{"a":0,"z":{"x":2,"y":1}}'),
        ("\x07\x0b\x1f\x7f/\u00e9", b'"\\u0007\\u000b\\u001f\x7f/\xc3\xa9"'),
        ('"\\\t\n\b\f\r', b'"\\"\\\\\\t\\n\\b\\f\\r"'),
        (2**64 - 1, b"18446744073709551615"),
        (-(2**63), b"-9223372036854775808"),
        (0, b"0"),
        (True, b"true"),
        (False, b"false"),
        (None, b"null"),
        (1, b"1"),
        (1.0, b"1.0"),
        (-0.0, b"-0.0"),
        (0.1, b"0.1"),
        (1e15, b"1000000000000000.0"),
        (1e16, b"1e+16"),
        (0.00001, b"0.00001"),
        (0.000001, b"1e-6"),
        (1.5e300, b"1.5e+300"),
        (5e-324, b"5e-324"),
        ({}, b"{}"),
        ([], b"[]"),
        ((), b"[]"),
        (set(), b"[]"),
        ("", b'""'),
        ((1, 2), b"[1,2]"),
        (range(3), b"[0,1,2]"),
        (types.MappingProxyType({"b": 1, "a": 2}), b'{"a":2,"b":1}'),
        (collections.OrderedDict([("b", 1), ("a", 2)]), b'{"a":2,"b":1}'),
        ({float("nan")}, b"[null]"),
        (frozenset({"x"}), b'["x"]'),
    ],
)
def test_encodes(value, expected):
    assert canonical_json(value) == expected


class Color(enum.IntEnum):
    RED = 3


class BigInt(int):
    pass


class Text(str):
    pass


class Floaty(float):
    pass


@dataclasses.dataclass
class Point:
    x: int
    label: str
    tags: list


def test_subclasses_and_dataclasses():
    assert canonical_json(Color.RED) == b"3"
    assert canonical_json(BigInt(2**64 - 1)) == b"18446744073709551615"
    assert canonical_json({Text("k"): Text("v")}) == b'{"k":"v"}'
    assert canonical_json(Floaty(2.5)) == b"2.5"
    assert canonical_json(Point(1, "p", [None])) == b'{"label":"p","tags":[null],"x":1}'


@pytest.mark.parametrize(
    "value,message",
    [
        (float("nan"), "non-finite float (NaN or Infinity) cannot be signed"),
        ({"x": [float("inf")]}, "non-finite float (NaN or Infinity) cannot be signed"),
        ((1, {"y": -math.inf}), "non-finite float (NaN or Infinity) cannot be signed"),
        (2**64, "JSON number out of range"),
        (2**128 - 1, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "unexpected type: 'bytearray' object is not an instance of 'bytes'"),
        ({1: "a"}, "unexpected type: 'int' object is not an instance of 'str'"),
        (object(), "unsupported type object"),
        (1j, "unsupported type complex"),
        ([1, {"a": object()}], "unsupported type object"),
    ],
)
def test_conversion_errors(value, message):
    with pytest.raises(SigningError) as excinfo:
        canonical_json(value)
    assert str(excinfo.value) == message
    assert excinfo.value.__cause__ is None


@pytest.mark.parametrize("value", [2**128, 2**200, -(2**127) - 1, -(2**300)])
def test_huge_integers_report_the_overflow(value):
    with pytest.raises(SigningError, match=r"^OverflowError: "):
        canonical_json(value)


def test_lone_surrogate_reports_the_unicode_error():
    with pytest.raises(SigningError, match=r"^UnicodeEncodeError: "):
        canonical_json("\ud800")
    with pytest.raises(SigningError, match=r"^UnicodeEncodeError: "):
        canonical_json({"\udfff": 1})


def test_first_failure_in_insertion_order_wins():
    assert_message = "unsupported type object"
    with pytest.raises(SigningError) as excinfo:
        canonical_json({"b": object(), "a": b"x"})
    assert str(excinfo.value) == assert_message


def test_non_finite_check_runs_before_conversion():
    with pytest.raises(SigningError, match="non-finite"):
        canonical_json([object(), float("nan")])


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Map(collections.abc.Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_abstract_sequences_and_mappings():
    assert canonical_json(Seq([3, "x"])) == b'[3,"x"]'
    assert canonical_json(Map({"b": [1], "a": Seq([])})) == b'{"a":[],"b":[1]}'
    # A non-finite float inside a custom sequence is not seen by the check.
    assert canonical_json(Seq([float("inf")])) == b"[null]"


class Weird:
    class __metaclass__:
        pass


class RaisingMeta(type):
    def __instancecheck__(cls, obj):
        raise RuntimeError("boom")


def test_failing_mapping_protocol_is_reported():
    class BadMap(Map):
        def keys(self):
            raise ValueError("no keys")

    with pytest.raises(SigningError) as excinfo:
        canonical_json(BadMap({"a": 1}))
    assert str(excinfo.value) == "ValueError: no keys"


def test_dataclass_with_missing_attribute_reports_key_error():
    @dataclasses.dataclass
    class P:
        x: int

    p = P(1)
    del p.__dict__["x"]
    with pytest.raises(SigningError) as excinfo:
        canonical_json(p)
    assert str(excinfo.value) == "KeyError: 'x'"


def test_fast_and_general_paths_agree():
    class D(dict):
        pass

    value = {"k\u00e9": [1, -2, 2.5, "s\n", None, True, {"z": 2**63}], "a": ()}
    sub = D(value)
    assert canonical_json(sub) == canonical_json(value)
    assert canonical_json(value) == reference(value).replace(b"2.5", b"2.5")


def test_binding_errors():
    with pytest.raises(TypeError) as e:
        canonical_json()
    assert str(e.value) == "canonical_json() missing 1 required positional argument: 'value'"
    with pytest.raises(TypeError) as e:
        canonical_json(1, 2)
    assert str(e.value) == "canonical_json() takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError) as e:
        canonical_json(1, value=2)
    assert str(e.value) == "canonical_json() got multiple values for argument 'value'"
    with pytest.raises(TypeError) as e:
        canonical_json(valu=2)
    assert str(e.value) == "canonical_json() got an unexpected keyword argument 'valu'"
    assert canonical_json(value=[1]) == b"[1]"


@pytest.mark.parametrize("kind", [list, dict, tuple])
def test_deep_nesting_raises_recursion_error(kind):
    value = None
    for _ in range(100_000):
        value = [value] if kind is list else (value,) if kind is tuple else {"k": value}
    with pytest.raises(RecursionError):
        canonical_json(value)


def test_deep_nesting_with_a_raised_interpreter_limit_stays_safe():
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        value = []
        for _ in range(200_000):
            value = [value]
        with pytest.raises(RecursionError):
            canonical_json(value)
        shallow = []
        for _ in range(900):
            shallow = [shallow]
        assert canonical_json(shallow) == b"[" * 901 + b"]" * 901
    finally:
        sys.setrecursionlimit(old)


json_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.text()
)
json_values = st.recursive(
    json_scalars,
    lambda children: st.lists(children, max_size=5)
    | st.dictionaries(st.text(max_size=8), children, max_size=5),
    max_leaves=30,
)


@settings(max_examples=400, deadline=None)
@given(json_values)
def test_matches_sorted_compact_json_dumps(value):
    assert canonical_json(value) == reference(value)


@settings(max_examples=200, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_float_text_reads_back_exactly(value):
    text = canonical_json(value).decode()
    assert "." in text or "e" in text
    assert float(text) == value
    assert math.copysign(1, float(text)) == math.copysign(1, value)
