// Python values as JSON text, for the intent and evidence documents.
//
// A dict given to Template.evaluate is written as the JSON document it
// stands for, and verdane's own loader then reads that text: a dict is
// therefore decided exactly as `verdane eval` decides the same document
// written to a file, with no second set of conversion rules to keep in step.
#pragma once

#include <Python.h>

#include <string>

namespace verdane::python {

// Appends the JSON text of `value` to `out`: dict (str keys only) as an
// object; list, tuple, set and frozenset as arrays (a set's elements in byte
// order of their JSON texts, so the text does not depend on hash order);
// str as a string; bool as true/false; int as its decimal digits (beyond
// about 330 digits, as a fixed number of 400 digits, which verdane reads
// exactly as it reads any integer beyond 64 bits); float as the shortest text
// that reads back to it;
// None as null; datetime.date as "YYYY-MM-DD".
//
// On failure sets a Python exception whose message starts with the path of
// the offending value below `name` (e.g. "intent['tags'][2]: ..."), and
// returns false: TypeError for a non-str key or a value of any other type
// (datetime.datetime included), ValueError for NaN and infinities, strings
// holding lone surrogates and containers that contain themselves. Walks
// without recursion, so nesting depth is bounded only by memory.
//
// Needs the GIL. Runs no Python code: subclasses of the accepted types are
// read through the base type's own C functions.
bool append_json(PyObject* value, const char* name, std::string& out);

}  // namespace verdane::python
