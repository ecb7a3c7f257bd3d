// JavaScript values as JSON text, for the intent and evidence documents.
//
// A value given to Template.evaluate is written as the JSON document it
// stands for, and verdane's own loader then reads that text: an object is
// therefore decided exactly as `verdane eval` decides the same document
// written to a file, with no second set of conversion rules to keep in step.
// What has no exact JSON form is refused with the path of the value, rather
// than rounded or dropped.
//
// Walks without recursion, so nesting depth is bounded only by memory.

import { JsonError } from './errors.js';

// verdane reads every integer beyond 64 bits as a floating-point number,
// whatever its digits. Above this many bits a fixed such number is written
// instead of the digits, so that a huge BigInt costs no huge text.
const LARGE_INT = 1n << 1100n;
const LARGE_INT_DIGITS = '1' + '0'.repeat(400);

const IDENTIFIER = /^[A-Za-z_$][A-Za-z0-9_$]*$/;
const hasWellFormed = typeof ''.isWellFormed === 'function';
const LONE_SURROGATE = /[\uD800-\uDFFF]/u;

// Whether the string can be written as UTF-8 (holds no lone surrogate).
export function wellFormed(text) {
  return hasWellFormed ? text.isWellFormed() : !LONE_SURROGATE.test(text);
}

function isPlainObject(v) {
  const proto = Object.getPrototypeOf(v);
  return proto === Object.prototype || proto === null;
}

// Brand checks: an object can have Set.prototype or Date.prototype as its
// prototype without being one.
function isSet(v) {
  try {
    Set.prototype.has.call(v, undefined);
    return true;
  } catch {
    return false;
  }
}

function isDate(v) {
  try {
    Date.prototype.getTime.call(v);
    return true;
  } catch {
    return false;
  }
}

function describe(v) {
  if (v === null) return 'null';
  if (typeof v !== 'object') return `a ${typeof v}`;
  const name = v.constructor && typeof v.constructor.name === 'string' ? v.constructor.name : '';
  return name ? `a ${name}` : 'an object';
}

// A container being written, with where the walk stands in it.
class Frame {
  constructor(container, entries, isObject) {
    this.container = container;
    this.entries = entries; // member names, or the elements of an array or Set
    this.isObject = isObject;
    this.pos = 0;
  }
}

class Writer {
  constructor(name) {
    this.name = name;
    this.out = '';
    this.stack = [];
    this.onPath = new Set();
  }

  run(root) {
    this.value(root);
    const stack = this.stack;
    while (stack.length > 0) {
      const f = stack[stack.length - 1];
      if (f.pos === f.entries.length) {
        this.out += f.isObject ? '}' : ']';
        this.onPath.delete(f.container);
        stack.pop();
        continue;
      }
      if (f.pos > 0) this.out += ',';
      const entry = f.entries[f.pos++];
      if (f.isObject) {
        if (!wellFormed(entry)) this.fail('the member name holds a lone surrogate, which UTF-8 cannot encode');
        this.out += JSON.stringify(entry) + ':';
        this.value(f.container[entry]);
      } else {
        this.value(entry);
      }
    }
    return this.out;
  }

  // Writes a scalar, or opens a container and pushes its frame.
  value(v) {
    switch (typeof v) {
      case 'boolean':
        this.out += v ? 'true' : 'false';
        return;
      case 'number':
        this.number(v);
        return;
      case 'bigint':
        this.out += v >= LARGE_INT ? LARGE_INT_DIGITS : v <= -LARGE_INT ? '-' + LARGE_INT_DIGITS : String(v);
        return;
      case 'string':
        if (!wellFormed(v)) this.fail('the string holds a lone surrogate, which UTF-8 cannot encode');
        this.out += JSON.stringify(v);
        return;
      case 'object':
        if (v === null) {
          this.out += 'null';
          return;
        }
        this.open(v);
        return;
      case 'undefined':
        this.fail('undefined has no JSON form (leave the member out, or pass null)');
        return;
      default:
        this.fail(`${describe(v)} cannot be written as JSON`);
    }
  }

  number(v) {
    if (Number.isSafeInteger(v)) {
      this.out += String(v); // -0 is the integer 0
    } else if (!Number.isFinite(v)) {
      this.fail(`${v} is not a JSON number`);
    } else if (Number.isInteger(v)) {
      this.fail(`${v} is beyond Number.MAX_SAFE_INTEGER, so it may already be rounded; pass the exact integer as a BigInt`);
    } else {
      this.fail(`${v} is not an integer`);
    }
  }

  open(v) {
    let frame;
    if (Array.isArray(v)) {
      frame = new Frame(v, v, false);
    } else if (isPlainObject(v)) {
      frame = new Frame(v, Object.keys(v), true);
    } else if (isSet(v)) {
      frame = new Frame(v, [...Set.prototype.values.call(v)], false);
    } else if (isDate(v)) {
      this.fail('a Date is not a date value; pass the day as a "YYYY-MM-DD" string');
    } else {
      this.fail(`${describe(v)} cannot be written as JSON (expected a plain object, an array, a Set, a string, a number, a BigInt, a boolean or null)`);
    }
    if (this.onPath.has(v)) this.fail('the value contains itself (circular reference)');
    this.onPath.add(v);
    this.out += frame.isObject ? '{' : '[';
    this.stack.push(frame);
  }

  // Throws a JsonError naming the path of the value being written.
  fail(problem) {
    let path = this.name;
    for (const f of this.stack) {
      const at = f.entries[f.pos - 1];
      if (!f.isObject) path += `[${f.pos - 1}]`;
      else path += IDENTIFIER.test(at) ? `.${at}` : `[${JSON.stringify(at)}]`;
    }
    throw new JsonError(`${path}: ${problem}`);
  }
}

// The JSON text of `value`, whose path in errors starts with `name`.
export function jsonText(value, name) {
  return new Writer(name).run(value);
}
