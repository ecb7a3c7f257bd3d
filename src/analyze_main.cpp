// verdane-analyze: the `analyze` subcommand, in an executable of its own so
// that only it loads the solver library. `verdane analyze` hands over to it
// with the same command line (driver/handoff.h).
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <span>
#include <string_view>
#include <variant>

#include "analysis/analyze.h"
#include "driver/cli.h"
#include "driver/io.h"
#include "korvel_serializers/bytes.h"
#include "support/byte_span.h"
#include "support/line_text.h"
#include "support/write_all.h"
#include "verdane/verdane.h"

namespace {

using namespace verdane;
using verdane::driver::display_path;

struct Loaded {
  types::PolicyTemplate model;
  api::Template tmpl;
};

Result<Loaded, std::string> load(const std::string& path) {
  auto data = driver::read_bytecode(path);
  if (!data) return make_err(std::move(data).error());
  const std::span<const std::uint8_t> bytes = as_bytes(*data);
  auto tmpl = api::decode(bytes);
  if (!tmpl) return make_err(tmpl.error().to_string());
  auto model = korvel::serializers::BytesSerializer{}.deserialize(bytes);
  if (!model) return make_err("error at 0:0: bytecode: " + model.error().to_string());
  return Loaded{std::move(model).value(), std::move(tmpl).value()};
}

// mkdir -p.
Status<std::string> make_directories(const std::string& dir) {
  for (std::size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
    const std::string part = dir.substr(0, end);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      return make_err("failed to create the examples directory `" + display_path(dir) +
                      "`: " + driver::os_error_text(errno));
    }
    if (end == std::string::npos) break;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return make_err("failed to create the examples directory `" + display_path(dir) +
                    "`: " + driver::os_error_text(ENOTDIR));
  }
  return ok_status<std::string>();
}

// The solver's memory: as asked, and under an address-space limit at most
// half of it, so that the library gives up before the system refuses
// memory to anything else (the program, its stacks, the evaluator).
std::uint32_t memory_budget_mib(std::uint32_t asked) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return asked;
  const auto half = static_cast<std::uint64_t>(limit.rlim_cur / 2 / (1024 * 1024));
  return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(half, 1, asked));
}

Result<int, std::string> run(const driver::AnalyzeCommand& args, driver::Stdout& out) {
  auto next = load(args.bytecode);
  if (!next) return make_err(std::move(next).error());
  std::optional<Loaded> old;
  if (args.against) {
    auto loaded = load(*args.against);
    if (!loaded) return make_err(std::move(loaded).error());
    old = std::move(loaded).value();
  }
  if (args.examples) {
    if (auto made = make_directories(*args.examples); !made) return make_err(made.error());
  }

  bool differ = false;
  const analysis::Emit emit = [&](const analysis::Finding& f) -> Status<std::string> {
    if (f.witness && args.examples) {
      const std::string base = *args.examples + "/" + f.witness->name;
      for (const auto& [suffix, text] :
           {std::pair{".intent.json", &f.witness->request.intent_json},
            std::pair{".evidence.json", &f.witness->request.evidence_json}}) {
        if (auto written = driver::write_file(base + suffix, *text); !written) {
          return make_err("failed to write `" + display_path(base + suffix) +
                          "`: " + written.error());
        }
      }
    }
    if (f.verdict != analysis::Verdict::No) differ = true;
    out.write(f.line() + "\n");
    if (auto flushed = out.flush(); !flushed) {
      return make_err("failed to write stdout: " + flushed.error());
    }
    return ok_status<std::string>();
  };

  const analysis::Options options{args.timeout_ms, nullptr, memory_budget_mib(args.max_memory_mib)};
  const analysis::Target target{&next->model, &next->tmpl, display_path(args.bytecode)};
  if (!old) {
    auto done = analysis::analyze_template(target, options, emit);
    if (!done) return make_err(std::move(done).error());
    return 0;
  }
  const analysis::Target before{&old->model, &old->tmpl, display_path(*args.against)};
  auto done = analysis::analyze_change(target, before, options, emit);
  if (!done) return make_err(std::move(done).error());
  // Equivalent only when both questions are answered no.
  return differ ? 1 : 0;
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds only: the solver library does not free what it had
// allocated when it runs out of memory mid-question. That memory is the
// library's, and the process ends right after the answers.
extern "C" const char* __lsan_default_suppressions() { return "leak:libz3.so\n"; }
extern "C" const char* __lsan_default_options() { return "print_suppressions=0"; }
#endif

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  auto parsed = driver::parse_cli(argc, argv);
  if (auto* exit = std::get_if<driver::CliExit>(&parsed)) {
    verdane::write_or_drop(STDOUT_FILENO, exit->out);
    verdane::write_or_drop(STDERR_FILENO, exit->err);
    return exit->status;
  }
  const auto* args = std::get_if<driver::AnalyzeCommand>(&std::get<driver::Cli>(parsed).command);
  if (!args) {
    verdane::write_or_drop(STDERR_FILENO,
                           "verdane-analyze runs only `analyze`; use verdane for the others\n");
    return 2;
  }
  driver::Stdout out;
  const auto result = run(*args, out);
  if (!result) {
    verdane::write_or_drop(STDERR_FILENO, escape_line_breaks(result.error()) + "\n");
    return 1;
  }
  return *result;
}
