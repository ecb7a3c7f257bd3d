// The playground in a real browser: Debian's chromium, headless, driven by
// puppeteer-core. Opens the built page (scripts/playground.sh --build-only)
// served on a loopback port, checks the example's decision against the
// binary's, breaks the template and checks the marked error position,
// follows a share link and checks the restored state, and saves a
// screenshot.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';

const repo = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');
const binary = process.env.VERDANE_BINARY || path.join(repo, 'build', 'verdane');
const screenshot = process.env.PLAYGROUND_SCREENSHOT || path.join(repo, 'build', 'playground.png');

let server;
let browser;
let base;
let profile;

before(async () => {
  server = spawn('/usr/bin/python3', ['-u', '-m', 'http.server', '--bind', '127.0.0.1', '--directory', path.join(repo, 'playground', 'dist'), '0'], { stdio: ['ignore', 'pipe', 'ignore'] });
  base = await new Promise((resolve, reject) => {
    let seen = '';
    const timer = setTimeout(() => reject(new Error(`no address from http.server: ${seen}`)), 10000);
    server.stdout.on('data', (chunk) => {
      seen += chunk;
      const m = /port (\d+)/.exec(seen);
      if (m) {
        clearTimeout(timer);
        resolve(`http://127.0.0.1:${m[1]}/`);
      }
    });
    server.on('exit', (code) => reject(new Error(`http.server exited with ${code}`)));
  });
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'verdane-chromium-'));
  browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage'],
  });
});

after(async () => {
  await browser?.close();
  server?.kill();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

async function open(url) {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 900 });
  const problems = [];
  page.on('pageerror', (e) => problems.push(String(e)));
  page.on('requestfailed', (r) => problems.push(`${r.url()}: ${r.failure()?.errorText}`));
  await page.goto(url, { waitUntil: 'load' });
  await page.waitForSelector('body[data-ready="true"]', { timeout: 15000 });
  assert.deepEqual(problems, []);
  return page;
}

const textOf = (page, selector) => page.$eval(selector, (el) => el.textContent);

// Replaces the whole text of one editor, as typing would.
async function setText(page, id, text) {
  await page.focus(`#${id} .cm-content`);
  await page.keyboard.down('Control');
  await page.keyboard.press('a');
  await page.keyboard.up('Control');
  await page.keyboard.press('Backspace');
  await page.keyboard.sendCharacter(text); // one input, as a paste: no auto-indent
}

async function settled(page, selector, predicate) {
  await page.waitForFunction((s, p) => new Function('t', `return ${p}`)(document.querySelector(s).textContent), { timeout: 10000 }, selector, predicate);
}

test('the playground decides, marks errors and restores shared links', async () => {
  const page = await open(base);
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'verdane-pg-'));
  try {
    spawnSync(binary, ['compile', path.join(repo, 'examples/payment.policy'), '--out', path.join(folder, 'p.bin')]);
    const run = spawnSync(binary, ['eval', path.join(folder, 'p.bin'), '--intent', path.join(repo, 'examples/intent_fail.json'), '--evidence', path.join(repo, 'examples/evidence.json'), '--explain'], { encoding: 'utf8' });
    assert.equal(await textOf(page, '#decision'), run.stdout);
    const print = spawnSync(binary, ['print', path.join(folder, 'p.bin')], { encoding: 'utf8' });
    assert.equal(await textOf(page, '#canonical'), print.stdout);
  } finally {
    fs.rmSync(folder, { recursive: true, force: true });
  }
  assert.match(await textOf(page, '#template-status'), /^payment: policy_template_id=9e5VwHmPaCEb9J9LYiffU744Snn8hUarJ8KQAEhTQozX$/);
  const tests = spawnSync(binary, ['test', path.join(repo, 'examples/payment.tests.json')], { encoding: 'utf8' });
  const shown = tests.stdout.replaceAll(path.join(repo, 'examples/payment.tests.json'), 'payment.tests.json');
  assert.equal(await textOf(page, '#test-output'), shown);
  assert.ok((await page.$$('#template .tok-keyword, #template .cm-line span')).length > 10, 'highlighted');

  // A broken template: the error's text, and its place marked in the editor.
  const broken = 'name broken\nintent {\n  amount: int\n}\nevidence {\n  ok: bool\n}\nrequires {\n  intent.amount > evidence.nope\n}\n';
  await setText(page, 'template', broken);
  await settled(page, '#template-status', 't.startsWith("error at ")');
  const brokenFile = path.join(os.tmpdir(), `verdane-pg-broken-${process.pid}.policy`);
  fs.writeFileSync(brokenFile, broken);
  const native = spawnSync(binary, ['compile', brokenFile, '--out', '/dev/null'], { encoding: 'utf8' });
  fs.rmSync(brokenFile);
  assert.equal(await textOf(page, '#template-status') + '\n', native.stderr);
  assert.match(native.stderr, /^error at 9:19: /);
  const mark = await page.$eval('.cm-verdane-error', (el) => [el.textContent, el.closest('.cm-line').textContent]);
  assert.deepEqual(mark, ['e', '  intent.amount > evidence.nope']);
  assert.equal(await textOf(page, '#decision'), 'no decision: the template does not compile');

  // Fix it, give inputs, and share.
  await setText(page, 'template', 'name shared\nintent {\n  amount: int\n}\nevidence {\n  ok: bool\n}\nrequires {\n  intent.amount > 10 and evidence.ok\n}\n');
  await setText(page, 'intent', '{"amount": 7}');
  await setText(page, 'evidence', '{"ok": true}');
  await setText(page, 'tests', ' ');
  assert.equal(await page.$eval('#tests .cm-content', (el) => el.innerText.trim()), '');
  await settled(page, '#decision', 't.startsWith("decision=fail")');
  const decision = await textOf(page, '#decision');
  await page.click('#share');
  const link = await page.$eval('#link', (el) => el.value);
  assert.match(link, /#v1\./);
  await page.close();

  const restored = await open(link);
  assert.equal(await restored.$eval('#intent .cm-content', (el) => el.innerText.trim()), '{"amount": 7}');
  assert.equal(await restored.$eval('#evidence .cm-content', (el) => el.innerText.trim()), '{"ok": true}');
  assert.match(await textOf(restored, '#template-status'), /^shared: policy_template_id=/);
  assert.equal(await textOf(restored, '#decision'), decision);
  assert.equal(await textOf(restored, '#test-output'), 'no test file');
  await restored.close();

  const shot = await open(base);
  fs.mkdirSync(path.dirname(screenshot), { recursive: true });
  await shot.screenshot({ path: screenshot });
  await shot.close();
});
