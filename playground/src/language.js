// Syntax highlighting for the verdane template language: keywords, the types
// of schema fields, True/False, numbers, strings, dates and # comments.
import { HighlightStyle, StreamLanguage, syntaxHighlighting } from '@codemirror/language';
import { tags } from '@lezer/highlight';

const KEYWORDS = new Set(['name', 'intent', 'evidence', 'requires', 'optional', 'and', 'or', 'not', 'in', 'subset', 'superset', 'of']);
const TYPES = new Set(['int', 'string', 'bool', 'date', 'set']);

export const verdaneLanguage = StreamLanguage.define({
  name: 'verdane',
  token(stream) {
    if (stream.eatSpace()) return null;
    if (stream.match('#')) {
      stream.skipToEnd();
      return 'comment';
    }
    if (stream.match(/^"(?:[^"\\]|\\.)*"?/)) return 'string';
    if (stream.match(/^date\(\s*\d{4}-\d{2}-\d{2}\s*\)/)) return 'literal';
    if (stream.match(/^-?\d+/)) return 'number';
    const word = stream.match(/^[A-Za-z_][A-Za-z0-9_]*/);
    if (word) {
      const text = word[0];
      if (text === 'True' || text === 'False') return 'bool';
      if (KEYWORDS.has(text)) return 'keyword';
      if (TYPES.has(text)) return 'typeName';
      return 'variableName';
    }
    if (stream.match(/^(<=|>=|==|!=|[<>+\-*])/)) return 'operator';
    stream.next();
    return 'punctuation';
  },
  languageData: { commentTokens: { line: '#' } },
});

export const verdaneHighlight = syntaxHighlighting(
  HighlightStyle.define([
    { tag: tags.keyword, color: '#7a3e9d', fontWeight: 'bold' },
    { tag: tags.typeName, color: '#1f6f8b' },
    { tag: tags.bool, color: '#b35c00' },
    { tag: tags.number, color: '#b35c00' },
    { tag: tags.literal, color: '#b35c00' },
    { tag: tags.string, color: '#2e7d32' },
    { tag: tags.comment, color: '#8a8a8a', fontStyle: 'italic' },
    { tag: tags.operator, color: '#444' },
  ]),
);
