// The session in docs/javascript.md is real: decide.mjs, run where the
// package is installed, prints exactly the transcript shown under it.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { REPO } from './helpers.mjs';

test('the documented session runs as shown', () => {
  const page = fs.readFileSync(path.join(REPO, 'docs', 'javascript.md'), 'utf8');
  const script = /`decide\.mjs`:\n\n```js\n(.*?)```/s.exec(page)[1];
  const transcript = /```console norun\n\$ node decide\.mjs\n(.*?)```/s.exec(page)[1];
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'verdane-js-docs-'));
  try {
    for (const f of ['payment.policy', 'evidence.json', 'intent_fail.json']) {
      fs.copyFileSync(path.join(REPO, 'examples', f), path.join(folder, f));
    }
    fs.mkdirSync(path.join(folder, 'node_modules'));
    fs.symlinkSync(path.join(REPO, 'js'), path.join(folder, 'node_modules', 'verdane'));
    fs.writeFileSync(path.join(folder, 'decide.mjs'), script);
    const run = spawnSync(process.execPath, ['decide.mjs'], { cwd: folder, encoding: 'utf8' });
    assert.equal(run.stderr, '');
    assert.equal(run.stdout, transcript);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
});
