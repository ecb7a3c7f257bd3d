#include "to_json.h"

#include <datetime.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ref.h"

namespace verdane::python {
namespace {

// verdane reads every integer beyond 64 bits as a floating-point number,
// whatever its digits. Above this many bits, a fixed such number is written
// instead of the digits, whose conversion costs time quadratic in their count
// (and which Python refuses beyond 4300 digits).
constexpr std::size_t kMaxExactIntBits = 1100;
constexpr std::string_view kLargeIntDigits =
    "1000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
    "0";

// Containers on the path up to this depth are compared one by one; deeper
// ones also go into a hash set, so that a chain of a million lists costs
// linear time.
constexpr std::size_t kLinearCycleCheckDepth = 64;

bool import_datetime() {
  if (PyDateTimeAPI == nullptr) PyDateTime_IMPORT;
  return PyDateTimeAPI != nullptr;
}

void append_escaped(std::string_view text, std::string& out) {
  out += '"';
  std::size_t plain = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text, plain, i - plain);
    plain = i + 1;
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    }
  }
  out.append(text, plain, text.size() - plain);
  out += '"';
}

// A container being written, with where the walk stands in it.
struct Frame {
  enum class Kind { Object, Array, Set };
  Kind kind;
  Ref container;
  Py_ssize_t pos = 0;  // PyDict_Next position, or the next list/tuple index
  Ref iter;            // Set: iterator over the elements
  Ref key;             // Object: the member being written, for error paths
  // Set: where each element's text starts; elements are written without
  // separators and joined in sorted order when the set is closed.
  std::vector<std::size_t> starts;
};

class Writer {
 public:
  Writer(const char* name, std::string& out) : name_(name), out_(out) {}

  bool run(PyObject* root) {
    if (!value(root)) return false;
    while (!stack_.empty()) {
      PyObject* child = nullptr;
      const int got = next_child(stack_.back(), child);
      if (got < 0) return false;
      if (got == 0) {
        close_top();
        continue;
      }
      const Ref hold(child);
      if (!value(child)) return false;
    }
    return true;
  }

