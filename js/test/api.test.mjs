// The package's own surface: the error classes and their texts, the parts
// of a decision, and the template's life cycle.
import { before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';

import * as verdane from '../index.js';
import { REPO } from './helpers.mjs';

const example = (name) => fs.readFileSync(path.join(REPO, 'examples', name), 'utf8');
let payment;

before(async () => {
  await verdane.init();
  await verdane.init(); // loads once
  payment = verdane.compile(example('payment.policy'));
});

test('every error is a VerdaneError of its own class, printed as the command line prints it', () => {
  const rows = [
    [() => verdane.compile('name t\nintent {\n  x: int\n}\nevidence {\n  ok: bool\n}\nrequires { intent.y > 0 }\n'), verdane.CompileError, 8, 12],
    [() => verdane.decode(new Uint8Array([1, 2, 3])), verdane.BytecodeError, 0, 0],
    [() => verdane.parseId('0OIl'), verdane.IdError, 0, 0],
    [() => payment.evaluate('{"amount": 1e}', '{}'), verdane.JsonError, 1, 14],
    [() => payment.evaluate({}, '[1,'), verdane.JsonError, 1, 4],
  ];
  for (const [call, Class, line, column] of rows) {
    assert.throws(call, (e) => {
      assert.ok(e instanceof Class && e instanceof verdane.VerdaneError && e instanceof Error);
      assert.equal(e.name, Class.name);
      assert.deepEqual([e.line, e.column], [line, column], String(e));
      return true;
    });
  }
  const texts = rows.map(([call]) => {
    try {
      call();
    } catch (e) {
      return String(e);
    }
    return null;
  });
  assert.deepEqual(texts, [
    "error at 8:12: the field 'y' has not been declared in the schema",
    'error at 0:0: bytecode: Deserialization failed, using lib bincode: UnexpectedEnd { additional: 1 }',
    'Cannot parse hash digest from base58: provided string contained invalid character \'0\' at byte 0',
    'failed to parse intent JSON: expected digits in the exponent at line 1 column 14',
    'failed to parse evidence JSON: expected a JSON value at line 1 column 4',
  ]);
});

test('a decision has the parts of its JSON line, and its report', () => {
  const evidence = example('evidence.json');
  const pass = payment.evaluate(example('intent_pass.json'), evidence);
  assert.deepEqual([pass.passed, pass.inputError, pass.outcomes, pass.report()], [true, null, [], 'decision=pass\n']);
  assert.equal(JSON.stringify(pass), '{"decision":"pass"}');

  const fail = payment.evaluate(example('intent_fail.json'), evidence, { explain: true });
  assert.equal(fail.passed, false);
  assert.deepEqual(fail.outcomes.map((o) => [o.index, o.kind]), [[2, 'failed'], [4, 'failed']]);
  assert.deepEqual(fail.outcomes[1].explanation.at(-2), ['(intent.amount + evidence.fee)', '1105']);
  assert.match(fail.report(), /^decision=fail\nconstraint\[2\] failed: /);
  const json = fail.toJSON();
  json.decision = 'changed'; // a copy
  assert.equal(fail.toJSON().decision, 'fail');

  const wrong = payment.evaluate({ amount: '5' }, evidence);
  assert.equal(wrong.inputError, 'intent: field `amount`: expected JSON integer');
  assert.deepEqual(wrong.outcomes, []);
});

test('a template: id, bytecode, decode, render, evaluateMany, dispose', () => {
  const copy = verdane.decode(payment.bytecode);
  assert.equal(copy.id, payment.id);
  assert.equal(copy.name, 'payment');
  assert.deepEqual(verdane.parseId(payment.id).length, 32);
  assert.equal(verdane.compile(copy.render()).id, payment.id);
  const bytes = payment.bytecode;
  bytes[0] ^= 1;
  assert.notDeepEqual(payment.bytecode, bytes); // each read is a copy

  const evidence = JSON.parse(example('evidence.json'));
  const many = payment.evaluateMany([[example('intent_pass.json'), evidence], [new TextEncoder().encode('{}'), evidence]]);
  assert.deepEqual(many.map((d) => d.passed), [true, false]);
  assert.throws(() => payment.evaluateMany([[{}, {}], [{}]]), /requests\[1\] must be an \[intent, evidence\] pair/);
  assert.throws(() => payment.evaluateMany([[{}, {}], ['{', {}]]), (e) => e instanceof verdane.JsonError && e.request === 1);

  copy.dispose();
  copy.dispose();
  assert.throws(() => copy.render(), /the template has been disposed/);
  assert.throws(() => new verdane.Template(1, 'x'), TypeError);
});

test('a failed decision keeps its texts however many decisions follow it', () => {
  const evidence = example('evidence.json');
  const intent = example('intent_fail.json');
  const first = payment.evaluate(intent, evidence);
  // More than the package lets wait for their texts within one task.
  for (let k = 0; k < 70000; ++k) payment.evaluate(intent, evidence);
  const last = payment.evaluate(intent, evidence);
  assert.equal(first.report(), last.report());
  assert.equal(JSON.stringify(first), last.json());
  assert.match(first.report(), /^decision=fail\n/);
});

test('runTests prints what `verdane test` prints', async () => {
  const { runBinary } = await import('./helpers.mjs');
  const folder = fs.mkdtempSync(path.join(REPO, 'build', 'js-tests-'));
  try {
    const tests = example('payment.tests.json');
    fs.writeFileSync(path.join(folder, 'payment.tests.json'), tests);
    // The example, and the example with its daily limit check left out.
    for (const source of [example('payment.policy'), example('payment.policy').replace(/\n *optional: intent\.amount.*\n/, '\n')]) {
      fs.writeFileSync(path.join(folder, 'payment.policy'), source);
      const [status, stdout] = runBinary(['test', 'payment.tests.json'], folder);
      const run = verdane.runTests(tests, source, { name: 'payment.tests.json' });
      assert.equal(run.output, stdout);
      assert.equal(run.failed === 0, status === 0);
    }
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});
