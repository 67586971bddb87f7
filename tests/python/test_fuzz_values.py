"""Generated values of every shape fed to canonical_json, from_dict and the
seven factories.

A small model in Python predicts each outcome: the exact canonical bytes (or
the self hash of the event built), or the exception with its exact message.
So the tests fail on a crash, on an exception of a kind that is not
documented, on a message of another form, and on a wrong encoding.
"""

import collections
import collections.abc
import dataclasses
import decimal
import enum
import hashlib
import math
import operator
import typing

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tallyvox import SigningError, canonical_json, compute_self_hash
from tallyvox import events as ev

FAST = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# ------------------------------------------------------------------ the model


class Refused(Exception):
    """The model's prediction of an error: class, message and argument note."""

    def __init__(self, cls, message, note=None):
        super().__init__(message)
        self.cls, self.message, self.note = cls, message, note


NON_FINITE = "non-finite float (NaN or Infinity) cannot be signed"
OUT_OF_RANGE = "JSON number out of range"
C_LONG = "Python int too large to convert to C long"
MAX_NESTING = 1000

# Every SigningError of a conversion or of reading an event starts so; the
# last form carries a Python exception raised while a value was read.
SIGNING_PREFIXES = (
    NON_FINITE,
    OUT_OF_RANGE,
    "invalid type: byte array, expected any valid JSON value",
    "unexpected type: ",
    "unsupported type ",
    "json: ",
)
PYTHON_ERROR_PREFIXES = ("UnicodeEncodeError: ", "OverflowError: ", "ValueError: ", "KeyError: ",
                         "AttributeError: ")


def signing(message):
    return Refused(SigningError, message)


def all_finite(obj, depth=0):
    """The first pass: floats reachable through dicts, lists and tuples."""
    if depth > MAX_NESTING:
        return True
    if isinstance(obj, float):
        return math.isfinite(obj)
    if isinstance(obj, dict):
        return all(all_finite(v, depth + 1) for v in dict.values(obj))
    if isinstance(obj, (list, tuple)):
        return all(all_finite(v, depth + 1) for v in obj)
    return True


def utf8_text(s):
    try:
        s.encode("utf-8")
    except UnicodeEncodeError as e:
        raise signing(f"UnicodeEncodeError: {e}") from None
    return str(s)


def model_int(v):
    v = int(v)
    if -(2**63) <= v < 2**64:
        return v
    high = v >> 64
    if -(2**63) <= high < 2**64:
        raise signing(OUT_OF_RANGE)
    raise signing(f"OverflowError: {C_LONG}")


def not_instance(obj, expected):
    return f"'{type(obj).__name__}' object is not an instance of '{expected}'"


def model_members(keys, values, depth):
    out = {}
    for key, item in zip(keys, values):
        if not isinstance(key, str):
            raise signing("unexpected type: " + not_instance(key, "str"))
        text = utf8_text(key)  # the key is read before its value
        out[text] = convert(item, depth)
    return out


def model_dataclass(obj, fields, depth):
    if depth > MAX_NESTING:
        raise Refused(RecursionError, None)
    try:
        attrs = obj.__dict__
    except AttributeError as e:
        raise signing(f"AttributeError: {e}") from None
    if not isinstance(attrs, dict):
        raise signing("unexpected type: " + not_instance(attrs, "dict"))
    out = {}
    for name in fields:
        if name not in attrs:
            raise signing(f"KeyError: {name!r}")
        text = utf8_text(name)
        out[text] = convert(attrs[name], depth)
    return out


