// JavaScript values as inputs: random nested values must be decided exactly
// as the binary decides the JSON documents they stand for (written here
// independently of the package), and values without an exact JSON form must
// be refused with a JsonError that names their path.
import { before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import * as verdane from '../index.js';
import { runBinary } from './helpers.mjs';

const SOURCE = `name conv
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
  n: int
}
requires {
  evidence.ok == True;
  optional: intent.b;
  optional: intent.i > 0;
  optional: intent.i + evidence.n < 100;
  optional: intent.s == "x";
  optional: intent.d < date(2025-01-01);
  optional: 3 in intent.is;
  optional: "a" in intent.ss;
  optional: date(2024-02-29) in intent.ds
}
`;

// The JSON text a value stands for, written without the package.
function reference(v) {
  if (typeof v === 'bigint') return String(v);
  if (v instanceof Set) return reference([...v]);
  if (Array.isArray(v)) return `[${v.map(reference).join(',')}]`;
  if (v !== null && typeof v === 'object') {
    return `{${Object.keys(v).map((k) => `${JSON.stringify(k)}:${reference(v[k])}`).join(',')}}`;
  }
  return JSON.stringify(v);
}

// A small deterministic generator (xorshift), so failures reproduce.
function generator(seed) {
  let x = seed >>> 0 || 1;
  const next = () => {
    x ^= x << 13;
    x ^= x >>> 17;
    x ^= x << 5;
    return (x >>> 0) / 2 ** 32;
  };
  const pick = (items) => items[Math.floor(next() * items.length)];
  return { next, pick };
}

const INTS = [0, 1, -1, 5, 99, 100, 2 ** 31, -(2 ** 53 - 1), 2 ** 53 - 1, 2n ** 63n - 1n, -(2n ** 63n),
  2n ** 63n, 2n ** 64n, -(2n ** 64n), 10n ** 40n, 2n ** 1200n, -(2n ** 1200n), 7n];
const STRINGS = ['x', 'a', 'b', '', 'é\n\t"\\\u0000\u001b😀', 'date', '2024-02-29', '2024-02-30', '1999-12-31',
  '2024-2-29', '__proto__', 'Shady Ltd'];
const NAMES = ['b', 'i', 's', 'd', 'is', 'ss', 'ds', 'ok', 'n', 'extra', 'I', '', 'é', '1', '__proto__'];

function randomValue(g, depth) {
  const r = g.next();
  if (depth > 3 || r < 0.55) {
    return g.pick([() => g.pick(INTS), () => g.pick(STRINGS), () => g.next() < 0.5, () => null])();
  }
  if (r < 0.7) return Array.from({ length: Math.floor(g.next() * 4) }, () => randomValue(g, depth + 1));
  if (r < 0.85) return new Set(Array.from({ length: Math.floor(g.next() * 4) }, () => randomValue(g, depth + 1)));
  return randomObject(g, depth + 1);
}

function randomObject(g, depth) {
  const o = {};
  const members = Math.floor(g.next() * 5);
  for (let k = 0; k < members; ++k) {
    Object.defineProperty(o, g.pick(NAMES), { value: randomValue(g, depth), enumerable: true, configurable: true, writable: true });
  }
  return o;
}

// A request whose members mostly have their declared types, some not.
function randomRequest(g) {
  const small = () => Math.floor(g.next() * 10) - 2;
  const day = () => g.pick(['2024-02-29', '2023-06-01', '1999-12-31', '2026-01-01']);
  const typed = {
    b: () => g.next() < 0.7,
    i: () => (g.next() < 0.8 ? small() : g.pick(INTS)),
    s: () => (g.next() < 0.6 ? 'x' : g.pick(STRINGS)),
    d: () => (g.next() < 0.8 ? day() : g.pick(STRINGS)),
    is: () => new Set([3, g.next() < 0.8 ? small() : g.pick(INTS)]),
    ss: () => ['a', g.pick(STRINGS)],
    ds: () => (g.next() < 0.8 ? new Set(['2024-02-29', day()]) : [g.pick(STRINGS)]),
  };
  const intent = {};
  for (const [name, make] of Object.entries(typed)) {
    if (g.next() < 0.3) intent[name] = g.next() < 0.95 ? make() : randomValue(g, 1);
  }
  if (g.next() < 0.05) {
    const more = randomObject(g, 1);
    for (const k of Object.keys(more)) Object.defineProperty(intent, k, { value: more[k], enumerable: true, configurable: true, writable: true });
  }
  const evidence = g.next() < 0.95 ? { ok: g.next() < 0.9 } : randomObject(g, 1);
  if (g.next() < 0.95) evidence.n = g.next() < 0.9 ? Math.floor(g.next() * 50) : g.pick(INTS);
  // A string stands for a JSON text, so a root that is no object is another value.
  const root = g.pick([5, null, [intent], new Set([1])]);
  return [g.next() < 0.05 ? root : intent, evidence];
}

let tmpl;
before(async () => {
  await verdane.init();
  tmpl = verdane.compile(SOURCE);
});

test('random nested values are decided as the binary decides their JSON', () => {
  const g = generator(20261209);
  const requests = Array.from({ length: 600 }, () => randomRequest(g));
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'verdane-js-values-'));
  try {
    fs.writeFileSync(path.join(folder, 't.bin'), tmpl.bytecode);
    const lines = requests.map(([i, e]) => `{"intent":${reference(i)},"evidence":${reference(e)}}`);
    fs.writeFileSync(path.join(folder, 'requests.jsonl'), lines.join('\n') + '\n');
    const [, stdout] = runBinary(['eval', 't.bin', '--batch', 'requests.jsonl', '--explain'], folder);
    // Batch lines name their request line first.
    const expected = stdout.split('\n').slice(0, -1).map((l) => l.replace(/^\{"line":\d+,/, '{'));
    assert.equal(expected.length, requests.length);
    const decisions = tmpl.evaluateMany(requests, { explain: true });
    let passed = 0;
    for (let k = 0; k < requests.length; ++k) {
      assert.equal(JSON.stringify(decisions[k]), expected[k], lines[k]);
      if (decisions[k].passed) ++passed;
    }
    const kinds = [passed, expected.filter((l) => l.includes('input_error')).length, expected.filter((l) => l.includes('"outcomes"')).length];
    console.log(`pass, input error, outcomes: ${kinds.join(', ')}`);
    // The generator must reach every kind of decision.
    assert.ok(passed > 10 && expected.some((l) => l.includes('input_error')) && expected.some((l) => l.includes('"failed"')));
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});

test('values without an exact JSON form are refused with their path', () => {
  const cyclic = { is: [] };
  cyclic.is.push(cyclic);
  const rows = [
    [{ i: NaN }, 'intent.i: NaN is not a JSON number'],
    [{ i: -Infinity }, 'intent.i: -Infinity is not a JSON number'],
    [{ i: 1.5 }, 'intent.i: 1.5 is not an integer'],
    [{ i: 2 ** 53 }, 'intent.i: 9007199254740992 is beyond Number.MAX_SAFE_INTEGER, so it may already be rounded; pass the exact integer as a BigInt'],
    [{ is: [1, 2, () => 3] }, 'intent.is[2]: a function cannot be written as JSON'],
    [{ ss: new Set(['a', Symbol('b')]) }, 'intent.ss[1]: a symbol cannot be written as JSON'],
    [{ 'a b': { c: [undefined] } }, 'intent["a b"].c[0]: undefined has no JSON form (leave the member out, or pass null)'],
    [{ d: new Date(0) }, 'intent.d: a Date is not a date value; pass the day as a "YYYY-MM-DD" string'],
    [{ m: new Map() }, 'intent.m: a Map cannot be written as JSON (expected a plain object, an array, a Set, a string, a number, a BigInt, a boolean or null)'],
    [{ s: Object.create(Set.prototype) }, 'intent.s: a Set cannot be written as JSON (expected a plain object, an array, a Set, a string, a number, a BigInt, a boolean or null)'],
    [cyclic, 'intent.is[0]: the value contains itself (circular reference)'],
    [{ s: 'a\uD800' }, 'intent.s: the string holds a lone surrogate, which UTF-8 cannot encode'],
    ['{"s": "\uDC00"}', 'intent: the text holds a lone surrogate, which UTF-8 cannot encode'],
  ];
  for (const [intent, message] of rows) {
    assert.throws(() => tmpl.evaluate(intent, { ok: true }), (e) => e instanceof verdane.JsonError && e.message === message && e.line === 0, message);
  }
  // Deep nesting is written without recursion.
  let deep = 1;
  for (let k = 0; k < 200000; ++k) deep = [deep];
  assert.match(tmpl.evaluate({ is: deep }, { ok: true }).inputError, /^intent: field `is`/);
});
