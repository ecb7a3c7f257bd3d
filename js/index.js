// verdane in JavaScript: compile, inspect and evaluate policy templates with
// the C++ core built as WebAssembly, so every decision, id and message is the
// one the `verdane` command line gives.
//
//   import { init, compile } from 'verdane';
//   await init();
//   const t = compile(source);
//   const decision = t.evaluate({ amount: 250 }, evidenceJsonText);
//   decision.passed, decision.report();

import { Core } from './lib/core.js';
import { BytecodeError, CompileError, IdError, JsonError, VerdaneError, errorClasses } from './lib/errors.js';
import { jsonText, wellFormed } from './lib/json_text.js';

export { BytecodeError, CompileError, IdError, JsonError, VerdaneError };

let core = null;
let loading = null;

// Loads the WebAssembly module once; every other call needs it done.
// `wasm` may give the module's bytes or URL (by default the .wasm file next to
// the package's own code).
export function init({ wasm } = {}) {
  if (loading === null) {
    loading = Core.load(wasm).then(
      (c) => {
        core = c;
      },
      (e) => {
        loading = null;
        throw e;
      },
    );
  }
  return loading;
}

export default init;

function ready() {
  if (core === null) throw new VerdaneError('verdane is not loaded yet: await init() first');
  return core;
}

function thrown() {
  const [line, column] = core.position();
  const Class = errorClasses[core.kind()] ?? VerdaneError;
  return new Class(core.text(0), line, column);
}

function utf8Input(value, what) {
  if (typeof value === 'string') {
    if (!wellFormed(value)) throw new VerdaneError(`${what} holds a lone surrogate, which UTF-8 cannot encode`);
    return value;
  }
  if (value instanceof Uint8Array) return value;
  throw new TypeError(`${what} must be a string or a Uint8Array, not ${value === null ? 'null' : typeof value}`);
}

// A document: a JSON text (string or UTF-8 bytes) as it is, any other value
// as the JSON text it stands for.
function documentText(value, name) {
  if (typeof value === 'string') {
    if (!wellFormed(value)) throw new JsonError(`${name}: the text holds a lone surrogate, which UTF-8 cannot encode`);
    return value;
  }
  if (value instanceof Uint8Array) return value;
  return jsonText(value, name);
}

const freeTemplate = new FinalizationRegistry((ptr) => {
  if (core !== null) core.m._vd_template_free(ptr);
});

const EMPTY = Object.freeze([]);
const utf8 = new TextDecoder();

// A constraint that did not pass.
class Outcome {
  constructor(o) {
    this.index = o.index;
    this.kind = o.outcome; // "failed" or "errored"
    this.expression = o.expression;
    this.reason = o.reason;
    this.explanation = o.explanation ?? EMPTY;
    Object.freeze(this);
  }
}

// Failed decisions whose texts are not made yet hold core memory until
// they are collected. The registry frees it only between tasks, so in one
// long synchronous loop it could pile up: past this many pending, new
// decisions make their texts at once and hold nothing.
const MAX_PENDING = 65536;
let pending = 0;
const freeDecision = new FinalizationRegistry((ptr) => {
  --pending;
  if (core !== null) core.m._vd_decision_free(ptr);
});

// The answer for one request. Its parts are read from the core's own JSON
// text of the decision, so they cannot differ from `verdane eval`'s. A
// failed decision's texts are made by the core only when first asked for.
export class Decision {
  #texts; // the report's and the JSON line's UTF-8 bytes, one after the other
  #split;
  #ptr; // the core's failed decision, until its texts are made
  #report;
  #json;
  #object;

  constructor(passed, texts, split, ptr) {
    this.passed = passed;
    this.#texts = texts;
    this.#split = split;
    this.#ptr = ptr;
    if (ptr !== 0) {
      ++pending;
      freeDecision.register(this, ptr, this);
      if (pending > MAX_PENDING) this.#bytes();
    }
  }