def convert(obj, depth=0):
    """The JSON value of `obj` (dicts keep insertion order), or Refused."""
    if obj is None or type(obj) is bool:
        return obj
    if isinstance(obj, int):
        return model_int(obj)
    nested = depth + 1
    if isinstance(obj, (list, tuple, set, frozenset, dict)) and nested > MAX_NESTING:
        raise Refused(RecursionError, None)
    if isinstance(obj, (list, tuple)):
        return [convert(item, nested) for item in obj]
    if isinstance(obj, dict):
        return model_members(list(obj.keys()), list(obj.values()), nested)
    if isinstance(obj, str):
        return utf8_text(obj)
    if isinstance(obj, bytes):
        raise signing("invalid type: byte array, expected any valid JSON value")
    if isinstance(obj, bytearray):
        raise signing("unexpected type: " + not_instance(obj, "bytes"))
    if isinstance(obj, float):
        return float(obj) if math.isfinite(obj) else None
    if isinstance(obj, (set, frozenset)):
        return [convert(item, nested) for item in obj]
    if isinstance(obj, collections.abc.Sequence):
        items = []
        for i in range(len(obj)):
            try:
                item = obj[i]
            except ValueError as e:
                raise signing(f"ValueError: {e}") from None
            items.append(convert(item, nested))
        return items
    if isinstance(obj, collections.abc.Mapping):
        return model_members(list(obj.keys()), list(obj.values()), nested)
    fields = getattr(obj, "__dataclass_fields__", None)
    if fields is not None:
        return model_dataclass(obj, fields, nested)
    raise signing(f"unsupported type {type(obj).__qualname__}")


def to_json_value(obj):
    if not all_finite(obj):
        raise signing(NON_FINITE)
    return convert(obj)


# The decimal exponents of the first digit outside which floats take the
# exponent form.
PLAIN_LOWEST, PLAIN_HIGHEST = -5, 15


def float_text(f):
    """Shortest round-trip digits; exponent form below 1e-5 and from 1e16."""
    if f == 0:
        return "-0.0" if math.copysign(1, f) < 0 else "0.0"
    sign = "-" if f < 0 else ""
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(f))).as_tuple()
    digits = "".join(map(str, digit_tuple)).rstrip("0")
    exponent += len(digit_tuple) - len(digits)
    n = len(digits)
    e = exponent + n - 1  # the decimal exponent of the first digit
    if e < PLAIN_LOWEST or e > PLAIN_HIGHEST:
        mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
        return f"{sign}{mantissa}e{'-' if e < 0 else '+'}{abs(e)}"
    if e >= n - 1:
        return sign + digits + "0" * (e - n + 1) + ".0"
    if e >= 0:
        return sign + digits[: e + 1] + "." + digits[e + 1 :]
    return sign + "0." + "0" * (-e - 1) + digits


SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f",
                 "\r": "\\r"}


def string_text(s):
    out = []
    for c in s:
        if c in SHORT_ESCAPES:
            out.append(SHORT_ESCAPES[c])
        elif ord(c) < 0x20:
            out.append(f"\\u{ord(c):04x}")
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def encode(v):
    """Canonical JSON of a model value, as text."""
    if v is None:
        return "null"
    if v is True or v is False:
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, str):
        return string_text(v)
    if isinstance(v, list):
        return "[" + ",".join(encode(item) for item in v) + "]"
    members = sorted(v.items(), key=lambda kv: kv[0].encode("utf-8"))
    return "{" + ",".join(string_text(k) + ":" + encode(item) for k, item in members) + "}"


def canonical_model(obj):
    return encode(to_json_value(obj)).encode("utf-8")


# The factories, their fields in order and the kind of each.
FIELDS = {
    "session_started": ("SessionStarted", [("agent_id", "str"), ("model_id", "str"),
                                           ("session_id", "str")]),
    "utterance_captured": ("UtteranceCaptured", [("audio_sha256", "str"), ("transcript", "str"),
                                                 ("lang", "str"), ("duration_ms", "u64")]),
    "tool_called": ("ToolCalled", [("tool_name", "str"), ("args_sha256", "str"),
                                   ("args_redacted", "value")]),
    "tool_returned": ("ToolReturned", [("tool_name", "str"), ("result_sha256", "str"),
                                       ("latency_ms", "u64"), ("success", "bool")]),
    "model_invoked": ("ModelInvoked", [("model_id", "str"), ("prompt_sha256", "str"),
                                       ("response_sha256", "str"), ("prompt_tokens", "u32"),
                                       ("response_tokens", "u32")]),
    "utterance_spoken": ("UtteranceSpoken", [("text_sha256", "str"), ("text", "str"),
                                             ("audio_sha256", "str")]),
    "session_ended": ("SessionEnded", [("reason", "str"), ("summary_sha256", "str")]),
}
TAGS = {tag: fields for tag, fields in FIELDS.values()}


