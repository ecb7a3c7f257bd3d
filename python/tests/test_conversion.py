"""Python values as inputs: each dict must be decided exactly as the binary
decides the JSON document it stands for (written here independently of the
package), and values JSON cannot hold must raise clear errors."""

import collections
import datetime
import decimal
import enum
import json
import random

import pytest

import verdane
from helpers import decision_run, reference_json, run_binary

SOURCE = """name conv
intent {
  b: optional bool
  i: optional int
  s: optional string
  d: optional date
  is: optional set<int>
  ss: optional set<string>
  ds: optional set<date>
}
evidence {
  ok: bool
}
requires {
  evidence.ok == True;
  optional: intent.b;
  optional: intent.i > 0;
  optional: intent.s == "x";
  optional: intent.d < date(2025-01-01);
  optional: 3 in intent.is;
  optional: "a" in intent.ss;
  optional: date(2024-02-29) in intent.ds
}
"""

D = datetime.date


class Colour(enum.IntEnum):
    RED = 3


class Name(str, enum.Enum):
    X = "x"


# Every kind of value each declared type can meet.
INTENTS = [
    {},
    {"i": 5}, {"i": -5}, {"i": 0}, {"i": 2**63 - 1}, {"i": -(2**63)},
    {"i": 2**63}, {"i": -(2**63) - 1}, {"i": 2**64 - 1}, {"i": 2**64},
    {"i": 10**400}, {"i": -(10**400)}, {"i": 2**1100 + 1},
    {"i": True}, {"i": False}, {"i": 1.0}, {"i": 1.5}, {"i": -0.0}, {"i": 1e300},
    {"i": "5"}, {"i": None}, {"i": [5]}, {"i": {"a": [1, {"b": None}]}}, {"i": Colour.RED},
    {"b": True}, {"b": False}, {"b": 1}, {"b": 0}, {"b": "true"},
    {"s": "x"}, {"s": "y"}, {"s": "é\n\t\"\\\x00\x1b😀"}, {"s": 1}, {"s": None},
    {"s": Name.X}, {"s": ["x"]}, {"s": D(2024, 1, 1)},
    {"d": D(2024, 2, 29)}, {"d": "2024-02-29"}, {"d": D(1, 1, 1)}, {"d": D(9999, 12, 31)},
    {"d": "2024-02-30"}, {"d": 20240229}, {"d": "2024-2-29"},
    {"is": [3, 1, 3]}, {"is": {1, 2, 3}}, {"is": frozenset({3})}, {"is": (3,)}, {"is": [1]},
    {"is": []}, {"is": set()}, {"is": ()}, {"is": [1, "2"]}, {"is": [True]}, {"is": [2**64]},
    {"is": 3}, {"is": [[3]]}, {"is": {Colour.RED}},
    {"ss": {"a", "b"}}, {"ss": ("b",)}, {"ss": ["a", 1]}, {"ss": [{"a": 1}]}, {"ss": "a"},
    {"ds": {D(2024, 2, 29), "2024-01-01"}}, {"ds": [D(2024, 2, 29), 5]},
    {"ds": {"2024-02-30", "2024-13-01", "2024-00-01"}}, {"ds": {"x", 5}},
    {"extra": 1}, {"zeta": 1, "alpha": 2}, {"I": 1},
    collections.OrderedDict(i=5, s="x"), collections.defaultdict(list, {"is": [3]}),
    {"i": 5, "s": "x", "d": D(2024, 6, 1), "is": {3}, "ss": {"a"}, "ds": [D(2024, 2, 29)]},
]
EVIDENCES = [{"ok": True}, {"ok": False}, {"ok": 1}, {}, {"ok": True, "more": None}]


@pytest.fixture(scope="module")
def conv(tmp_path_factory):
    tmpl = verdane.compile(SOURCE)
    folder = tmp_path_factory.mktemp("conv")
    (folder / "t.bin").write_bytes(tmpl.bytecode)
    return tmpl, folder


