// Loading the WebAssembly module, and the calls into it. The module's C
// functions (native/binding.cpp) fill a Reply: eight 32-bit words (status,
// error kind, line, column, and address and size of two texts) followed by
// the texts' storage, which the next call on the same Reply reuses.

import { sha256 } from '@noble/hashes/sha2';
import createVerdaneCore from '../dist/verdane_core.mjs';

const encoder = new TextEncoder();
const decoder = new TextDecoder('utf-8', { fatal: false });

async function wasmBytes(wasm) {
  if (wasm instanceof Uint8Array || wasm instanceof ArrayBuffer) return wasm;
  const url = wasm === undefined ? new URL('../dist/verdane_core.wasm', import.meta.url) : new URL(String(wasm), globalThis.location?.href);
  if (url.protocol === 'file:') {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`cannot load ${url}: HTTP ${response.status}`);
  return response.arrayBuffer();
}

export class Core {
  static async load(wasm) {
    const bytes = await wasmBytes(wasm);
    let failed;
    const failure = new Promise((_, reject) => {
      failed = reject;
    });
    const module = await Promise.race([
      createVerdaneCore({
        verdaneSha256: (data) => sha256(data),
        instantiateWasm(imports, done) {
          WebAssembly.instantiate(bytes, imports).then((r) => done(r.instance), failed);
          return {};
        },
      }),
      failure,
    ]);
    return new Core(module);
  }

  constructor(module) {
    this.m = module;
    this.reply = module._vd_reply_new();
    this.scratch = 0;
    this.scratchSize = 0;
  }

  // The Reply's words; memory may have grown since the last call.
  words() {
    const heap = this.m.HEAPU8;
    if (this.u32 === undefined || this.u32.buffer !== heap.buffer) this.u32 = new Uint32Array(heap.buffer);
    return this.u32;
  }

  status() {
    return this.words()[this.reply >>> 2];
  }

  kind() {
    return this.words()[(this.reply >>> 2) + 1];
  }

  position() {
    const w = this.words();
    const r = this.reply >>> 2;
    return [w[r + 2], w[r + 3]];
  }

  // A copy of the bytes from the start of the first text to the end of the
  // second, and where the second starts in it: one copy for both texts,
  // which a decision's Reply keeps next to each other.
  both() {
    const w = this.words();
    const r = this.reply >>> 2;
    return this.m.HEAPU8.slice(w[r + 4], w[r + 6] + w[r + 7]);
  }

  // Where the second text starts in both().
  split() {
    return this.words()[(this.reply >>> 2) + 5];
  }

  bytes(which) {
    const w = this.words();
    const at = w[(this.reply >>> 2) + 4 + 2 * which];
    return this.m.HEAPU8.slice(at, at + w[(this.reply >>> 2) + 5 + 2 * which]);
  }

  text(which) {
    const w = this.words();
    const at = w[(this.reply >>> 2) + 4 + 2 * which];
    return decoder.decode(this.m.HEAPU8.subarray(at, at + w[(this.reply >>> 2) + 5 + 2 * which]));
  }

  // A region of at least `size` bytes in the module's memory, reused.
  region(size) {
    if (size > this.scratchSize) {
      if (this.scratch !== 0) this.m._vd_dealloc(this.scratch);
      this.scratchSize = Math.max(size, 2 * this.scratchSize, 1024);
      this.scratch = this.m._vd_alloc(this.scratchSize);
    }
    return this.scratch;
  }

  // Puts one or two texts or byte arrays into memory, one after the other;
  // their addresses and sizes are left in at0, size0, at1 and size1.
  put(a, b = '') {
    const bound = (x) => (typeof x === 'string' ? 3 * x.length : x.length);
    const total = bound(a) + bound(b);
    const base = this.region(total);
    const heap = this.m.HEAPU8;
    this.at0 = base;
    this.size0 = typeof a === 'string' ? encoder.encodeInto(a, heap.subarray(base, base + total)).written : (heap.set(a, base), a.length);
    this.at1 = base + this.size0;
    this.size1 = typeof b === 'string' ? encoder.encodeInto(b, heap.subarray(this.at1, base + total)).written : (heap.set(b, this.at1), b.length);
  }
}