def as_index(v, name):
    if isinstance(v, int):
        return int(v)
    try:
        return operator.index(v)
    except TypeError:
        raise Refused(TypeError, f"'{type(v).__name__}' object cannot be interpreted as an integer",
                      name) from None


def factory_field(kind, v, name):
    if kind == "str":
        if not isinstance(v, str):
            raise Refused(TypeError, not_instance(v, "str"), name)
        try:
            v.encode("utf-8")
        except UnicodeEncodeError as e:
            # What the factories do today, though the documented argument
            # errors are TypeError and OverflowError only (reported).
            raise Refused(UnicodeEncodeError, str(e), name) from None
        return str(v)
    if kind == "u64":
        i = as_index(v, name)
        if i < 0:
            raise Refused(OverflowError, "can't convert negative int to unsigned", name)
        if i >= 2**64:
            raise Refused(OverflowError, "int too big to convert", name)
        return i
    if kind == "u32":
        i = as_index(v, name)
        if not -(2**63) <= i < 2**63:
            raise Refused(OverflowError, C_LONG, name)
        if not 0 <= i < 2**32:
            raise Refused(OverflowError, "out of range integral type conversion attempted", name)
        return i
    if kind == "bool":
        if type(v) is not bool:
            raise Refused(TypeError, not_instance(v, "bool"), name)
        return v
    return to_json_value(v)


def quoted_list(names):
    quoted = [f"'{n}'" for n in names]
    if len(quoted) == 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + (", and " if len(quoted) > 1 else "") + quoted[-1]


def factory_model(name, args, kwargs):
    """The payload the factory builds, or Refused."""
    fn = f"{name}()"
    if args:
        raise Refused(TypeError, f"{fn} takes 0 positional arguments but {len(args)} "
                                 f"{'was' if len(args) == 1 else 'were'} given")
    _, fields = FIELDS[name]
    names = [f for f, _ in fields]
    for key in kwargs:
        if key not in names:
            raise Refused(TypeError, f"{fn} got an unexpected keyword argument '{key}'")
    missing = [f for f in names if f not in kwargs]
    if missing:
        plural = "s" if len(missing) > 1 else ""
        raise Refused(TypeError, f"{fn} missing {len(missing)} required keyword argument{plural}: "
                                 f"{quoted_list(missing)}")
    return {f: factory_field(kind, kwargs[f], f) for f, kind in fields}


def read_payload(tag, payload):
    if not isinstance(payload, dict):
        raise signing("json: (payload)")
    out = {}
    for field, kind in TAGS[tag]:
        if field not in payload:
            raise signing("json: (missing)")
        v = payload[field]
        ok = {
            "str": isinstance(v, str),
            "u64": type(v) is int and 0 <= v < 2**64,
            "u32": type(v) is int and 0 <= v < 2**32,
            "bool": type(v) is bool,
            "value": True,
        }[kind]
        if not ok:
            raise signing("json: (field)")
        out[field] = v
    return out


def from_dict_model(obj):
    """(tag, payload) of the event from_dict builds, or Refused. A refusal
    after conversion is a "json: " message whose rest the model leaves open."""
    v = to_json_value(obj)
    if isinstance(v, dict):
        if not isinstance(v.get("type"), str) or v["type"] not in TAGS or "payload" not in v:
            raise signing("json: (shape)")
        return v["type"], read_payload(v["type"], v["payload"])
    if isinstance(v, list) and len(v) == 2 and isinstance(v[0], str) and v[0] in TAGS:
        return v[0], read_payload(v[0], v[1])
    raise signing("json: (shape)")


