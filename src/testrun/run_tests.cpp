#include "testrun/run_tests.h"

#include <span>

#include "id_check/id_check.h"
#include "support/byte_span.h"
#include "support/line_text.h"
#include "support/utf8.h"
#include "testrun/test_file.h"
#include "verdane/verdane.h"

namespace verdane::testrun {

namespace {

// A text in double quotes, with quotes and backslashes escaped.
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

std::string index_list(const std::vector<std::size_t>& indices) {
  std::string out = "[";
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(indices[i]);
  }
  return out + "]";
}

// "pass", "failed [0, 2]", "failed [0] and errored [3]", "errored [1]" or
// "input_error \"<text>\"".
std::string describe(const Expectation& e) {
  if (e.input_error) return "input_error " + quoted(*e.input_error);
  if (e.failed.empty() && e.errored.empty()) return "pass";
  std::string out;
  if (!e.failed.empty()) out = "failed " + index_list(e.failed);
  if (!e.errored.empty()) {
    if (!out.empty()) out += " and ";
    out += "errored " + index_list(e.errored);
  }
  return out;
}

Expectation observed(const api::Decision& decision) {
  Expectation e;
  if (decision.input_error) {
    e.input_error = *decision.input_error;
    return e;
  }
  // Outcomes come in template order, so both lists ascend.
  for (const api::Outcome& o : decision.outcomes) {
    (o.kind == api::Outcome::Kind::Failed ? e.failed : e.errored).push_back(o.index);
  }
  return e;
}

// A path named inside a test file, relative to that file's folder unless it
// is absolute.
std::string resolve(const std::string& tests_path, const std::string& path) {
  if (path.front() == '/') return path;
  const std::size_t slash = tests_path.rfind('/');
  if (slash == std::string::npos) return path;
  return tests_path.substr(0, slash + 1) + path;
}

class Runner {
 public:
  Runner(const Files& files, const std::function<void(std::string_view)>& write)
      : files_(files), write_(write) {}

  void run_file(const std::string& path) {
    // Paths and texts from the files may hold anything; each line stays one.
    const std::string file = utf8::to_lossy(path);
    auto text = files_.read_text(path);
    if (!text) return bad_file(file, "failed to read the file: " + text.error());
    auto tests = read_test_file(*text);
    if (!tests) return bad_file(file, tests.error());
    auto tmpl = load_template(path, *tests);
    if (!tmpl) return bad_file(file, tmpl.error());
    if (tests->template_id) {
      auto checked = id_check::check(*tmpl, *tests->template_id, id_check::First::Pinned);
      if (!checked) {
        const id_check::Failure& f = checked.error();
        switch (f.check) {
          case id_check::Failure::Check::Pinned:
            return bad_file(file, "template_id: " + f.error.to_string());
          case id_check::Failure::Check::Computed:
            return bad_file(file, f.error.to_string());
          case id_check::Failure::Check::Match:
            // The template changed under its tests: no case says anything now.
            for (const TestCase& c : tests->cases) {
              fail_line(file, c.name,
                        "template changed: expected template_id " + f.expected.to_string() +
                            ", got " + f.computed.to_string());
            }
            return;
        }
      }
    }
    for (const TestCase& c : tests->cases) run_case(file, *tmpl, c);
  }

  void finish() {
    write_(std::to_string(summary_.passed) + " passed, " + std::to_string(summary_.failed) +
           " failed\n");
  }

  Summary summary() const { return summary_; }

 private:
  Result<api::Template, std::string> load_template(const std::string& tests_path,
                                                   const TestFile& tests) {
    const std::string path = resolve(tests_path, tests.source);
    const std::string shown = utf8::to_lossy(path);
    const char* what = tests.bytecode ? "bytecode" : "template";
    auto data = tests.bytecode ? files_.read_bytes(path) : files_.read_text(path);
    if (!data) {
      return make_err("failed to read " + std::string(what) + " `" + shown + "`: " + data.error());
    }
    auto tmpl = tests.bytecode ? api::decode(as_bytes(*data)) : api::compile(*data);
    if (!tmpl) return make_err(shown + ": " + tmpl.error().to_string());
    return std::move(tmpl).value();
  }

  void run_case(const std::string& file, const api::Template& tmpl, const TestCase& c) {
    auto decision = api::evaluate_json(tmpl, c.intent, c.evidence);
    if (!decision) return fail_line(file, c.name, decision.error().to_string());
    const Expectation got = observed(*decision);
    if (got == c.expect) {
      ++summary_.passed;
      line("ok " + file + ": " + c.name);
      return;
    }
    fail_line(file, c.name, "expected " + describe(c.expect) + ", got " + describe(got));
    // Only a case that failed pays for the explanation.
    auto explained = api::evaluate_json(tmpl, c.intent, c.evidence, api::EvalOptions{true});
    if (explained) indent(explained->report());
  }

  void bad_file(const std::string& file, const std::string& problem) {
    ++summary_.failed;
    line("FAIL " + file + ": " + problem);
  }

  void fail_line(const std::string& file, const std::string& name, const std::string& problem) {
    ++summary_.failed;
    line("FAIL " + file + ": " + name + ": " + problem);
  }

  void line(const std::string& text) { write_(escape_controls(text) + "\n"); }

  // The report exactly as `eval` prints it, each line indented.
  void indent(const std::string& report) {
    std::string out;
    std::size_t start = 0;
    while (start < report.size()) {
      std::size_t end = report.find('\n', start);
      if (end == std::string::npos) end = report.size() - 1;
      out += "    ";
      out.append(report, start, end - start + 1);
      start = end + 1;
    }
    write_(out);
  }

  const Files& files_;
  const std::function<void(std::string_view)>& write_;
  Summary summary_;
};

}  // namespace

Summary run_tests(const std::vector<std::string>& paths, const Files& files,
                  const std::function<void(std::string_view)>& write) {
  Runner runner(files, write);
  for (const std::string& path : paths) runner.run_file(path);
  runner.finish();
  return runner.summary();
}

}  // namespace verdane::testrun
