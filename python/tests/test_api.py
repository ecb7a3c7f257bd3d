"""The package's surface: templates as the binary makes them, errors as
exceptions with the binary's texts, decisions as values."""

import ast
import importlib.metadata
import pickle
from pathlib import Path

import pytest

import verdane
from helpers import REPO, run_binary

EXAMPLES = REPO / "examples"
SOURCE = (EXAMPLES / "payment.policy").read_text()


@pytest.fixture(scope="module")
def payment():
    return verdane.compile(SOURCE)


def test_a_template_is_what_compile_and_print_make(payment, tmp_path):
    """And the package is the executable's version."""
    status, out, _ = run_binary(["compile", str(EXAMPLES / "payment.policy")], tmp_path)
    assert (status, out) == (0, f"policy_template_id={payment.id}\n")
    assert payment.bytecode == (tmp_path / "out.bin").read_bytes()
    assert run_binary(["print", "out.bin"], tmp_path)[1] == payment.render()
    assert payment.name == "payment"
    assert repr(payment) == f"<verdane.Template 'payment' {payment.id}>"
    decoded = verdane.decode(payment.bytecode)
    assert decoded == payment and hash(decoded) == hash(payment)
    assert verdane.decode(bytearray(payment.bytecode)) == payment
    assert verdane.compile(decoded.render()) == payment
    assert verdane.compile(SOURCE.encode()) == payment
    assert pickle.loads(pickle.dumps(payment)) == payment
    assert verdane.parse_id(payment.id) == verdane.parse_id(decoded.id)
    assert len(verdane.parse_id(payment.id)) == 32
    assert verdane.__version__ == importlib.metadata.version("verdane") == "0.4.1"
    assert run_binary(["--version"], tmp_path)[1] == f"verdane {verdane.__version__}\n"


def test_a_template_cannot_be_changed_or_made_directly(payment):
    with pytest.raises(AttributeError):
        payment.name = "other"
    with pytest.raises(AttributeError):
        payment.extra = 1
    with pytest.raises(TypeError):
        verdane.Template()


def test_errors_form_one_hierarchy_and_pickle():
    for cls in (verdane.CompileError, verdane.BytecodeError, verdane.IdError, verdane.JsonError):
        assert issubclass(cls, verdane.Error) and cls.__module__ == "verdane"
    error = verdane.CompileError("undeclared field", 3, 12)
    assert str(error) == "error at 3:12: undeclared field"
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.message, copy.line, copy.column) == (
        verdane.CompileError, "undeclared field", 3, 12)


@pytest.mark.parametrize(
    "source, line, column, message",
    [
        ("name", 1, 5, None),
        (b"name \xff", 1, 6, "the source is not valid UTF-8"),
        ("name a\ud800", 1, 7, "the source is not valid UTF-8"),
    ],
)
def test_errors_carry_their_parts(payment, source, line, column, message):
    # Their texts are compared with the binary's in test_cases.
    with pytest.raises(verdane.CompileError) as raised:
        verdane.compile(source)
    e = raised.value
    assert (e.line, e.column) == (line, column)
    assert message is None or e.message == message
    assert str(e) == f"error at {line}:{column}: {e.message}"
    with pytest.raises(verdane.JsonError) as raised:
        payment.evaluate("{}", '{"balance": 1,\n "fee": x}')
    e = raised.value
    assert (e.message, e.line, e.column) == ("failed to parse evidence JSON: expected a JSON value", 2, 9)
    for call, arg in ((verdane.compile, 1), (verdane.decode, "text"), (verdane.parse_id, b"id")):
        with pytest.raises(TypeError):
            call(arg)


def test_decisions_are_values(payment):
    evidence = (EXAMPLES / "evidence.json").read_text()
    passed = payment.evaluate((EXAMPLES / "intent_pass.json").read_text(), evidence)
    failed = payment.evaluate((EXAMPLES / "intent_fail.json").read_text(), evidence)
    invalid = payment.evaluate({"amount": "1"}, evidence)
    assert passed and passed.passed and passed.outcomes == [] and passed.input_error is None
    assert repr(passed) == "Decision(passed=True)"
    assert not failed and [(o.index, o.kind) for o in failed.outcomes] == [(2, "failed"), (4, "failed")]
    o = failed.outcomes[0]
    assert (o.expression, o.reason, o.explanation) == (
        "(not (intent.payee in evidence.blocked_payees))", "constraint evaluated to False", [])
    assert repr(failed).startswith(
        "Decision(passed=False, outcomes=[Outcome(index=2, kind='failed', "
        "expression='(not (intent.payee in evidence.blocked_payees))', "
        "reason='constraint evaluated to False'), Outcome(index=4, ")
    assert repr(invalid) == (
        "Decision(passed=False, input_error='intent: field `amount`: expected JSON integer')")
    assert invalid.report() == (
        "decision=fail\ninput validation error: intent: field `amount`: expected JSON integer\n")
    assert failed == payment.evaluate((EXAMPLES / "intent_fail.json").read_bytes(), evidence)
    assert failed != passed and failed != "decision=fail"
    for d in (passed, failed, invalid):
        assert pickle.loads(pickle.dumps(d)) == d
    overflow = payment.evaluate({"amount": 2**63 - 1, "currency": "EUR", "payee": "a",
                                 "execute_on": "2024-06-14", "daily_limit": 1}, evidence)
    assert [(o.index, o.kind) for o in overflow.outcomes] == [(0, "failed"), (4, "errored")]
    assert overflow.outcomes[1].reason == "integer overflow in `9223372036854775807 + 5`"


def test_the_type_stub_names_what_the_module_has():
    stub = ast.parse((Path(verdane.__file__).parent / "__init__.pyi").read_text())
    hinted = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef):
            hinted[node.name] = {
                n.name for n in node.body if isinstance(n, ast.FunctionDef)
            } | {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        elif isinstance(node, ast.FunctionDef):
            hinted[node.name] = set()
    public = {n for n in verdane.__all__ if n != "__version__"}
    assert set(hinted) == public
    for name, members in hinted.items():
        obj = getattr(verdane, name)
        if isinstance(obj, type) and not issubclass(obj, verdane.Error):
            defined = {m for m in vars(obj) if not m.startswith("_")}
            assert members - {"__init__", "__bool__"} == defined, name


def test_explaining_fills_the_outcomes(payment):
    evidence = (EXAMPLES / "evidence.json").read_text()
    intent = (EXAMPLES / "intent_fail.json").read_text()
    plain = payment.evaluate(intent, evidence)
    explained = payment.evaluate(intent, evidence, explain=True)
    assert [o.explanation for o in plain.outcomes] == [[], []]
    assert explained.outcomes[1].explanation == [
        ("intent.amount", "1100"), ("evidence.fee", "5"),
        ("(intent.amount + evidence.fee)", "1105"), ("intent.daily_limit", "1000")]
    assert explained.report().startswith(plain.report().split("constraint[4]")[0] + (
        '    intent.payee = "Shady Ltd"\n'))
    assert explained != plain and pickle.loads(pickle.dumps(explained)) == explained
    assert repr(explained.outcomes[1]).endswith(", explanation=[('intent.amount', '1100'), "
                                                "('evidence.fee', '5'), ('(intent.amount + "
                                                "evidence.fee)', '1105'), ('intent.daily_limit', "
                                                "'1000')])")
    requests = [(intent, evidence)] * 3
    assert payment.evaluate_many(requests, jobs=2, explain=True) == [explained] * 3
    with pytest.raises(TypeError):
        payment.evaluate(intent, evidence, True)  # explain is keyword-only

