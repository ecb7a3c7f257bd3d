"""One template shared by threads: decisions made at the same time, or by
evaluate_many on several threads, are the ones made one by one, in order."""

import json
import threading

import pytest

import verdane
from helpers import REPO

EXAMPLES = REPO / "examples"


@pytest.fixture(scope="module")
def payment():
    return verdane.compile((EXAMPLES / "payment.policy").read_text())


def requests(n):
    """Requests of every kind (pass, fail, errored, input error) and form."""
    evidence = json.loads((EXAMPLES / "evidence.json").read_text())
    out = []
    for k in range(n):
        intent = {
            "amount": [250 + k, 1100 + k, 2**63 - 1, "x"][k % 4],
            "currency": ["EUR", "GBP"][k % 5 == 0],
            "payee": ["ACME Corp", "Shady Ltd"][k % 7 == 0],
            "execute_on": f"2024-{k % 12 + 1:02d}-14",
        }
        if k % 3 == 0:
            intent["daily_limit"] = 1000 + k
        form = k % 3
        if form == 0:
            out.append((intent, evidence))
        elif form == 1:
            out.append((json.dumps(intent), json.dumps(evidence)))
        else:
            out.append([json.dumps(intent).encode(), evidence])
    return out


def test_threads_deciding_at_once_agree_with_one_by_one(payment):
    reqs = requests(60)
    expected = [payment.evaluate(*r) for r in reqs]
    assert {d.passed for d in expected} == {True, False}
    results = {}

    def work(t):
        results[t] = [[payment.evaluate(*r) for r in reqs] for _ in range(20)]

    threads = [threading.Thread(target=work, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for rounds in results.values():
        for decisions in rounds:
            assert decisions == expected


@pytest.mark.parametrize("jobs", [1, 2, 3, 8])
def test_evaluate_many_keeps_the_order_of_the_requests(payment, jobs):
    # More requests than one chunk of each job, from a generator.
    reqs = requests(2600)
    expected = [payment.evaluate(*r) for r in reqs]
    assert payment.evaluate_many((r for r in reqs), jobs=jobs) == expected
    assert payment.evaluate_many([], jobs=jobs) == []


def test_evaluate_many_raises_for_the_first_bad_request_in_order(payment):
    reqs = requests(3000)
    reqs[2900] = ("{", "{}")
    reqs[2500] = ({"amount": object()}, {})
    with pytest.raises(TypeError) as raised:
        payment.evaluate_many(reqs, jobs=2)
    assert str(raised.value).startswith("intent['amount']: a value of type object")
    assert raised.value.__notes__ == ["in request 2500 of evaluate_many"]
    del reqs[2500]
    with pytest.raises(verdane.JsonError) as raised:
        payment.evaluate_many(reqs, jobs=2)
    assert str(raised.value) == (
        "failed to parse intent JSON: expected a member name in double quotes at line 1 column 2"
    )
    assert raised.value.__notes__ == ["in request 2899 of evaluate_many"]


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([], 0), ValueError, "jobs must be from 1 to 1024, not 0"),
        (([], 10**6), ValueError, "jobs must be from 1 to 1024, not 1000000"),
        ((5,), TypeError, "'int' object is not iterable"),
        (([("{}",)],), TypeError, r"requests\[0\] must be an \(intent, evidence\) pair, not tuple"),
        (([None],), TypeError, r"requests\[0\] must be an \(intent, evidence\) pair, not NoneType"),
    ],
)
def test_evaluate_many_checks_its_arguments(payment, args, error, message):
    with pytest.raises(error, match=message):
        payment.evaluate_many(*args)