def expected_self_hash(tag, payload, seq, timestamp, parent):
    hashed = {"event": {"type": tag, "payload": payload}, "parent_hash": parent, "seq": seq,
              "timestamp_nanos": timestamp}
    return hashlib.sha256(encode(hashed).encode("utf-8")).hexdigest()


def check_refusal(excinfo, refused, exact=True):
    err = excinfo.value
    assert type(err) is refused.cls, (type(err), str(err), refused.message)
    notes = getattr(err, "__notes__", [])
    assert notes == ([f"while processing '{refused.note}'"] if refused.note else [])
    if refused.cls is SigningError:
        message = str(err)
        assert message.startswith(SIGNING_PREFIXES + PYTHON_ERROR_PREFIXES), message
    if refused.message is not None:
        if exact:
            assert str(err) == refused.message
        else:
            assert str(err).startswith("json: "), str(err)


# ------------------------------------------------------------------ values


class Plain:
    pass


class Color(enum.IntEnum):
    RED = 3
    HUGE = 2**70


class BigInt(int):
    pass


class Text(str):
    pass


class Floaty(float):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


Pair = collections.namedtuple("Pair", "left right")


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class BrokenSeq(Seq):
    def __getitem__(self, i):
        raise ValueError(f"item {i} is broken")


class Map(collections.abc.Mapping):
    def __init__(self, pairs):
        self.d = dict(pairs)

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


@dataclasses.dataclass
class Point:
    x: object
    label: object


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


SURROGATES = ["\ud800", "\udfff", "\udbff\udc00", "\ud83d"]

clean_texts = st.one_of(
    st.text(max_size=12),
    st.sampled_from(["", "caf\u00e9", '"\\/\b\f\n\r\t', "\x00\x1f\x7f", "\u2028\U0001f600",
                     "k" * 9, "\uffff"]),
)
# Keys whose UTF-8 byte order differs from their code point order (U+E000..
# U+FFFF against astral characters) and other near neighbours.
key_texts = st.one_of(
    clean_texts,
    st.sampled_from(["\uff5e", "\U0001f600", "\ue000", "\U00010000", "\uffff", "a", "A", "aa",
                     "", "\u00e9", "e", "\x7f", "\x00"]),
)

# Now and then with lone surrogates, which UTF-8 cannot hold.
texts = st.one_of(
    clean_texts,
    clean_texts,
    clean_texts,
    st.text(st.characters(exclude_categories=()), max_size=6),
    st.builds(lambda a, s, b: a + s + b, st.text(max_size=3), st.sampled_from(SURROGATES),
              st.text(max_size=3)),
)

edge_ints = st.sampled_from([0, 1, -1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -(2**63),
                             -(2**63) - 1, 2**64 - 1, 2**64, 2**127, -(2**127), -(2**127) - 1,
                             2**128 - 1, 2**128, -(2**128), 2**200, -(2**300)])
ints = st.integers() | edge_ints | st.integers(min_value=-(2**130), max_value=2**130)

# Floats near where the text switches form (1e-5 and 1e16) and at the ends.
float_edges = st.sampled_from(
    [0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.1, 0.30000000000000004,
     9007199254740993.0, 123456.789, -2.5e-7])
decades = st.builds(lambda m, e: m * 10.0**e, st.sampled_from([1.0, 9.999999999999999, 1.5, -1.0]),
                    st.integers(-8, 18))
finite_floats = st.one_of(st.floats(allow_nan=False, allow_infinity=False), float_edges, decades)
floats = st.one_of(finite_floats, st.floats(),
                   st.sampled_from([float("nan"), float("inf"), -float("inf")]))

hashables = st.recursive(
    st.none() | st.booleans() | ints | floats | texts | st.binary(max_size=4),
    lambda inner: st.tuples(inner, inner) | st.frozensets(inner, max_size=3),
    max_leaves=4,
)

scalars = st.one_of(
    st.none(),
    st.booleans(),
    ints,
    floats,
    texts,
    st.binary(max_size=6),
    st.binary(max_size=6).map(bytearray),
    st.just(Plain()),
    st.builds(complex, st.floats(allow_nan=False), st.floats(allow_nan=False)),
    st.sampled_from(list(Color)),
    ints.map(BigInt),
    texts.map(Text),
    floats.map(Floaty),
    st.integers(0, 5).map(range),
    st.just(Point),  # the class itself, whose __dict__ is a mappingproxy
)

