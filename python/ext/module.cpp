// The extension module verdane._verdane: the public C++ API as Python
// functions and classes. The GIL is released around every call into verdane
// that can take time (compiling, decoding, encoding, rendering, deciding);
// the Python objects the calls read are held, and not changed, meanwhile.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "decide.h"
#include "document.h"
#include "verdane/verdane.h"

namespace py = pybind11;

namespace verdane::python {
namespace {

// Requests converted and decided at a time by evaluate_many, per job, and at
// most: bounds the converted texts held at once and lets Ctrl-C through
// between chunks.
constexpr std::size_t kChunkPerJob = 1024;
constexpr std::size_t kMaxChunk = 65536;
// More threads than this cannot help on any machine verdane runs on.
constexpr long long kMaxJobs = 1024;

// The exception classes of verdane._errors, looked up once at import. The
// references are kept for the life of the process.
struct ErrorTypes {
  PyObject* compile = nullptr;
  PyObject* bytecode = nullptr;
  PyObject* id = nullptr;
  PyObject* json = nullptr;
};
ErrorTypes error_types;

PyObject* error_type(api::Error::Kind kind) {
  switch (kind) {
    case api::Error::Kind::Compile:
      return error_types.compile;
    case api::Error::Kind::Bytecode:
      return error_types.bytecode;
    case api::Error::Kind::Id:
      return error_types.id;
    case api::Error::Kind::Json:
    case api::Error::Kind::Request:  // a request text that is JSON but not a request
      break;
  }
  return error_types.json;
}

// Adds a PEP 678 note to the pending exception, where Python has them.
void add_note(const std::string& note) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && PyObject_HasAttrString(value, "add_note")) {
    PyObject* done = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (done == nullptr) PyErr_Clear();
    Py_XDECREF(done);
  }
  PyErr_Restore(type, value, traceback);
}

// Sets the pending exception for `error`, with its message, line and column.
void set_error(const api::Error& error) {
  PyObject* type = error_type(error.kind);
  const py::object exc =
      py::reinterpret_borrow<py::object>(type)(error.message, error.line, error.column);
  PyErr_SetObject(type, exc.ptr());
}

[[noreturn]] void raise(const api::Error& error) {
  set_error(error);
  throw py::error_already_set();
}

template <typename T>
T take(api::Expected<T>&& result) {
  if (!result) raise(result.error());
  return std::move(result).value();
}

// A compiled template as Python holds it: immutable, shared by every thread.
// Its id is computed once, on first use.
class TemplateHandle {
 public:
  explicit TemplateHandle(api::Template tmpl) : tmpl_(std::move(tmpl)) {}

  const api::Template& get() const { return tmpl_; }

  // Call without the GIL: the first call encodes and hashes the template.
  const api::Expected<api::TemplateId>& id() const {
    std::call_once(id_once_, [this] { id_.emplace(api::id(tmpl_)); });
    return *id_;
  }

 private:
  api::Template tmpl_;
  mutable std::once_flag id_once_;
  mutable std::optional<api::Expected<api::TemplateId>> id_;
};

using TemplatePtr = std::shared_ptr<TemplateHandle>;

std::string id_text(const TemplateHandle& t) {
  const api::Expected<api::TemplateId>* id = nullptr;
  {
    const py::gil_scoped_release unlocked;
    id = &t.id();
  }
  if (!*id) raise(id->error());
  return (*id)->to_string();
}

