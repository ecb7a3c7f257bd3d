#include "document.h"

#include <string>

#include "to_json.h"

namespace verdane::python {

bool utf8_of(PyObject* str, Ref& keep, std::string_view& out) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data != nullptr) {
    keep = Ref::borrowed(str);
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
  PyErr_Clear();
  keep = Ref(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  if (!keep) return false;
  out = std::string_view(PyBytes_AS_STRING(keep.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(keep.get())));
  return true;
}

bool bytes_like(PyObject* arg, Document& doc) {
  if (PyBytes_Check(arg)) {
    doc.keep = Ref::borrowed(arg);
    doc.borrowed =
        std::string_view(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg)));
    return true;
  }
  Py_buffer view;
  if (!PyObject_CheckBuffer(arg) || PyObject_GetBuffer(arg, &view, PyBUF_CONTIG_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  try {
    doc.owned.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  } catch (...) {
    PyBuffer_Release(&view);
    throw;
  }
  PyBuffer_Release(&view);
  return true;
}

bool read_document(PyObject* arg, const char* name, Document& doc) {
  if (PyDict_Check(arg)) return append_json(arg, name, doc.owned);
  if (PyUnicode_Check(arg)) return utf8_of(arg, doc.keep, doc.borrowed);
  if (bytes_like(arg, doc)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a dict or JSON text (str or bytes), not %s", name,
               Py_TYPE(arg)->tp_name);
  return false;
}

}  // namespace verdane::python