keys = st.one_of(key_texts, key_texts, texts, ints, st.none(), floats, st.binary(max_size=3),
                 st.tuples(st.integers(), st.integers()), texts.map(Text))


def containers(children):
    return st.one_of(
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
        st.dictionaries(key_texts, children, max_size=5),
        st.dictionaries(texts, children, max_size=4),
        st.dictionaries(keys, children, max_size=4),
        st.dictionaries(texts, children, max_size=3).map(DictSub),
        st.lists(children, max_size=3).map(ListSub),
        st.builds(Pair, children, children),
        st.lists(children, max_size=3).map(Seq),
        st.lists(children, min_size=0, max_size=2).map(BrokenSeq),
        st.dictionaries(texts, children, max_size=3).map(lambda d: Map(d.items())),
        st.dictionaries(keys, children, max_size=2).map(lambda d: Map(d.items())),
        st.builds(Point, children, children),
        st.sets(hashables, max_size=4),
        st.frozensets(hashables, max_size=3),
    )


shallow_values = st.recursive(scalars, containers, max_leaves=12)

WRAPPERS = [
    lambda v: [v],
    lambda v: (v,),
    lambda v: {"k": v},
    lambda v: ListSub([v]),
    lambda v: DictSub(k=v),
    lambda v: Seq([v]),
    lambda v: Map([("m", v)]),
    lambda v: Point(v, "p"),
]


@st.composite
def deep(draw, inner):
    """A value wrapped in up to 50 containers of mixed kinds."""
    value = draw(inner)
    for kind in draw(st.lists(st.integers(0, len(WRAPPERS) - 1), max_size=50)):
        value = WRAPPERS[kind](value)
    return value


# Plain JSON-able values, which should encode.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | finite_floats | clean_texts,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(key_texts, children, max_size=5),
    max_leaves=15,
)

values = st.one_of(shallow_values, deep(shallow_values), json_values, deep(json_values))


# ------------------------------------------------------------------ tests


@FAST
@given(values)
def test_canonical_json_is_the_model_encoding_or_its_error(value):
    try:
        expected = canonical_model(value)
    except Refused as refused:
        with pytest.raises(BaseException) as excinfo:
            canonical_json(value)
        check_refusal(excinfo, refused)
    else:
        assert canonical_json(value) == expected


@FAST
@given(values)
def test_from_dict_of_any_value(value):
    try:
        tag, payload = from_dict_model(value)
    except Refused as refused:
        with pytest.raises(BaseException) as excinfo:
            ev.from_dict(value)
        check_refusal(excinfo, refused, exact=not refused.message.startswith("json: "))
    else:
        event = ev.from_dict(value)
        assert repr(event) == f"AgentEvent(type='{tag}')"


# Field values of the kind each field takes, and others.
good_field_values = {
    "str": st.one_of(clean_texts, clean_texts.map(Text)),
    "u64": st.one_of(st.integers(0, 2**64 - 1), st.sampled_from([0, 2**64 - 1, True]),
                     st.integers(0, 2**64 - 1).map(Index)),
    "u32": st.one_of(st.integers(0, 2**32 - 1), st.sampled_from([0, 2**32 - 1, False])),
    "bool": st.booleans(),
    "value": st.one_of(json_values, json_values, values),
}
bad_field_values = {
    "str": st.one_of(texts, scalars),
    "u64": st.one_of(ints, ints.map(Index), floats, texts, st.none()),
    "u32": st.one_of(ints, st.sampled_from([-1, 2**32, 2**63, 2**64]), ints.map(Index), floats,
                     texts),
    "bool": st.one_of(st.integers(0, 1), st.none(), texts, ints.map(BigInt)),
    "value": values,
}