py::bytes bytecode(const TemplateHandle& t) {
  std::optional<api::Expected<std::vector<std::uint8_t>>> bytes;
  {
    const py::gil_scoped_release unlocked;
    bytes.emplace(api::encode(t.get()));
  }
  const std::vector<std::uint8_t> data = take(std::move(*bytes));
  return py::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

TemplatePtr compile(py::handle source) {
  Document text;
  if (PyUnicode_Check(source.ptr())) {
    if (!utf8_of(source.ptr(), text.keep, text.borrowed)) throw py::error_already_set();
  } else if (!bytes_like(source.ptr(), text)) {
    throw py::type_error(std::string("source must be str or bytes, not ") +
                         Py_TYPE(source.ptr())->tp_name);
  }
  std::optional<api::Expected<api::Template>> tmpl;
  {
    const py::gil_scoped_release unlocked;
    tmpl.emplace(api::compile(text.view()));
  }
  return std::make_shared<TemplateHandle>(take(std::move(*tmpl)));
}

TemplatePtr decode(py::handle data) {
  Document bytes;
  if (!bytes_like(data.ptr(), bytes)) {
    throw py::type_error(std::string("data must be bytes-like, not ") +
                         Py_TYPE(data.ptr())->tp_name);
  }
  const std::string_view view = bytes.view();
  std::optional<api::Expected<api::Template>> tmpl;
  {
    const py::gil_scoped_release unlocked;
    tmpl.emplace(api::decode({reinterpret_cast<const std::uint8_t*>(view.data()), view.size()}));
  }
  return std::make_shared<TemplateHandle>(take(std::move(*tmpl)));
}

py::bytes parse_id(py::handle text) {
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string("text must be str, not ") + Py_TYPE(text.ptr())->tp_name);
  }
  Ref keep;
  std::string_view view;
  if (!utf8_of(text.ptr(), keep, view)) throw py::error_already_set();
  const api::TemplateId id = take(api::parse_id(view));
  return py::bytes(reinterpret_cast<const char*>(id.digest.data()), id.digest.size());
}

struct RequestDocuments {
  Document intent;
  Document evidence;
};

void read_request(py::handle intent, py::handle evidence, RequestDocuments& docs) {
  if (!read_document(intent.ptr(), "intent", docs.intent) ||
      !read_document(evidence.ptr(), "evidence", docs.evidence)) {
    throw py::error_already_set();
  }
}

api::Decision evaluate(const TemplateHandle& t, py::handle intent, py::handle evidence,
                       bool explain) {
  RequestDocuments docs;
  read_request(intent, evidence, docs);
  std::optional<api::Expected<api::Decision>> decision;
  {
    const py::gil_scoped_release unlocked;
    decision.emplace(decide(t.get(), Request{docs.intent.view(), docs.evidence.view()},
                            api::EvalOptions{explain}));
  }
  return take(std::move(*decision));
}

