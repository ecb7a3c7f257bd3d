// The errors verdane throws: one hierarchy under VerdaneError. `message` is
// the problem without its position; `line` and `column` locate it (1-based)
// where it has a position, else they are 0. toString() gives the line the
// verdane command line prints for it.

export class VerdaneError extends Error {
  constructor(message, line = 0, column = 0) {
    super(message);
    this.line = line;
    this.column = column;
  }

  toString() {
    return this.message;
  }
}

function errorAt(e) {
  return `error at ${e.line}:${e.column}: ${e.message}`;
}

// The source text is not a valid template; toString() gives
// "error at <line>:<column>: <message>", columns counting characters.
export class CompileError extends VerdaneError {
  toString() {
    return errorAt(this);
  }
}

// The bytes are not a template's bytecode; `message` starts with "bytecode: ".
export class BytecodeError extends VerdaneError {
  toString() {
    return errorAt(this);
  }
}

// The text is not a template id (base58 of 32 bytes).
export class IdError extends VerdaneError {}

// An intent or evidence is not one JSON document, or holds a JavaScript value
// that has no exact JSON form; toString() gives the line `verdane eval`
// prints: "<message> at line <line> column <column>".
export class JsonError extends VerdaneError {
  toString() {
    return this.line === 0 ? this.message : `${this.message} at line ${this.line} column ${this.column}`;
  }
}

// Spelled out: a minifier may rename the classes themselves.
for (const [Class, name] of [
  [VerdaneError, 'VerdaneError'],
  [CompileError, 'CompileError'],
  [BytecodeError, 'BytecodeError'],
  [IdError, 'IdError'],
  [JsonError, 'JsonError'],
]) {
  Object.defineProperty(Class.prototype, 'name', { value: name, writable: true, configurable: true });
}

// The core's error kinds, in the order of api::Error::Kind; a request text
// that is JSON but no request is a JsonError too.
export const errorClasses = [CompileError, BytecodeError, IdError, JsonError, JsonError];