def field_value(draw, kind, json_only=False):
    table = bad_field_values if draw(st.integers(0, 9)) == 0 else good_field_values
    value = draw(table[kind])
    return value.value if json_only and isinstance(value, Index) else value


@st.composite
def factory_calls(draw):
    name = draw(st.sampled_from(sorted(FIELDS)))
    _, fields = FIELDS[name]
    kwargs = {}
    for field, kind in fields:
        if draw(st.integers(0, 15)) > 0:  # now and then a field is missing
            kwargs[field] = field_value(draw, kind)
    for extra in draw(st.lists(st.sampled_from(["note", "type", "payload", "seq", "agent"]),
                               max_size=2, unique=True)):
        if draw(st.integers(0, 5)) == 0:
            kwargs[extra] = draw(scalars)
    order = draw(st.permutations(list(kwargs)))
    kwargs = {k: kwargs[k] for k in order}
    args = draw(st.lists(scalars, max_size=2)) if draw(st.integers(0, 12)) == 0 else []
    return name, args, kwargs


HASH_INPUT = dict(seq=5, timestamp_nanos=2**64 - 1, parent_hash="p\u00e9")


@FAST
@given(factory_calls())
def test_factories_build_the_model_event_or_raise_its_error(call):
    name, args, kwargs = call
    factory = getattr(ev, name)
    try:
        payload = factory_model(name, args, kwargs)
    except Refused as refused:
        with pytest.raises(BaseException) as excinfo:
            factory(*args, **kwargs)
        check_refusal(excinfo, refused)
    else:
        event = factory(*args, **kwargs)
        tag = FIELDS[name][0]
        assert repr(event) == f"AgentEvent(type='{tag}')"
        assert compute_self_hash(event=event, **HASH_INPUT) == expected_self_hash(
            tag, payload, HASH_INPUT["seq"], HASH_INPUT["timestamp_nanos"],
            HASH_INPUT["parent_hash"])


@st.composite
def tagged_events(draw):
    """Tagged mappings close to a real event: fields of the right JSON type
    or not, extra and missing members, the array form, other mapping kinds."""
    tag = draw(st.sampled_from(sorted(TAGS)))
    payload = {}
    for field, kind in TAGS[tag]:
        if draw(st.integers(0, 15)) > 0:
            payload[field] = field_value(draw, kind, json_only=True)
    if draw(st.integers(0, 3)) == 0:
        payload[draw(texts)] = draw(scalars)
    payload = {k: payload[k] for k in draw(st.permutations(list(payload)))}
    payload = draw(st.sampled_from([dict, DictSub, lambda d: Map(d.items())]))(payload)
    kind_of_tag = draw(st.integers(0, 12))
    type_value = tag if kind_of_tag else draw(scalars)
    shape = draw(st.integers(0, 7))
    if shape == 0:
        return draw(st.sampled_from([list, tuple]))([type_value, payload])
    if shape == 1:
        return [type_value, payload, draw(scalars)] if draw(st.booleans()) else [type_value]
    members = {"type": type_value, "payload": payload}
    if draw(st.integers(0, 8)) == 0:
        del members[draw(st.sampled_from(["type", "payload"]))]
    if draw(st.integers(0, 3)) == 0:
        members[draw(texts)] = draw(scalars)
    members = {k: members[k] for k in draw(st.permutations(list(members)))}
    return draw(st.sampled_from([dict, DictSub, lambda d: Map(d.items())]))(members)


@FAST
@given(tagged_events())
def test_from_dict_of_near_events_builds_the_model_event(value):
    try:
        tag, payload = from_dict_model(value)
    except Refused as refused:
        with pytest.raises(BaseException) as excinfo:
            ev.from_dict(value)
        check_refusal(excinfo, refused, exact=not refused.message.startswith("json: "))
    else:
        event = ev.from_dict(value)
        assert repr(event) == f"AgentEvent(type='{tag}')"
        assert compute_self_hash(event=event, **HASH_INPUT) == expected_self_hash(
            tag, payload, HASH_INPUT["seq"], HASH_INPUT["timestamp_nanos"],
            HASH_INPUT["parent_hash"])


