// verdane: compile, inspect, and evaluate policy templates.
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string_view>
#include <variant>

#include "driver/cli.h"
#include "driver/handoff.h"
#include "driver/io.h"
#include "driver/run.h"
#include "replay/replay.h"
#include "support/line_text.h"
#include "support/write_all.h"

int main(int argc, char** argv) {
  // A closed pipe must surface as a write error, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);

  using namespace verdane::driver;
  // The service has a command line of its own, parsed by verdane-serve.
  // So does `log` (the decision log's tools), which verdane-serve holds.
  if (argc > 1 && handed_to_serve(argv[1])) {
    const auto failed = run_serve(argc, argv);
    verdane::write_or_drop(STDERR_FILENO, verdane::escape_line_breaks(failed.error()) + "\n");
    return 1;
  }
  // `replay` parses its own command line too, and runs here.
  if (argc > 1 && std::string_view(argv[1]) == "replay") {
    std::string out;
    const int status = verdane::replay::replay_command(argc, argv, out, [](std::string_view line) {
      verdane::write_or_drop(STDERR_FILENO, line);
    });
    Stdout stdout_;
    stdout_.write(out);
    if (auto flushed = stdout_.flush(); !flushed) {
      verdane::write_or_drop(STDERR_FILENO, "failed to write stdout: " + flushed.error() + "\n");
      return 1;
    }
    return status;
  }
  auto parsed = parse_cli(argc, argv);
  if (auto* exit = std::get_if<CliExit>(&parsed)) {
    verdane::write_or_drop(STDOUT_FILENO, exit->out);
    verdane::write_or_drop(STDERR_FILENO, exit->err);
    return exit->status;
  }
  const Cli& cli = std::get<Cli>(parsed);

  Stdout out;
  // Outlives the visit: what eval decided with is dropped by std::exit below.
  EvalRemains remains;
  const auto result = std::visit(
      [&out, &remains](const auto& command) -> verdane::Result<int, std::string> {
        using C = std::decay_t<decltype(command)>;
        if constexpr (std::is_same_v<C, CompileCommand>) {
          return run_compile(command, out);
        } else if constexpr (std::is_same_v<C, PrintCommand>) {
          return run_print(command, out);
        } else if constexpr (std::is_same_v<C, EvalCommand>) {
          return run_eval(command, out, remains);
        } else if constexpr (std::is_same_v<C, TestCommand>) {
          return run_test(command, out);
        } else {
          return run_analyze(command);
        }
      },
      cli.command);
  if (!result) {
    // One error, one line: a path or decoded string holding a line feed or a
    // carriage return shows it as \n or \r.
    verdane::write_or_drop(STDERR_FILENO, verdane::escape_line_breaks(result.error()) + "\n");
    return 1;
  }
  // Ends the process without running the destructors of main's locals: the
  // output is flushed, and what is left is memory the process gives back
  // whole.
  std::exit(*result);
}