 private:
  // Writes a scalar, or opens a container and pushes its frame.
  bool value(PyObject* v) {
    if (v == Py_None) {
      out_ += "null";
    } else if (v == Py_True) {
      out_ += "true";
    } else if (v == Py_False) {
      out_ += "false";
    } else if (PyLong_Check(v)) {
      return integer(v);
    } else if (PyFloat_Check(v)) {
      return floating(v);
    } else if (PyUnicode_Check(v)) {
      return string(v, "the str");
    } else if (PyDict_Check(v)) {
      return open(v, Frame::Kind::Object, '{');
    } else if (PyList_Check(v) || PyTuple_Check(v)) {
      return open(v, Frame::Kind::Array, '[');
    } else if (PyAnySet_Check(v)) {
      return open(v, Frame::Kind::Set, '[');
    } else if (PyDateTime_Check(v)) {
      return fail(PyExc_TypeError,
                  "a datetime.datetime is not a date; pass its .date() for a date field");
    } else if (PyDate_Check(v)) {
      char text[16];
      std::snprintf(text, sizeof text, "\"%04d-%02d-%02d\"", PyDateTime_GET_YEAR(v),
                    PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v));
      out_ += text;
    } else {
      return fail(PyExc_TypeError, std::string("a value of type ") + Py_TYPE(v)->tp_name +
                                       " cannot be written as JSON (expected dict, list, tuple, "
                                       "set, frozenset, str, int, float, bool, None or "
                                       "datetime.date)");
    }
    return true;
  }

  bool integer(PyObject* v) {
    char digits[24];
    int overflow = 0;
    const long long small = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow == 0) {
      if (small == -1 && PyErr_Occurred()) return false;
      out_.append(digits, std::to_chars(digits, digits + sizeof digits, small).ptr);
      return true;
    }
    if (overflow > 0) {
      const unsigned long long large = PyLong_AsUnsignedLongLong(v);
      if (!(large == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
        out_.append(digits, std::to_chars(digits, digits + sizeof digits, large).ptr);
        return true;
      }
      PyErr_Clear();
    }
    const std::size_t bits = _PyLong_NumBits(v);
    if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred()) return false;
    if (bits > kMaxExactIntBits) {
      if (overflow < 0) out_ += '-';
      out_ += kLargeIntDigits;
      return true;
    }
    // int's own repr, whatever a subclass defines.
    const Ref text(PyLong_Type.tp_repr(v));
    if (!text) return false;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
    if (data == nullptr) return false;
    out_.append(data, static_cast<std::size_t>(size));
    return true;
  }

  bool floating(PyObject* v) {
    const double d = PyFloat_AS_DOUBLE(v);
    if (!std::isfinite(d)) {
      return fail(PyExc_ValueError, std::string("the float ") + (std::isnan(d) ? "nan" : "inf") +
                                        " is not a JSON number");
    }
    char* text = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
    if (text == nullptr) return false;
    out_ += text;
    PyMem_Free(text);
    return true;
  }

  bool string(PyObject* v, const char* what) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(v, &size);
    if (data == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      return fail(PyExc_ValueError,
                  std::string(what) + " holds a lone surrogate, which UTF-8 cannot encode");
    }
    append_escaped(std::string_view(data, static_cast<std::size_t>(size)), out_);
    return true;
  }

  bool open(PyObject* v, Frame::Kind kind, char bracket) {
    if (on_path(v)) return fail(PyExc_ValueError, "the value contains itself (circular reference)");
    Frame frame{kind, Ref::borrowed(v), 0, Ref(), Ref(), {}};
    if (kind == Frame::Kind::Set) {
      // The base type's iterator: a subclass's __iter__ would run Python code.
      frame.iter = Ref(PySet_Type.tp_iter(v));
      if (!frame.iter) return false;
    }
    out_ += bracket;
    if (stack_.size() >= kLinearCycleCheckDepth) deep_.insert(v);
    stack_.push_back(std::move(frame));
    return true;
  }

  bool on_path(PyObject* v) const {
    const std::size_t linear = std::min(stack_.size(), kLinearCycleCheckDepth);
    for (std::size_t i = 0; i < linear; ++i) {
      if (stack_[i].container.get() == v) return true;
    }
    return !deep_.empty() && deep_.count(v) != 0;
  }

  // 1 and a new reference in `child`, 0 when the container is done, -1 on error.
  int next_child(Frame& f, PyObject*& child) {
    switch (f.kind) {
      case Frame::Kind::Object: {
        PyObject* key = nullptr;
        PyObject* val = nullptr;
        const bool first = !f.key;
        if (!PyDict_Next(f.container.get(), &f.pos, &key, &val)) return 0;
        f.key = Ref::borrowed(key);
        if (!PyUnicode_Check(key)) {
          fail(PyExc_TypeError,
               std::string("member names must be str, not ") + Py_TYPE(key)->tp_name);
          return -1;
        }
        if (!first) out_ += ',';
        if (!string(key, "the member name")) return -1;
        out_ += ':';
        Py_INCREF(val);
        child = val;
        return 1;
      }
      case Frame::Kind::Array: {
        PyObject* seq = f.container.get();
        const bool list = PyList_Check(seq);
        const Py_ssize_t size = list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        if (f.pos >= size) return 0;
        if (f.pos > 0) out_ += ',';
        child = list ? PyList_GET_ITEM(seq, f.pos) : PyTuple_GET_ITEM(seq, f.pos);
        Py_INCREF(child);
        ++f.pos;
        return 1;
      }
      case Frame::Kind::Set:
        child = PyIter_Next(f.iter.get());
        if (child == nullptr) return PyErr_Occurred() ? -1 : 0;
        f.starts.push_back(out_.size());
        ++f.pos;
        return 1;
    }
    return -1;
  }

  void close_top() {
    Frame& f = stack_.back();
    if (f.kind == Frame::Kind::Object) {
      out_ += '}';
    } else if (f.kind == Frame::Kind::Array) {
      out_ += ']';
    } else {
      close_set(f);
    }
    if (stack_.size() > kLinearCycleCheckDepth) deep_.erase(f.container.get());
    stack_.pop_back();
  }

  void close_set(const Frame& f) {
    if (f.starts.empty()) {
      out_ += ']';
      return;
    }
    const std::size_t begin = f.starts.front();
    std::vector<std::string_view> elements;
    elements.reserve(f.starts.size());
    const std::string_view all(out_);
    for (std::size_t i = 0; i < f.starts.size(); ++i) {
      const std::size_t end = i + 1 < f.starts.size() ? f.starts[i + 1] : out_.size();
      elements.push_back(all.substr(f.starts[i], end - f.starts[i]));
    }
    std::sort(elements.begin(), elements.end());
    std::string joined;
    joined.reserve(out_.size() - begin + elements.size());
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (i > 0) joined += ',';
      joined += elements[i];
    }
    out_.replace(begin, std::string::npos, joined);
    out_ += ']';
  }

  // Sets `type` with the path of the value being written and `problem`.
  bool fail(PyObject* type, const std::string& problem) {
    std::string path = name_;
    for (const Frame& f : stack_) {
      switch (f.kind) {
        case Frame::Kind::Object:
          if (f.key && PyUnicode_Check(f.key.get())) {
            const Ref repr(PyUnicode_Type.tp_repr(f.key.get()));
            const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
            if (text == nullptr) {
              PyErr_Clear();
              text = "?";
            }
            path += '[';
            path += text;
            path += ']';
          }
          break;
        case Frame::Kind::Array:
          path += '[' + std::to_string(f.pos - 1) + ']';
          break;
        case Frame::Kind::Set:
          path += "{}";
          break;
      }
    }
    PyErr_SetString(type, (path + ": " + problem).c_str());
    return false;
  }

  const char* name_;
  std::string& out_;
  std::vector<Frame> stack_;
  std::unordered_set<PyObject*> deep_;
};

}  // namespace

bool append_json(PyObject* value, const char* name, std::string& out) {
  if (!import_datetime()) return false;
  return Writer(name, out).run(value);
}

}  // namespace verdane::python
