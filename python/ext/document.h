// The intent and evidence arguments of Template.evaluate as JSON text.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

#include "ref.h"

namespace verdane::python {

// The UTF-8 bytes of a str. A str holding lone surrogates (which UTF-8
// cannot encode) gives them in the "surrogatepass" encoding, so that
// verdane rejects them as invalid UTF-8 at their position, as it would
// reject the same bytes read from a file. `keep` holds whatever object owns
// the bytes. Returns false with a Python exception set on failure (memory).
bool utf8_of(PyObject* str, Ref& keep, std::string_view& out);

// One JSON document, read without copying where the argument allows it.
// Its view() stays valid, and safe to read without the GIL, as long as it
// lives (moves included); it must be destroyed with the GIL held.
struct Document {
  std::string_view view() const { return keep ? borrowed : std::string_view(owned); }

  std::string owned;  // the text of a dict, or a copy of a mutable buffer
  Ref keep;           // else the str or bytes that owns `borrowed`
  std::string_view borrowed;
};

// The bytes of a bytes-like object: borrowed from a bytes object, else copied
// (another thread could change a mutable buffer while verdane reads it
// without the GIL). False, with no exception set, for any other object.
bool bytes_like(PyObject* arg, Document& doc);

// Reads `arg` as the document `name` ("intent" or "evidence"): a dict is
// written as JSON (to_json.h); a str or bytes-like object is taken as JSON
// text, bytes as UTF-8. Anything else is a TypeError.
// Returns false with a Python exception set on failure.
bool read_document(PyObject* arg, const char* name, Document& doc);

}  // namespace verdane::python
