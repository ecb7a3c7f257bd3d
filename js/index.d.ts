// Type declarations of the verdane package.

/** A value written as the JSON document it stands for. */
export type JsonValue =
  | null
  | boolean
  | number
  | bigint
  | string
  | readonly JsonValue[]
  | ReadonlySet<JsonValue>
  | { readonly [member: string]: JsonValue };

/** A JSON text (a string or its UTF-8 bytes), or a value written as JSON. */
export type Document = string | Uint8Array | { readonly [member: string]: JsonValue } | JsonValue;

export interface InitOptions {
  /** The WebAssembly module's bytes or URL; by default the .wasm file beside the package. */
  wasm?: Uint8Array | ArrayBuffer | URL | string;
}

/** Loads the WebAssembly module, once; every other call needs it done. */
export function init(options?: InitOptions): Promise<void>;
export default init;

export class VerdaneError extends Error {
  /** 1-based position of the problem where it has one, else 0. */
  readonly line: number;
  readonly column: number;
  /** In evaluateMany: the index of the request that failed. */
  request?: number;
  constructor(message: string, line?: number, column?: number);
  /** The line the verdane command line prints for this error. */
  toString(): string;
}
/** The source text is not a valid template. */
export class CompileError extends VerdaneError {}
/** The bytes are not a template's bytecode. */
export class BytecodeError extends VerdaneError {}
/** The text is not a template id. */
export class IdError extends VerdaneError {}
/** A document is not one JSON text, or holds a value without an exact JSON form. */
export class JsonError extends VerdaneError {}

/** A constraint that did not pass. */
export interface Outcome {
  readonly index: number;
  readonly kind: 'failed' | 'errored';
  readonly expression: string;
  readonly reason: string;
  /** With explain: [expression, value] pairs in evaluation order; else empty. */
  readonly explanation: readonly (readonly [string, string])[];
}

/** The object `verdane eval --format json` prints. */
export type DecisionJson =
  | { decision: 'pass' }
  | { decision: 'fail'; input_error: string }
  | {
      decision: 'fail';
      outcomes: {
        index: number;
        outcome: 'failed' | 'errored';
        expression: string;
        reason: string;
        explanation?: [string, string][];
      }[];
    };

export class Decision {
  private constructor();
  readonly passed: boolean;
  /** Why the documents do not fit the template's schemas, or null. */
  readonly inputError: string | null;
  /** The failed and errored constraints, in template order. */
  readonly outcomes: Outcome[];
  /** The report `verdane eval` prints. */
  report(): string;
  /** The line `verdane eval --format json` prints, without its line feed. */
  json(): string;
  /** That line's object: JSON.stringify(decision) gives the line. */
  toJSON(): DecisionJson;
}

export interface EvaluateOptions {
  /** Fill each outcome's explanation. */
  explain?: boolean;
}

export class Template {
  private constructor();
  readonly name: string;
  /** The base58 text of the SHA-256 digest of the bytecode. */
  readonly id: string;
  /** The canonical bytecode (a new copy on each read). */
  readonly bytecode: Uint8Array;
  /** The template as readable source text, as `verdane print` writes it. */
  render(): string;
  evaluate(intent: Document, evidence: Document, options?: EvaluateOptions): Decision;
  evaluateMany(requests: Iterable<readonly [Document, Document]>, options?: EvaluateOptions): Decision[];
  /** Frees the template's memory now rather than when it is collected. */
  dispose(): void;
}

export function compile(source: string | Uint8Array): Template;
export function decode(bytecode: Uint8Array): Template;
/** The 32 bytes of a template id's base58 text. */
export function parseId(text: string): Uint8Array;
/**
 * What `verdane test <name>` prints for a test file with the text `tests`,
 * `source` standing for the template it names; and the number of failures.
 */
export function runTests(tests: string | Uint8Array, source: string | Uint8Array, options?: { name?: string }): { output: string; failed: number };