def binary_eval(folder, intent_text, evidence_text):
    (folder / "i.json").write_text(intent_text, encoding="utf-8")
    (folder / "e.json").write_text(evidence_text, encoding="utf-8")
    return run_binary(["eval", "t.bin", "--intent", "i.json", "--evidence", "e.json"], folder)


@pytest.mark.parametrize("intent", INTENTS, ids=repr)
def test_dict_decides_as_the_binary_decides_its_document(conv, intent):
    tmpl, folder = conv
    for evidence in EVIDENCES if intent == {} else EVIDENCES[:1]:
        text = reference_json(intent), reference_json(evidence)
        expected = binary_eval(folder, *text)
        assert decision_run(tmpl.evaluate(intent, evidence)) == expected
        assert decision_run(tmpl.evaluate(*text)) == expected
        assert decision_run(tmpl.evaluate(*(t.encode() for t in text))) == expected
        assert decision_run(tmpl.evaluate(bytearray(text[0].encode()), evidence)) == expected


def hashable(value):
    try:
        hash(value)
    except TypeError:
        return False
    return True


def random_value(rng, depth=0, kinds=None):
    """A value of any kind the package accepts, nested a little."""
    if kinds is None:
        kinds = ["int", "big", "bool", "str", "date", "float", "none"]
        if depth < 3:
            kinds += ["list", "tuple", "set", "dict"]
    kind = rng.choice(kinds)
    if kind == "int":
        return rng.randint(-3, 5)
    if kind == "big":
        return rng.choice([-1, 1]) * 2 ** rng.randint(62, 70) + rng.randint(-2, 2)
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "str":
        return "".join(rng.choice('ab"\\\n\x01é😀') for _ in range(rng.randint(0, 3)))
    if kind == "date":
        return rng.choice([D(2024, 2, 29), D(2030, 1, 1), "2024-02-29", "2024-02-30", "2024-13-01",
                           "x\x1b"])
    if kind == "float":
        return rng.choice([0.5, -0.0, 1e300, 3.0])
    if kind == "none":
        return None
    if kind == "dict":
        return {rng.choice("abc"): random_value(rng, depth + 1) for _ in range(rng.randint(0, 2))}
    items = [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if kind == "set":
        return (frozenset if depth else set)(i for i in items if hashable(i))
    return tuple(items) if kind == "tuple" else items


def random_field(rng, name):
    """Mostly a value near the field's type, so that decisions vary."""
    scalar = {"b": "bool", "i": "int", "s": "str", "d": "date"}
    if rng.random() < 0.3:
        return random_value(rng)
    if name in scalar:
        return random_value(rng, 3, [scalar[name], scalar[name], "big"])
    element = {"is": "int", "ss": "str", "ds": "date"}[name]
    items = [random_value(rng, 3, [element] * 5 + ["big", "bool"]) for _ in range(rng.randint(0, 4))]
    return rng.choice([list, tuple, set, frozenset])(items)


def test_random_values_decide_as_the_binary_decides_their_documents(conv):
    tmpl, folder = conv
    rng = random.Random(18)
    names = ["b", "i", "s", "d", "is", "ss", "ds"]
    for _ in range(150):
        intent = {n: random_field(rng, n) for n in rng.sample(names, rng.randint(1, 3))}
        expected = binary_eval(folder, reference_json(intent), '{"ok": true}')
        assert decision_run(tmpl.evaluate(intent, {"ok": True})) == expected, intent


def test_deep_nesting_is_decided_without_recursion(conv):
    tmpl, folder = conv
    deep_list = []
    for _ in range(1_000_000):
        deep_list = [deep_list]
    deep_dict = {}
    for _ in range(200_000):
        deep_dict = {"k": deep_dict}
    for value, text in (
        (deep_list, "[" * 1_000_001 + "]" * 1_000_001),
        (deep_dict, '{"k":' * 200_000 + "{}" + "}" * 200_000),
    ):
        expected = binary_eval(folder, '{"is": ' + text + "}", '{"ok": true}')
        assert decision_run(tmpl.evaluate({"is": value}, {"ok": True})) == expected
        assert expected[1].startswith("decision=fail\ninput validation error: intent")


def test_a_shared_value_is_not_a_cycle(conv):
    tmpl, _ = conv
    shared = [3]
    assert tmpl.evaluate({"is": [shared, shared]}, {"ok": True}).input_error == (
        "intent: field `is`: expected JSON integer in array"
    )


def test_set_order_does_not_depend_on_hashing(conv):
    # The first bad element decides the message; sets are written in byte
    # order of their elements' texts, so the message names the same one in
    # every process, whatever PYTHONHASHSEED.
    tmpl, _ = conv
    dates = {f"2024-02-{day}" for day in range(30, 40)}
    decision = tmpl.evaluate({"ds": dates}, {"ok": True})
    assert decision.input_error == (
        "intent: field `ds`: date `2024-02-30` is not a valid calendar date"
    )


cyclic_list = []
cyclic_list.append({"a": cyclic_list})
cyclic_dict = {}
cyclic_dict["self"] = cyclic_dict


@pytest.mark.parametrize(
    "intent, error, message",
    [
        ({"i": float("nan")}, ValueError, "intent['i']: the float nan is not a JSON number"),
        ({"i": float("-inf")}, ValueError, "intent['i']: the float inf is not a JSON number"),
        ({1: 2}, TypeError, "intent: member names must be str, not int"),
        ({"is": [1, {None: 1}]}, TypeError, "intent['is'][1]: member names must be str, not NoneType"),
        ({"i": object()}, TypeError, "intent['i']: a value of type object cannot be written as JSON"),
        ({"i": decimal.Decimal(1)}, TypeError, "intent['i']: a value of type decimal.Decimal"),
        ({"is": [1, [2, {"x": b"1"}]]}, TypeError, "intent['is'][1][1]['x']: a value of type bytes"),
        ({"is": {1, 2j}}, TypeError, "intent['is']{}: a value of type complex"),
        ({"d": datetime.datetime(2024, 1, 1)}, TypeError, "intent['d']: a datetime.datetime is not a date"),
        ({"s": "a\ud800"}, ValueError, "intent['s']: the str holds a lone surrogate"),
        ({"\udc00": 1}, ValueError, "intent['\\udc00']: the member name holds a lone surrogate"),
        ({"is": cyclic_list}, ValueError, "intent['is'][0]['a']: the value contains itself"),
        (cyclic_dict, ValueError, "intent['self']: the value contains itself"),
    ],
)
def test_values_json_cannot_hold_raise(conv, intent, error, message):
    tmpl, _ = conv
    with pytest.raises(error) as raised:
        tmpl.evaluate(intent, {"ok": True})
    assert str(raised.value).startswith(message)
    # The same problem in the evidence names the evidence.
    with pytest.raises(error, match=r"^evidence"):
        tmpl.evaluate({}, {"ok": True, "x": intent})


@pytest.mark.parametrize("document", [None, 1, [1], ("{}",), json, {"x"}])
def test_a_document_must_be_a_dict_or_json_text(conv, document):
    tmpl, _ = conv
    with pytest.raises(TypeError, match=r"^intent must be a dict or JSON text \(str or bytes\), not "):
        tmpl.evaluate(document, {"ok": True})
    with pytest.raises(TypeError, match=r"^evidence must be"):
        tmpl.evaluate({}, document)


def test_text_with_lone_surrogates_is_invalid_json(conv):
    tmpl, _ = conv
    with pytest.raises(verdane.JsonError) as raised:
        tmpl.evaluate('{"s": "\ud800"}', "{}")
    assert raised.value.message == "failed to parse intent JSON: invalid UTF-8 in a string"
    assert (raised.value.line, raised.value.column) == (1, 8)  # the surrogate itself
