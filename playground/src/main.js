// The playground: three editors (template, intent, evidence) and, as the
// user types, the template's id and canonical text or its compile error
// (marked in the editor), and the decision with explanations.
import { defaultKeymap, history, historyKeymap } from '@codemirror/commands';
import { StateEffect, StateField } from '@codemirror/state';
import { Decoration, EditorView, keymap, lineNumbers } from '@codemirror/view';
import { compile, init, runTests, VerdaneError } from 'verdane';

import evidenceText from '../../examples/evidence.json';
import intentText from '../../examples/intent_fail.json';
import templateText from '../../examples/payment.policy';
import testsText from '../../examples/payment.tests.json';
import { verdaneHighlight, verdaneLanguage } from './language.js';
import { decodeState, encodeState } from './share.js';

const $ = (id) => document.getElementById(id);

// The compile error's place in the template editor: its line, and the
// character at its column.
const setError = StateEffect.define();
const errorMarks = StateField.define({
  create: () => Decoration.none,
  update(marks, tr) {
    for (const e of tr.effects) if (e.is(setError)) return e.value;
    return tr.docChanged ? marks.map(tr.changes) : marks;
  },
  provide: (f) => EditorView.decorations.from(f),
});

function errorDecorations(doc, line, column) {
  if (line < 1 || line > doc.lines) return Decoration.none;
  const l = doc.line(line);
  // Columns count characters (code points); the editor counts UTF-16 units.
  const chars = [...l.text];
  const from = l.from + chars.slice(0, Math.max(0, column - 1)).join('').length;
  const to = Math.min(l.to, from + (chars[column - 1]?.length ?? 0));
  const ranges = [Decoration.line({ class: 'cm-verdane-error-line' }).range(l.from)];
  if (to > from) ranges.push(Decoration.mark({ class: 'cm-verdane-error' }).range(from, to));
  return Decoration.set(ranges, true);
}

function editor(parent, doc, extensions = []) {
  return new EditorView({
    doc,
    parent,
    extensions: [lineNumbers(), history(), keymap.of([...defaultKeymap, ...historyKeymap]), EditorView.updateListener.of((u) => u.docChanged && schedule()), ...extensions],
  });
}

const shared = decodeState(location.hash);
const views = {
  template: editor($('template'), shared?.template ?? templateText, [verdaneLanguage, verdaneHighlight, errorMarks]),
  intent: editor($('intent'), shared?.intent ?? intentText),
  evidence: editor($('evidence'), shared?.evidence ?? evidenceText),
  tests: editor($('tests'), shared?.tests ?? testsText),
};
const text = (name) => views[name].state.doc.toString();

function show(id, content, isError = false) {
  const el = $(id);
  el.textContent = content;
  el.classList.toggle('error', isError);
}

let current = null;

// The test file's lines, named as the example's test file is.
function updateTests() {
  const tests = text('tests');
  if (tests.trim() === '') {
    show('test-output', 'no test file');
    return;
  }
  const run = runTests(tests, text('template'), { name: 'payment.tests.json' });
  show('test-output', run.output, run.failed > 0);
}

function update() {
  updateTests();
  let errorMarksValue = Decoration.none;
  if (current !== null) current.dispose();
  current = null;
  try {
    current = compile(text('template'));
    show('template-status', `${current.name}: policy_template_id=${current.id}`);
    show('canonical', current.render());
  } catch (e) {
    if (!(e instanceof VerdaneError)) throw e;
    show('template-status', String(e), true);
    show('canonical', '');
    errorMarksValue = errorDecorations(views.template.state.doc, e.line, e.column);
  }
  views.template.dispatch({ effects: setError.of(errorMarksValue) });
  if (current === null) {
    show('decision', 'no decision: the template does not compile', true);
    return;
  }
  try {
    const decision = current.evaluate(text('intent'), text('evidence'), { explain: true });
    show('decision', decision.report(), !decision.passed);
    $('decision').dataset.passed = String(decision.passed);
  } catch (e) {
    if (!(e instanceof VerdaneError)) throw e;
    show('decision', String(e), true);
  }
}

let pending = 0;
function schedule() {
  clearTimeout(pending);
  pending = setTimeout(update, 100);
}

$('share').addEventListener('click', () => {
  const fragment = encodeState({ template: text('template'), intent: text('intent'), evidence: text('evidence'), tests: text('tests') });
  window.history.replaceState(null, '', fragment);
  const link = $('link');
  link.value = location.href;
  link.hidden = false;
  link.select();
  navigator.clipboard?.writeText(location.href).catch(() => {});
});

await init({ wasm: new URL('verdane_core.wasm', import.meta.url) });
update();
document.body.dataset.ready = 'true';
