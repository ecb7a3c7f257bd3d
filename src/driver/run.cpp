#include "driver/run.h"

#include <span>
#include <utility>
#include <vector>

#include "api/valid_utf8_input.h"
#include "driver/batch.h"
#include "id_check/id_check.h"
#include "support/byte_span.h"
#include "testrun/run_tests.h"
#include "verdane/verdane.h"

namespace verdane::driver {

namespace {

Result<int, std::string> flushed(Stdout& out, int status) {
  auto done = out.flush();
  if (!done) return make_err("failed to write stdout: " + done.error());
  return status;
}

// Reads one JSON input and parses it against its schema of `tmpl`; `what` is
// "intent" or "evidence". The text is handed over, so it is freed as soon as
// it has been read.
Result<api::Input, std::string> load_input(const api::Template& tmpl, const std::string& path,
                                           const char* what) {
  auto text = read_input_text(path);
  if (!text) {
    return make_err("failed to read " + std::string(what) + " `" + display_path(path) +
                    "`: " + text.error());
  }
  const bool evidence = std::string_view(what) == "evidence";
  // read_input_text has checked that the text is UTF-8.
  auto input = evidence ? api::parse_valid_utf8_evidence(tmpl, std::move(*text))
                        : api::parse_valid_utf8_intent(tmpl, std::move(*text));
  if (!input) {
    return make_err("failed to parse " + std::string(what) + " JSON: " + input.error().to_string());
  }
  return std::move(input).value();
}

}  // namespace

Result<int, std::string> run_compile(const CompileCommand& args, Stdout& out) {
  auto source = read_source_text(args.template_path);
  if (!source) {
    return make_err("failed to read template `" + display_path(args.template_path) +
                    "`: " + source.error());
  }
  auto tmpl = api::compile(source->view());
  if (!tmpl) return make_err(tmpl.error().to_string());
  auto bytes = api::encode(*tmpl);
  if (!bytes) return make_err(bytes.error().to_string());
  auto digest = api::id(*tmpl);
  if (!digest) return make_err(digest.error().to_string());

  const std::string path = args.out.value_or("out.bin");
  const std::string_view contents(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  auto written = write_file(path, contents);
  if (!written) {
    return make_err("failed to write `" + display_path(path) + "`: " + written.error());
  }
  out.write("policy_template_id=" + digest->to_string() + "\n");
  return flushed(out, 0);
}

Result<int, std::string> run_print(const PrintCommand& args, Stdout& out) {
  auto tmpl = read_template(args.bytecode);
  if (!tmpl) return make_err(std::move(tmpl).error());
  out.write(api::render(*tmpl));
  return flushed(out, 0);
}

Result<int, std::string> run_eval(const EvalCommand& args, Stdout& out, EvalRemains& remains) {
  auto tmpl = read_template(args.bytecode);
  if (!tmpl) return make_err(std::move(tmpl).error());

  // Deciding needs no digest: it is computed only to be compared. A template
  // that could not be encoded is refused either way, before anything else: the
  // check is a cheap walk, kept as a guard should decoder and encoder ever
  // disagree on what they accept.
  if (args.check_hash) {
    auto checked = id_check::check(*tmpl, *args.check_hash, id_check::First::Computed);
    if (!checked) {
      const id_check::Failure& f = checked.error();
      switch (f.check) {
        case id_check::Failure::Check::Computed:
          return make_err(f.error.to_string());
        case id_check::Failure::Check::Pinned:
          return make_err("invalid --check-hash: " + f.error.to_string());
        case id_check::Failure::Check::Match:
          return make_err("bytecode hash mismatch: expected " + f.expected.to_string() + ", got " +
                          f.computed.to_string());
      }
    }
  } else if (auto unencodable = api::check_encodable(*tmpl)) {
    return make_err(unencodable->to_string());
  }

  if (args.batch) {
    return run_batch(*tmpl, *args.batch, args.jobs, api::EvalOptions{args.explain}, out);
  }

  // Both documents are read and parsed before either is checked against the
  // schemas, so a broken file is an error even when the other does not fit.
  Result<api::Input, std::string> intent =
      args.intent ? load_input(*tmpl, *args.intent, "intent")
                  : Result<api::Input, std::string>(*api::parse_intent(*tmpl, "{}"));
  if (!intent) return make_err(std::move(intent).error());
  auto evidence = load_input(*tmpl, args.evidence, "evidence");
  if (!evidence) return make_err(std::move(evidence).error());

  // From here on every outcome is a decision on standard output.
  const api::Decision decision =
      api::evaluate(*tmpl, *intent, *evidence, api::EvalOptions{args.explain});
  out.write(args.format == Format::Json ? decision.to_json() + "\n" : decision.report());
  remains.tmpl.emplace(std::move(*tmpl));
  remains.intent.emplace(std::move(*intent));
  remains.evidence.emplace(std::move(*evidence));
  return flushed(out, decision.pass ? 0 : 1);
}

Result<int, std::string> run_test(const TestCommand& args, Stdout& out) {
  const testrun::Files files{read_file_text, read_file_bytes};
  const testrun::Summary summary =
      testrun::run_tests(args.tests, files, [&out](std::string_view text) { out.write(text); });
  return flushed(out, summary.failed == 0 ? 0 : 1);
}

}  // namespace verdane::driver
