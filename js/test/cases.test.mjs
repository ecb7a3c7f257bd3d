// Side by side with the binary: every compile, print and eval run of the
// end-to-end cases (tests/e2e/cases/*.case), done once by the verdane binary
// and once through the package, must give the same exit status, stdout and
// stderr. Inputs go to the package three ways: as a JSON string, as UTF-8
// bytes, and as the object JSON.parse makes of them (where it reads the text
// as verdane does). Compiled templates must have the binary's id and
// bytecode. Runs about what the package does not do (reading files,
// command-line usage) are left to the binary's own tests.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import * as verdane from '../index.js';
import { REPO, errorLine, evalLikeBinary, loadLikeBinary, runBinary } from './helpers.mjs';

const CASES_DIR = path.join(REPO, 'tests', 'e2e', 'cases');
const CASES = fs.readdirSync(CASES_DIR).filter((f) => f.endsWith('.case')).sort();

// The case's sections as [kind, argument, body lines as Buffers].
function parseCase(file) {
  const sections = [];
  const data = fs.readFileSync(file);
  const lines = [];
  let start = 0;
  for (let i = 0; i <= data.length; ++i) {
    if (i === data.length || data[i] === 0x0a) {
      lines.push(data.subarray(start, i));
      start = i + 1;
    }
  }
  if (lines.at(-1).length === 0) lines.pop(); // the text after the final line feed
  for (const line of lines) {
    if (line.subarray(0, 4).toString('latin1') === '=== ') {
      const head = line.subarray(4).toString('utf8');
      const space = head.indexOf(' ');
      sections.push(space < 0 ? [head, '', []] : [head.slice(0, space), head.slice(space + 1), []]);
    } else if (sections.length > 0) {
      sections.at(-1)[2].push(line);
    }
  }
  return sections;
}

function writeFiles(sections, folder) {
  for (const [kind, arg, lines] of sections) {
    const target = path.join(folder, arg);
    if (!['file', 'file-noeol', 'hexfile'].includes(kind)) continue;
    fs.mkdirSync(path.dirname(target), { recursive: true });
    if (kind === 'file') fs.writeFileSync(target, Buffer.concat(lines.flatMap((l) => [l, Buffer.from('\n')])));
    else if (kind === 'file-noeol') fs.writeFileSync(target, Buffer.concat(lines.flatMap((l, i) => (i ? [Buffer.from('\n'), l] : [l]))));
    else fs.writeFileSync(target, Buffer.from(Buffer.concat(lines).toString('latin1').replace(/\s+/g, ''), 'hex'));
  }
}

// A run's arguments; "hex:" lines hold bytes that are no text.
function runArgs(lines) {
  return lines.map((l) => {
    const text = l.toString('latin1');
    return text.startsWith('hex:') ? Buffer.from(text.slice(4), 'hex') : l;
  });
}

// Positionals, --name value options (also --name=value) and flags.
function options(args) {
  const positional = [];
  const named = {};
  const texts = args.map((a) => a.toString('utf8'));
  for (let i = 0; i < texts.length; ++i) {
    const arg = texts[i];
    if (arg === '--explain') named.explain = true;
    else if (arg.startsWith('--')) {
      const eq = arg.indexOf('=');
      if (eq >= 0) named[arg.slice(2, eq)] = arg.slice(eq + 1);
      else named[arg.slice(2)] = i + 1 < texts.length ? texts[++i] : null;
    } else positional.push(arg);
  }
  return [positional, named];
}

// The file's bytes as text, or null where the binary could not read it.
function readText(file) {
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(fs.readFileSync(file));
  } catch {
    return null;
  }
}

// JSON.parse, or null where it reads the text otherwise than verdane: any
// number that is not a plain safe integer (JSON.parse would round it or make
// an integer of 5.0), and lone surrogate escapes.
function parseLikeVerdane(text) {
  const outsideStrings = text.replace(/"(?:[^"\\]|\\.)*"/gs, '""');
  for (const [token] of outsideStrings.matchAll(/-?[0-9][0-9.eE+-]*/g)) {
    if (!/^-?(0|[1-9][0-9]*)$/.test(token) || token === '-0' || !Number.isSafeInteger(Number(token))) return null;
  }
  if (/\\u[dD][89a-fA-F]/.test(text)) return null;
  try {
    return JSON.parse(text);
  } catch {
    return null;
  }
}

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);

