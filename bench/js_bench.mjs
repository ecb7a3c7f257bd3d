// Size and speed of the JavaScript package, in one run (a benchmark, not a
// test): the .wasm file's size raw and gzipped, and per decision on the
// payment example, the median time of
//   - JSON.parse of the intent and evidence texts (the floor),
//   - Template.evaluate on the same two texts,
//   - @marcbachmann/cel-js deciding the same constraints on JSON.parse of the
//     same two texts (its expression compiled once, as the template is),
// each measured in rounds of a fixed count of decisions, rounds interleaved
// so that the machine's load falls on all three alike. Each round ends its
// task, as a server's request handler would, so that failed decisions that
// nobody looked at are freed between rounds.
//
//   node bench/js_bench.mjs [ROUNDS]    (after scripts/js_build.sh)
import fs from 'node:fs';
import path from 'node:path';
import zlib from 'node:zlib';
import { fileURLToPath } from 'node:url';

import { parse as celParse } from '../js/node_modules/@marcbachmann/cel-js/lib/index.js';
import { compile, init } from '../js/index.js';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const read = (p) => fs.readFileSync(path.join(repo, p), 'utf8');
const rounds = Number(process.argv[2] ?? 15);
const perRound = 20000;

const wasm = fs.readFileSync(path.join(repo, 'js/dist/verdane_core.wasm'));
const gzipped = zlib.gzipSync(wasm, { level: 9 }).length;

await init();
const template = compile(read('examples/payment.policy'));
const intents = [read('examples/intent_pass.json'), read('examples/intent_fail.json')];
const evidence = read('examples/evidence.json');

// The payment constraints in CEL; dates are ISO texts, compared as strings.
const cel = celParse(`0 < intent.amount && intent.amount <= evidence.balance - evidence.fee
  && intent.currency in ["CHF", "EUR", "USD"]
  && !(intent.payee in evidence.blocked_payees)
  && "2024-01-01" <= intent.execute_on && intent.execute_on <= evidence.cutoff
  && (!has(intent.daily_limit) || intent.amount + evidence.fee <= intent.daily_limit)`);

let sink = 0;
const runs = {
  'JSON.parse': (i) => {
    sink += JSON.parse(i) === JSON.parse(evidence) ? 1 : 0;
  },
  'verdane evaluate': (i) => {
    sink += template.evaluate(i, evidence).passed ? 1 : 0;
  },
  'cel-js': (i) => {
    sink += cel({ intent: JSON.parse(i), evidence: JSON.parse(evidence) }) === true ? 1 : 0;
  },
};

// Both decisions must agree before anything is timed.
for (const i of intents) {
  const expected = template.evaluate(i, evidence).passed;
  const got = cel({ intent: JSON.parse(i), evidence: JSON.parse(evidence) });
  if (got !== expected) throw new Error(`cel-js decided ${got} where verdane decided ${expected}`);
}

const times = Object.fromEntries(Object.keys(runs).map((k) => [k, []]));
for (let r = 0; r < rounds + 2; ++r) {
  for (const [name, run] of Object.entries(runs)) {
    const start = process.hrtime.bigint();
    for (let k = 0; k < perRound; ++k) run(intents[k & 1]);
    const ns = Number(process.hrtime.bigint() - start) / perRound;
    if (r >= 2) times[name].push(ns); // the first rounds warm the JIT up
    await new Promise((resolve) => setTimeout(resolve, 0));
  }
}
const median = (xs) => [...xs].sort((a, b) => a - b)[xs.length >> 1];
const m = Object.fromEntries(Object.entries(times).map(([k, v]) => [k, median(v)]));

console.log(`wasm: ${wasm.length} bytes (${(wasm.length / 1024).toFixed(0)} KiB), gzipped ${gzipped} bytes (${(gzipped / 1024).toFixed(0)} KiB)`);
for (const [name, ns] of Object.entries(m)) console.log(`${name}: median ${ns.toFixed(0)} ns per decision over ${rounds} rounds of ${perRound}`);
console.log(`evaluate / JSON.parse: ${(m['verdane evaluate'] / m['JSON.parse']).toFixed(2)}x (at most 3x)`);
console.log(`cel-js / evaluate: ${(m['cel-js'] / m['verdane evaluate']).toFixed(2)}x (above 1: verdane is faster)`);
const ok = wasm.length <= 1 << 20 && gzipped <= 400 << 10 && m['verdane evaluate'] <= 3 * m['JSON.parse'] && m['cel-js'] > m['verdane evaluate'];
console.log(ok ? 'all bounds met' : 'a bound is missed');
if (sink < 0) console.log(sink);
process.exitCode = ok ? 0 : 1;