  #bytes() {
    if (this.#ptr !== 0) {
      const c = ready();
      c.m._vd_decision_texts(this.#ptr, c.reply);
      this.#texts = c.both();
      this.#split = c.split();
      freeDecision.unregister(this);
      --pending;
      c.m._vd_decision_free(this.#ptr);
      this.#ptr = 0;
    }
    return this.#texts;
  }

  #parsed() {
    if (this.#object === undefined) this.#object = JSON.parse(this.json());
    return this.#object;
  }

  get inputError() {
    return this.#parsed().input_error ?? null;
  }

  get outcomes() {
    return (this.#parsed().outcomes ?? EMPTY).map((o) => new Outcome(o));
  }

  // The report `verdane eval` prints, every line ending in a line feed.
  report() {
    this.#report ??= utf8.decode(this.#bytes().subarray(0, this.#split));
    return this.#report;
  }

  // The one line `verdane eval --format json` prints, without its line feed.
  json() {
    this.#json ??= utf8.decode(this.#bytes().subarray(this.#split));
    return this.#json;
  }

  // The object of that line: JSON.stringify(decision) gives the line itself.
  toJSON() {
    return structuredClone(this.#parsed());
  }
}

export class Template {
  #ptr;
  #id;
  #bytecode;

  // Made by compile and decode only.
  constructor(ptr, name, key) {
    if (key !== EMPTY) throw new TypeError('use compile() or decode() to make a Template');
    this.#ptr = ptr;
    this.name = name;
    freeTemplate.register(this, ptr, this);
  }

  #handle() {
    if (this.#ptr === 0) throw new VerdaneError('the template has been disposed');
    return this.#ptr;
  }

  #identity() {
    if (this.#id === undefined) {
      const c = ready();
      c.m._vd_identity(this.#handle(), c.reply);
      if (c.status() === 0) throw thrown();
      this.#id = c.text(0);
      this.#bytecode = c.bytes(1);
    }
  }

  // The id: the base58 text of the SHA-256 digest of the bytecode.
  get id() {
    this.#identity();
    return this.#id;
  }

  // The canonical bytecode (a new copy on each read).
  get bytecode() {
    this.#identity();
    return this.#bytecode.slice();
  }

  // The template as readable source text, as `verdane print` writes it.
  render() {
    const c = ready();
    c.m._vd_render(this.#handle(), c.reply);
    return c.text(0);
  }

  // Decides one request. Each side is a JSON text (string or UTF-8 bytes) or
  // a value written as the JSON it stands for (see README: JavaScript).
  evaluate(intent, evidence, { explain = false } = {}) {
    const c = ready();
    const handle = this.#handle();
    c.put(documentText(intent, 'intent'), documentText(evidence, 'evidence'));
    const failed = c.m._vd_evaluate(handle, c.at0, c.size0, c.at1, c.size1, explain ? 1 : 0, c.reply);
    if (c.status() === 0) throw thrown();
    return failed !== 0 ? new Decision(false, null, 0, failed) : new Decision(true, c.both(), c.split(), 0);
  }

  // evaluate for every [intent, evidence] pair, in order.
  evaluateMany(requests, { explain = false } = {}) {
    const decisions = [];
    let index = 0;
    for (const request of requests) {
      if (!Array.isArray(request) || request.length !== 2) {
        throw new TypeError(`requests[${index}] must be an [intent, evidence] pair`);
      }
      try {
        decisions.push(this.evaluate(request[0], request[1], { explain }));
      } catch (e) {
        if (e instanceof VerdaneError) e.request = index;
        throw e;
      }
      ++index;
    }
    return decisions;
  }

  // Frees the template's memory now rather than when it is collected.
  dispose() {
    if (this.#ptr !== 0) {
      freeTemplate.unregister(this);
      ready().m._vd_template_free(this.#ptr);
      this.#ptr = 0;
    }
  }
}

if (typeof Symbol.dispose === 'symbol') Template.prototype[Symbol.dispose] = Template.prototype.dispose;

function made(ptr) {
  if (ptr === 0) throw thrown();
  return new Template(ptr, core.text(0), EMPTY);
}

// Checks and compiles template source text (a string, or UTF-8 bytes).
export function compile(source) {
  const c = ready();
  c.put(utf8Input(source, 'the source'));
  return made(c.m._vd_compile(c.at0, c.size0, c.reply));
}

// Reads a template from its bytecode.
export function decode(bytes) {
  const c = ready();
  if (!(bytes instanceof Uint8Array)) throw new TypeError('bytecode must be a Uint8Array');
  c.put(bytes);
  return made(c.m._vd_decode(c.at0, c.size0, c.reply));
}

// The 32 bytes of a template id's base58 text, read exactly (no trimming).
export function parseId(text) {
  const c = ready();
  c.put(utf8Input(text, 'the id'));
  c.m._vd_parse_id(c.at0, c.size0, c.reply);
  if (c.status() === 0) throw thrown();
  return c.bytes(0);
}

// What `verdane test <name>` prints for a test file with the text `tests`,
// with `source` standing for the template it names (the playground's use).
// Returns { output, failed }: every line, and the number of failures.
export function runTests(tests, source, { name = 'tests.json' } = {}) {
  const c = ready();
  const nameBytes = new TextEncoder().encode(utf8Input(name, 'the name') + '\0');
  c.put(utf8Input(tests, 'the tests'), utf8Input(source, 'the source'));
  const [testsAt, testsSize, sourceAt, sourceSize] = [c.at0, c.size0, c.at1, c.size1];
  const slots = c.m._vd_alloc(8 + nameBytes.length);
  c.m.HEAPU8.set(nameBytes, slots + 8);
  const failed = c.m._vd_run_tests(slots + 8, testsAt, testsSize, sourceAt, sourceSize, slots, slots + 4);
  const words = new Uint32Array(c.m.HEAPU8.buffer, slots, 2);
  const [at, size] = [words[0], words[1]];
  const output = new TextDecoder().decode(c.m.HEAPU8.subarray(at, at + size));
  c.m._vd_dealloc(at);
  c.m._vd_dealloc(slots);
  return { output, failed };
}