// One element of evaluate_many's iterable: a pair, as a tuple or a list.
void read_pair(py::handle item, std::size_t index, RequestDocuments& docs) {
  const bool pair = (PyTuple_Check(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) ||
                    (PyList_Check(item.ptr()) && PyList_GET_SIZE(item.ptr()) == 2);
  if (!pair) {
    throw py::type_error("requests[" + std::to_string(index) +
                         "] must be an (intent, evidence) pair, not " +
                         Py_TYPE(item.ptr())->tp_name);
  }
  const py::sequence seq = py::reinterpret_borrow<py::sequence>(item);
  read_request(seq[0], seq[1], docs);
}

py::list evaluate_many(const TemplateHandle& t, py::handle requests, long long jobs, bool explain) {
  if (jobs < 1 || jobs > kMaxJobs) {
    throw py::value_error("jobs must be from 1 to " + std::to_string(kMaxJobs) + ", not " +
                          std::to_string(jobs));
  }
  const std::size_t chunk = std::min(kChunkPerJob * static_cast<std::size_t>(jobs), kMaxChunk);
  py::list decisions;
  std::vector<RequestDocuments> docs;
  std::vector<Request> batch;
  std::size_t index = 0;
  py::iterator it = py::iter(requests);
  while (it != py::iterator::sentinel()) {
    docs.clear();
    for (; it != py::iterator::sentinel() && docs.size() < chunk; ++it) {
      docs.emplace_back();
      try {
        read_pair(*it, index + docs.size() - 1, docs.back());
      } catch (py::error_already_set& e) {
        e.restore();
        add_note("in request " + std::to_string(index + docs.size() - 1) + " of evaluate_many");
        throw py::error_already_set();
      }
    }
    batch.clear();
    for (const RequestDocuments& d : docs) batch.push_back({d.intent.view(), d.evidence.view()});

    std::vector<std::optional<api::Expected<api::Decision>>> results;
    {
      const py::gil_scoped_release unlocked;
      results =
          decide_all(t.get(), batch, api::EvalOptions{explain}, static_cast<std::size_t>(jobs));
    }
    for (auto& result : results) {
      if (!*result) {
        set_error(result->error());
        add_note("in request " + std::to_string(index) + " of evaluate_many");
        throw py::error_already_set();
      }
      decisions.append(py::cast(std::move(**result)));
      ++index;
    }
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  }
  return decisions;
}

std::string outcome_kind(const api::Outcome& o) {
  return o.kind == api::Outcome::Kind::Failed ? "failed" : "errored";
}

std::string repr_of(const std::string& text) { return py::repr(py::str(text)); }

// The (expression, value) pairs as a list of tuples.
py::list explanation(const api::Outcome& o) {
  py::list pairs;
  for (const auto& [expression, value] : o.explanation)
    pairs.append(py::make_tuple(expression, value));
  return pairs;
}

std::string outcome_repr(const api::Outcome& o) {
  std::string out = "Outcome(index=" + std::to_string(o.index) + ", kind='" + outcome_kind(o) +
                    "', expression=" + repr_of(o.expression) + ", reason=" + repr_of(o.reason);
  if (!o.explanation.empty()) out += ", explanation=" + std::string(py::repr(explanation(o)));
  return out + ")";
}

std::string decision_repr(const api::Decision& d) {
  if (d.pass) return "Decision(passed=True)";
  if (d.input_error) return "Decision(passed=False, input_error=" + repr_of(*d.input_error) + ")";
  std::string out = "Decision(passed=False, outcomes=[";
  for (std::size_t i = 0; i < d.outcomes.size(); ++i) {
    if (i > 0) out += ", ";
    out += outcome_repr(d.outcomes[i]);
  }
  return out + "])";
}

// Decisions and outcomes pickle as tuples of their parts, so that they can
// travel between processes.
py::tuple outcome_state(const api::Outcome& o) {
  return py::make_tuple(outcome_kind(o), o.index, o.expression, o.reason, explanation(o));
}

api::Outcome outcome_from_state(const py::tuple& state) {
  const auto kind = state[0].cast<std::string>();
  if (kind != "failed" && kind != "errored") throw py::value_error("not an Outcome kind: " + kind);
  return api::Outcome{kind == "failed" ? api::Outcome::Kind::Failed : api::Outcome::Kind::Errored,
                      state[1].cast<std::size_t>(), state[2].cast<std::string>(),
                      state[3].cast<std::string>(),
                      state[4].cast<std::vector<std::pair<std::string, std::string>>>()};
}

py::tuple decision_state(const api::Decision& d) {
  py::list outcomes;
  for (const api::Outcome& o : d.outcomes) outcomes.append(outcome_state(o));
  return py::make_tuple(d.pass, d.input_error, outcomes);
}

api::Decision decision_from_state(const py::tuple& state) {
  api::Decision d;
  d.pass = state[0].cast<bool>();
  d.input_error = state[1].cast<std::optional<std::string>>();
  for (const py::handle o : state[2]) d.outcomes.push_back(outcome_from_state(o.cast<py::tuple>()));
  return d;
}

void set_public_module(py::handle cls) { cls.attr("__module__") = "verdane"; }

// Outcome and Decision are plain values: a readable repr, equality of all
// their parts, pickling as a tuple of them, shown as members of verdane.
template <typename T>
void as_value(py::class_<T>& cls, std::string (*repr)(const T&), py::tuple (*state)(const T&),
              T (*from_state)(const py::tuple&)) {
  cls.def("__repr__", repr)
      .def(
          "__eq__", [](const T& a, const T& b) { return a == b; }, py::is_operator())
      .def(py::pickle(state, from_state));
  set_public_module(cls);
}

}  // namespace
}  // namespace verdane::python

