"""Per-decision cost of the Python package on the payment example.

Times, per decision, over the two example requests (one passing, one
failing): json.loads of the two JSON texts (the floor), Template.evaluate
on the same texts as str (also explained), on the dicts json.loads gives,
and evaluate_many on one and two threads; then two Python threads calling
evaluate at once, against one. Every figure is the median of interleaved rounds, and every
ratio is taken against the floor (or the single thread) of the same run.
With VERDANE_BINARY set, also a process of `verdane eval` per decision.

    python bench/python_bench.py [ROUNDS]
"""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import verdane

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
CALLS = 20_000  # decisions per round and measure


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    tmpl = verdane.compile((EXAMPLES / "payment.policy").read_text())
    evidence = (EXAMPLES / "evidence.json").read_text()
    texts = [((EXAMPLES / f"intent_{k}.json").read_text(), evidence) for k in ("pass", "fail")]
    dicts = [(json.loads(i), json.loads(e)) for i, e in texts]
    assert [bool(tmpl.evaluate(*r)) for r in texts] == [True, False]
    texts_n = texts * (CALLS // 2)
    dicts_n = dicts * (CALLS // 2)
    loads = json.loads

    def floor():
        for i, e in texts_n:
            loads(i)
            loads(e)

    def evaluate_text():
        evaluate = tmpl.evaluate
        for i, e in texts_n:
            evaluate(i, e)

    def evaluate_explained():
        evaluate = tmpl.evaluate
        for i, e in texts_n:
            evaluate(i, e, explain=True)

    def evaluate_dict():
        evaluate = tmpl.evaluate
        for i, e in dicts_n:
            evaluate(i, e)

    def threads(n):
        def run():
            part = texts_n[: CALLS // n]
            workers = [threading.Thread(target=decide, args=(part,)) for _ in range(n)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

        return run

    def decide(requests):
        evaluate = tmpl.evaluate
        for i, e in requests:
            evaluate(i, e)

    measures = {
        "json.loads of both texts (floor)": floor,
        "evaluate, JSON text": evaluate_text,
        "evaluate, dicts": evaluate_dict,
        "evaluate, JSON text, explain=True": evaluate_explained,
        "evaluate_many, JSON text, jobs=1": lambda: tmpl.evaluate_many(texts_n, jobs=1),
        "evaluate_many, JSON text, jobs=2": lambda: tmpl.evaluate_many(texts_n, jobs=2),
        "evaluate, JSON text, 1 thread": threads(1),
        "evaluate, JSON text, 2 threads": threads(2),
    }
    times = {name: [] for name in measures}
    for _ in range(rounds):
        for name, run in measures.items():
            start = time.perf_counter()
            run()
            times[name].append((time.perf_counter() - start) / CALLS)
    med = {name: statistics.median(t) for name, t in times.items()}

    base = med["json.loads of both texts (floor)"]
    print(f"== Python package, per decision (median of {rounds} rounds of {CALLS})")
    for name, t in med.items():
        print(f"{name + ':':36} {t * 1e6:6.2f} us   {t / base:5.2f} x floor")
    text_ratio = med["evaluate, JSON text"] / base
    print(f"evaluate (JSON text) / json.loads:   {text_ratio:.2f}   (target <= 3)")
    many = med["evaluate_many, JSON text, jobs=1"] / med["evaluate_many, JSON text, jobs=2"]
    threads2 = med["evaluate, JSON text, 1 thread"] / med["evaluate, JSON text, 2 threads"]
    print(f"evaluate_many jobs=2 speed-up:       {many:.2f}")
    print(f"2 Python threads speed-up:           {threads2:.2f}")
    if os.environ.get("VERDANE_BINARY"):
        t = process_per_decision(os.environ["VERDANE_BINARY"], tmpl)
        print(f"a verdane eval process per decision: {t * 1e6:6.0f} us   {t / base:5.0f} x floor")


def process_per_decision(binary: str, tmpl) -> float:
    """Median wall time of `verdane eval` on the failing example, 200 runs."""
    with tempfile.TemporaryDirectory() as folder:
        bytecode = Path(folder) / "payment.bin"
        bytecode.write_bytes(tmpl.bytecode)
        args = [binary, "eval", str(bytecode), "--intent", str(EXAMPLES / "intent_fail.json"),
                "--evidence", str(EXAMPLES / "evidence.json")]
        times = []
        for _ in range(200):
            start = time.perf_counter()
            subprocess.run(args, stdout=subprocess.DEVNULL, check=False)
            times.append(time.perf_counter() - start)
    return statistics.median(times)


if __name__ == "__main__":
    main()