# Keys over an alphabet where UTF-8 byte order (which is code point order)
# differs from UTF-16 order, and other near neighbours.
tricky_keys = st.text(st.sampled_from(["a", "B", "\x7f", "\x00", "\u00e9", "\u07ff", "\u0800",
                                       "\ue000", "\uff5e", "\uffff", "\U00010000",
                                       "\U0001f600"]), max_size=3)


@FAST
@given(st.dictionaries(tricky_keys, st.integers(-3, 3), max_size=8)
       | st.dictionaries(tricky_keys, st.dictionaries(tricky_keys, st.none(), max_size=4), max_size=4))
def test_members_sort_by_utf8_bytes(value):
    assert canonical_json(value) == canonical_model(value)
    assert canonical_json(DictSub(value)) == canonical_model(value)


# Floats around the switch between the plain and the exponent form (below
# 1e-5, from 1e16), each side of a decade, and anywhere.
near_decades = st.builds(
    lambda m, e, sign: sign * m * 10.0**e,
    st.sampled_from([1.0, 9.999999999999998, 9.5, 1.0000000000000002, 2.5]),
    st.integers(-9, 19), st.sampled_from([1.0, -1.0]))


@FAST
@given(st.lists(near_decades | st.floats(allow_nan=False, allow_infinity=False), min_size=1,
                max_size=8))
def test_float_text_around_the_form_switches(items):
    assert canonical_json(items) == canonical_model(items)
    assert canonical_json(tuple(Floaty(f) for f in items)) == canonical_model(items)


# The model itself, on values whose outcome is known independently.
@pytest.mark.parametrize(
    "value,expected",
    [
        ({"b": [1.0, -0.0, 1e16, 1e-6, 0.00001, 1e15]}, b'{"b":[1.0,-0.0,1e+16,1e-6,0.00001,1000000000000000.0]}'),
        ({Text("\u00e9"): BigInt(2**64 - 1), "E": {1.5}}, '{"E":[1.5],"\u00e9":18446744073709551615}'.encode()),
        (Seq([float("nan"), Pair(1, None)]), b"[null,[1,null]]"),
    ],
)
def test_model_encodings(value, expected):
    assert canonical_model(value) == expected


@pytest.mark.parametrize(
    "value,cls,message",
    [
        ([Plain(), float("nan")], SigningError, NON_FINITE),
        (-(2**127) - 1, SigningError, "OverflowError: " + C_LONG),
        ({"a": b"x", 1: 2}, SigningError, "invalid type: byte array, expected any valid JSON value"),
        ({1: b"x"}, SigningError, "unexpected type: 'int' object is not an instance of 'str'"),
        (BrokenSeq([1]), SigningError, "ValueError: item 0 is broken"),
        (Point, SigningError, "unexpected type: 'mappingproxy' object is not an instance of 'dict'"),
    ],
)
def test_model_refusals(value, cls, message):
    with pytest.raises(Refused) as excinfo:
        canonical_model(value)
    assert (excinfo.value.cls, excinfo.value.message) == (cls, message)


@dataclasses.dataclass
class WithClassVar:
    x: int
    count: typing.ClassVar[int] = 0


@dataclasses.dataclass
class WithInitVar:
    x: int
    scale: dataclasses.InitVar[int] = 1


@dataclasses.dataclass(slots=True)
class Slotted:
    x: int


# Fields are the keys of __dataclass_fields__, read from the instance's
# __dict__: pseudo-fields (ClassVar, InitVar) have no entry there, and a
# slotted dataclass has no __dict__; both fail with the Python error.
@pytest.mark.parametrize(
    "value,message",
    [
        (WithClassVar(1), "KeyError: 'count'"),
        (WithInitVar(1), "KeyError: 'scale'"),
        (Slotted(1), "AttributeError: 'Slotted' object has no attribute '__dict__'"),
    ],
)
def test_dataclass_fields_come_from_the_instance_dict(value, message):
    with pytest.raises(SigningError) as excinfo:
        canonical_json(value)
    assert str(excinfo.value) == message
