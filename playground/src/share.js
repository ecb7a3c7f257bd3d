// The playground's whole state in the URL fragment: "#v1." and the base64url
// text of the UTF-8 JSON of {template, intent, evidence, tests}.
const PREFIX = '#v1.';

function toBase64Url(bytes) {
  let binary = '';
  for (const b of bytes) binary += String.fromCharCode(b);
  return btoa(binary).replaceAll('+', '-').replaceAll('/', '_').replace(/=+$/, '');
}

function fromBase64Url(text) {
  const binary = atob(text.replaceAll('-', '+').replaceAll('_', '/'));
  return Uint8Array.from(binary, (c) => c.charCodeAt(0));
}

export function encodeState(state) {
  return PREFIX + toBase64Url(new TextEncoder().encode(JSON.stringify(state)));
}

// The state of a fragment, or null when it holds none (or a broken one).
export function decodeState(fragment) {
  if (!fragment.startsWith(PREFIX)) return null;
  try {
    const state = JSON.parse(new TextDecoder('utf-8', { fatal: true }).decode(fromBase64Url(fragment.slice(PREFIX.length))));
    const ok = ['template', 'intent', 'evidence'].every((k) => typeof state[k] === 'string');
    if (state.tests === undefined) state.tests = '';
    return ok && typeof state.tests === 'string' ? state : null;
  } catch {
    return null;
  }
}