// What the package gives for one run, each way it can take the inputs:
// [[run, bytecode or null], ...], or [] for runs it does not cover.
function packageRuns(args, folder) {
  const [positional, named] = options(args);
  const known = ['out', 'evidence', 'intent', 'check-hash', 'explain', 'format'];
  if (positional.length !== 2 || Object.keys(named).some((n) => !known.includes(n))) return [];
  if (Object.values(named).some((v) => v === null)) return [];
  const [command, file] = positional;
  const source = path.join(folder, file);
  if (!fs.existsSync(source) || !fs.statSync(source).isFile()) return [];
  const data = fs.readFileSync(source);
  if (command === 'compile') {
    if (readText(source) === null) return [];
    try {
      const tmpl = verdane.compile(new Uint8Array(data));
      return [[[0, `policy_template_id=${tmpl.id}\n`, ''], tmpl.bytecode]];
    } catch (e) {
      return [[[1, '', errorLine(e)], null]];
    }
  }
  if (command === 'print') {
    try {
      return [[[0, verdane.decode(new Uint8Array(data)).render(), ''], null]];
    } catch (e) {
      return [[[1, '', errorLine(e)], null]];
    }
  }
  if (command !== 'eval' || !('evidence' in named)) return [];
  const tmpl = loadLikeBinary(new Uint8Array(data), named['check-hash']);
  if (!(tmpl instanceof verdane.Template)) return [[tmpl, null]];
  const intent = 'intent' in named ? readText(path.join(folder, named.intent)) : '{}';
  const evidence = readText(path.join(folder, named.evidence));
  if (intent === null || evidence === null) return [];
  const explain = named.explain === true;
  const format = named.format ?? 'line';
  if (!['line', 'json'].includes(format)) return [];
  const bytes = (t) => new TextEncoder().encode(t);
  const runs = [
    evalLikeBinary(tmpl, intent, evidence, explain, format),
    evalLikeBinary(tmpl, bytes(intent), bytes(evidence), explain, format),
  ];
  const objects = [parseLikeVerdane(intent), parseLikeVerdane(evidence)];
  if (objects.every(isObject)) runs.push(evalLikeBinary(tmpl, ...objects, explain, format));
  return runs.map((r) => [r, null]);
}

let tmp;
before(async () => {
  await verdane.init();
  tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'verdane-js-cases-'));
});
after(() => fs.rmSync(tmp, { recursive: true, force: true }));

const compared = {};
let ids = 0;

for (const name of CASES) {
  test(`the package does what the binary does: ${name}`, () => {
    const folder = path.join(tmp, name);
    fs.mkdirSync(folder);
    const sections = parseCase(path.join(CASES_DIR, name));
    writeFiles(sections, folder);
    let count = 0;
    for (const [kind, arg, lines] of sections) {
      if (kind !== 'run' || arg) continue;
      const args = runArgs(lines);
      // Before the binary runs: compile may overwrite its own output file.
      const runs = packageRuns(args, folder);
      const binary = runBinary(args, folder);
      if (binary[0] === 2 || binary[2].startsWith('failed to ')) continue; // the command line's own
      for (const [run, bytecode] of runs) {
        assert.deepEqual(run, binary, `${name}: ${args.join(' ')}`);
        if (bytecode !== null) {
          const out = path.join(folder, options(args)[1].out ?? 'out.bin');
          assert.deepEqual(new Uint8Array(fs.readFileSync(out)), bytecode, `${name}: ${args.join(' ')}`);
          ++ids;
        }
        ++count;
      }
    }
    compared[name] = count;
  });
}

test('the comparison covers the cases', () => {
  assert.equal(Object.keys(compared).length, CASES.length);
  const total = Object.values(compared).reduce((a, b) => a + b, 0);
  assert.ok(total >= 200, `only ${total} runs compared`);
  assert.ok(ids >= 20, `only ${ids} compiled templates compared`);
  console.log(`${total} runs compared, ${ids} compiled templates`);
});
