// Running the verdane binary, and doing what it does through the package.
import { spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

import * as verdane from '../index.js';

export const REPO = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
export const BINARY = process.env.VERDANE_BINARY || path.join(REPO, 'build', 'verdane');

const utf8 = new TextDecoder();

// [exit status, stdout, stderr] of one run; `input` goes to standard input.
export function runBinary(args, cwd, input) {
  const done = spawnSync(BINARY, args, { cwd, input, maxBuffer: 1 << 28 });
  if (done.error) throw done.error;
  return [done.status, utf8.decode(done.stdout), utf8.decode(done.stderr)];
}

// An error as the binary's one line on standard error.
export function errorLine(e) {
  return String(e).replaceAll('\n', '\\n').replaceAll('\r', '\\r') + '\n';
}

export function decisionRun(decision, format = 'line') {
  const out = format === 'json' ? JSON.stringify(decision) + '\n' : decision.report();
  return [decision.passed ? 0 : 1, out, ''];
}

// The first steps of `verdane eval` through the package: decoding and
// checking the id. The template, or the failed run.
export function loadLikeBinary(bytecode, checkHash) {
  try {
    const tmpl = verdane.decode(bytecode);
    if (checkHash !== undefined) {
      const expected = verdane.parseId(checkHash);
      if (Buffer.compare(expected, verdane.parseId(tmpl.id)) !== 0) {
        return [1, '', `bytecode hash mismatch: expected ${checkHash}, got ${tmpl.id}\n`];
      }
    }
    return tmpl;
  } catch (e) {
    if (e instanceof verdane.IdError) return [1, '', `invalid --check-hash: ${e}\n`];
    if (e instanceof verdane.VerdaneError) return [1, '', errorLine(e)];
    throw e;
  }
}

// The rest of `verdane eval`, from the documents' contents on.
export function evalLikeBinary(tmpl, intent, evidence, explain = false, format = 'line') {
  try {
    return decisionRun(tmpl.evaluate(intent, evidence, { explain }), format);
  } catch (e) {
    if (e instanceof verdane.VerdaneError) return [1, '', errorLine(e)];
    throw e;
  }
}