PYBIND11_MODULE(_verdane, m) {
  using namespace verdane::python;
  namespace api = verdane::api;

  m.doc() = "The native part of the verdane package; import verdane instead.";
  // Each docstring starts with its signature as the Python user writes it.
  py::options options;
  options.disable_function_signatures();
  m.attr("__version__") = VERDANE_VERSION;

  const py::module_ errors = py::module_::import("verdane._errors");
  const auto keep_type = [&errors](const char* name) {
    return py::object(errors.attr(name)).inc_ref().ptr();  // kept for the life of the process
  };
  error_types.compile = keep_type("CompileError");
  error_types.bytecode = keep_type("BytecodeError");
  error_types.id = keep_type("IdError");
  error_types.json = keep_type("JsonError");

  py::class_<api::Outcome> outcome(m, "Outcome", R"doc(A constraint that did not pass.

Attributes:
    index: its position in the template's requires block, from 0.
    kind: "failed" (it evaluated to False) or "errored" (evaluating it
        raised an error, such as an integer overflow).
    expression: its expression, fully parenthesised on one line.
    reason: "constraint evaluated to False", or the error's text.
    explanation: with evaluate(..., explain=True), what evaluating it
        computed, as (expression, value) tuples in evaluation order, e.g.
        ("(intent.amount + evidence.fee)",
                                   "1105"),
      values written as the template language writes literals; else empty.
)doc");
  outcome.def_readonly("index", &api::Outcome::index)
      .def_property_readonly("kind", &outcome_kind)
      .def_readonly("expression", &api::Outcome::expression)
      .def_readonly("reason", &api::Outcome::reason)
      .def_property_readonly("explanation", &explanation);
  as_value(outcome, &outcome_repr, &outcome_state, &outcome_from_state);

  py::class_<api::Decision> decision(m, "Decision", R"(The answer for one request.

True when the request passed: ``if template.evaluate(intent, evidence): ...``.

Decisions compare equal when all their parts do, and pickle.

Attributes:
    passed: whether every constraint held.
    input_error: why the documents do not fit the template's schemas (then
        no constraint was evaluated), e.g. "intent: field `amount`: expected
        JSON integer"; else None.
    outcomes: the failed and errored constraints (Outcome), in template
        order; empty when passed or when input_error is set.
)");
  decision.def_property_readonly("passed", [](const api::Decision& d) { return d.pass; })
      .def_readonly("input_error", &api::Decision::input_error)
      .def_property_readonly("outcomes",
                             [](const api::Decision& d) {
                               py::list list;
                               for (const api::Outcome& o : d.outcomes) list.append(py::cast(o));
                               return list;
                             })
      .def("report", &api::Decision::report,
           R"doc(report() -> str

The report `verdane eval` prints for this decision.

"decision=pass\n", or "decision=fail\n" followed by an "input validation
error: ..." line or by one "constraint[<index>] failed: <expression>
(<reason>)" line ("error:" for errored constraints) per outcome, every line
ending in a line feed. Control characters that come from the inputs are shown
escaped, so each line stays one line.)doc")
      .def("to_json", &api::Decision::to_json,
           R"doc(to_json() -> str

The decision as the one JSON object `verdane eval --format json` prints,
without a line feed: {"decision":"pass"}, {"decision":"fail","input_error":
"..."} or {"decision":"fail","outcomes":[{"index":0,"outcome":"failed",
"expression":"...","reason":"..."}, ...]}, with an "explanation" member per
outcome when explaining was asked for.)doc")
      .def("__bool__", [](const api::Decision& d) { return d.pass; });
  as_value(decision, &decision_repr, &decision_state, &decision_from_state);

  py::class_<TemplateHandle, TemplatePtr> tmpl(m, "Template", R"(A compiled policy template.

Made by verdane.compile or verdane.decode; immutable, so one Template can be
shared by any number of threads. Templates are equal when their ids are, and
pickle as their bytecode.
)");
  tmpl.def_property_readonly(
          "name", [](const TemplateHandle& t) { return t.get().name(); },
          "The template's name, as written after `name` in its source.")
      .def_property_readonly("id", &id_text,
                             "The template's id: the base58 text of the SHA-256 digest of its "
                             "bytecode, as `verdane compile` prints it.")
      .def_property_readonly("bytecode", &bytecode,
                             "The canonical bytecode (bytes), as `verdane compile` writes it.")
      .def(
          "render",
          [](const TemplateHandle& t) {
            const py::gil_scoped_release unlocked;
            return api::render(t.get());
          },
          "render() -> str\n\nThe template as source text, as `verdane print` writes it.")
      .def("evaluate", &evaluate, py::arg("intent"), py::arg("evidence"), py::kw_only(),
           py::arg("explain") = false,
           R"(evaluate(intent, evidence, *, explain=False) -> Decision

Decides one request, as `verdane eval` does.

intent and evidence are each a dict (as json.load gives it) or JSON text
(str, or UTF-8 bytes). A dict is decided exactly as `verdane eval` decides the
JSON document it stands for: lists, tuples, sets and frozensets are arrays,
datetime.date values are "YYYY-MM-DD" strings, bool is never an int, and ints
of any size are written as their digits for verdane to judge.

Documents that do not fit the template's schemas give a failing Decision with
input_error set. Raises JsonError for text that is not JSON, TypeError for a
value JSON cannot hold (a non-str key, an object of another type) and
ValueError for NaN, infinities, lone surrogates and values that contain
themselves. The GIL is released while deciding.

With explain=True, every failed and errored Outcome carries its explanation,
the values its sub-expressions took, and report() shows them as
`verdane eval --explain` does; without it, deciding does no extra work.)")
      .def("evaluate_many", &evaluate_many, py::arg("requests"), py::arg("jobs") = 1, py::kw_only(),
           py::arg("explain") = false,
           R"(evaluate_many(requests, jobs=1, *, explain=False) -> list[Decision]

Decides every (intent, evidence) pair of an iterable, as evaluate does.

Returns the decisions as a list, in the order of the requests. With jobs=N
the decisions are made on N threads, without the GIL. The first request that
raises (in request order) ends the call; its exception carries a note naming
the request's position.)")
      .def("__repr__",
           [](const TemplateHandle& t) {
             return "<verdane.Template " + repr_of(t.get().name()) + " " + id_text(t) + ">";
           })
      .def(
          "__eq__",
          [](const TemplateHandle& a, const TemplateHandle& b) { return id_text(a) == id_text(b); },
          py::is_operator())
      .def("__hash__", [](const TemplateHandle& t) { return py::hash(py::str(id_text(t))); })
      .def(py::pickle([](const TemplateHandle& t) { return bytecode(t); },
                      [](const py::bytes& data) { return decode(data); }));
  set_public_module(tmpl);

  m.def("compile", &compile, py::arg("source"), R"(compile(source) -> Template

Compiles template source text into a Template.

source is a str, or UTF-8 bytes. Raises CompileError with the position of the
first problem; str(error) is the line `verdane compile` prints, e.g. "error at
3:12: undeclared field `amount`". The GIL is released while compiling.)");
  m.def("decode", &decode, py::arg("data"), R"(decode(data) -> Template

Reads a Template from its bytecode (bytes-like).

Raises BytecodeError for data that is not exactly one template's bytecode.
The GIL is released while decoding.)");
  m.def("parse_id", &parse_id, py::arg("text"),
        R"(parse_id(text) -> bytes

The 32-byte digest that a template id's base58 text stands for.

Raises IdError for text that is not an id, with the message
`verdane eval --check-hash` shows.)");
}
