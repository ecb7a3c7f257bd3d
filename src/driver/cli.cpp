#include "driver/cli.h"

#include <array>
#include <vector>

#include "driver/args.h"
#include "support/line_text.h"
#include "support/utf8.h"

namespace verdane::driver {

namespace {

using args::Check;
using args::CommandDecl;
using args::ValueDecl;

constexpr std::array<ValueDecl, 1> kCompileOptions{{
    {"--out", "<OUT>",
     "Output path for canonical bytecode. Defaults to `out.bin` in the current directory", false,
     Check::NonEmpty},
}};

constexpr std::array<ValueDecl, 7> kEvalOptions{{
    {"--evidence", "<EVIDENCE>", "Path to the evidence JSON object", true, Check::NonEmpty,
     args::Values::One, "--batch"},
    {"--intent", "<INTENT>", "Path to the intent JSON object. Defaults to `{}`", false,
     Check::NonEmpty},
    {"--check-hash", "<CHECK_HASH>",
     "Optional base58-encoded id to verify against the computed id of the bytecode", false,
     Check::Utf8},
    {"--explain", "",
     "After each failed or errored constraint, show the values of its sub-expressions", false,
     Check::None, args::Values::None},
    {"--batch", "<REQUESTS>",
     "Decide every request of a JSON Lines file ({\"intent\": ..., \"evidence\": ...} a line) "
     "instead of --intent and --evidence, writing one JSON line each",
     false, Check::NonEmpty},
    {"--jobs", "<N>", "With --batch: decide on N threads (1 to 256), still writing in input order",
     false, Check::None},
    {"--format", "<FORMAT>", "`line` (the default) or `json`: the decision as one JSON object",
     false, Check::None},
}};

constexpr std::array<ValueDecl, 4> kAnalyzeOptions{{
    {"--against", "<OLD_BYTECODE>",
     "Compare with this older version: does the change widen or narrow what passes?", false,
     Check::NonEmpty},
    {"--examples", "<DIR>",
     "Write each witness request as <DIR>/<name>.intent.json and .evidence.json", false,
     Check::NonEmpty},
    {"--timeout", "<SECONDS>", "Time limit of each solver query; unknown beyond it. Defaults to 10",
     false, Check::Seconds},
    {"--max-memory", "<MIB>",
     "Memory the solver may use, in MiB; unknown beyond it. Defaults to 4096", false,
     Check::Mebibytes},
}};

// The index of the option called `name`: options are read by name, and a
// name that is not declared does not compile.
template <std::size_t N>
consteval std::size_t option(const std::array<ValueDecl, N>& options, std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (options[i].name == name) return i;
  }
  throw "undeclared option";
}

enum Command : std::size_t { kCompile, kPrint, kEval, kTest, kAnalyze, kHelp };

const std::array<CommandDecl, 6> kCommands{{
    {"compile", "Compile policy template source into canonical bytecode",
     "verdane compile [OPTIONS] <TEMPLATE>", ValueDecl{"TEMPLATE", "", "", true, Check::NonEmpty},
     kCompileOptions},
    {"print",
     "Load precompiled bytecode and print a readable rendering of the policy template",
     "verdane print <BYTECODE>",
     ValueDecl{"BYTECODE", "", "", true, Check::NonEmpty},
     {}},
    {"eval", "Load precompiled bytecode and evaluate it against JSON inputs",
     "verdane eval [OPTIONS] --evidence <EVIDENCE> <BYTECODE>",
     ValueDecl{"BYTECODE", "", "", true, Check::NonEmpty}, kEvalOptions},
    {"test",
     "Run the cases of test files against their templates",
     "verdane test <TESTS>...",
     ValueDecl{"TESTS", "", "", true, Check::NonEmpty, args::Values::Many},
     {}},
    {"analyze", "Prove with a solver what a template, or a change of it, lets pass",
     "verdane analyze [OPTIONS] <BYTECODE>", ValueDecl{"BYTECODE", "", "", true, Check::NonEmpty},
     kAnalyzeOptions},
    // `help` shows the help of the command it names; with no name, its own.
    {"help",
     "Print this message or the help of the given subcommand(s)",
     "verdane [OPTIONS] <COMMAND>",
     ValueDecl{"COMMAND", "", "", false, Check::None},
     {},
     /*single_help=*/false},
}};

const args::ProgramDecl kProgram{"Compile, inspect, and evaluate policy templates.",
                                 "verdane [OPTIONS] <COMMAND>", kVersion, kCommands};

// The usage line and help hint name the subcommand being parsed; `help` is
// reported as the program itself.
std::string usage_error(const std::string& message, std::optional<std::size_t> command) {
  if (command == kHelp) command.reset();
  const std::string usage(command ? kCommands[*command].usage : kProgram.usage);
  const std::string hint = command ? std::string(kCommands[*command].name) + " --help" : "--help";
  return "error: " + escape_line_breaks(utf8::to_lossy(message)) + "\n\nUsage: " + usage +
         "\n\nFor more information, try 'verdane " + hint + "'.\n";
}

CliExit help_of(std::optional<std::size_t> command, int status = 0) {
  std::string text = args::help_text(kProgram, command);
  if (status == 0) return CliExit{0, std::move(text), ""};
  return CliExit{status, "", std::move(text)};
}

// The number of --jobs: a whole decimal number from 1 to kMaxJobs.
std::optional<unsigned> job_count(const std::string& text) {
  if (text.empty() || text.size() > 3) return std::nullopt;
  unsigned n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  if (n < 1 || n > kMaxJobs) return std::nullopt;
  return n;
}

// The eval command from its parsed options, after the checks between them.
std::variant<Cli, CliExit> eval_command(std::string bytecode,
                                        std::vector<std::optional<std::string>>& options) {
  const auto fail = [](const std::string& message) {
    return CliExit{2, "", usage_error(message, kEval)};
  };
  std::optional<std::string>& evidence = options[option(kEvalOptions, "--evidence")];
  const std::optional<std::string>& jobs = options[option(kEvalOptions, "--jobs")];
  const std::optional<std::string>& format = options[option(kEvalOptions, "--format")];
  EvalCommand command;
  command.bytecode = std::move(bytecode);
  if (evidence) command.evidence = std::move(*evidence);  // still engaged, for the checks below
  command.intent = std::move(options[option(kEvalOptions, "--intent")]);
  command.check_hash = std::move(options[option(kEvalOptions, "--check-hash")]);
  command.explain = options[option(kEvalOptions, "--explain")].has_value();
  command.batch = std::move(options[option(kEvalOptions, "--batch")]);
  if (command.batch && evidence) return fail("--batch cannot be used with --evidence");
  if (command.batch && command.intent) return fail("--batch cannot be used with --intent");
  if (jobs) {
    const auto count = job_count(*jobs);
    if (!count) {
      return fail("--jobs: `" + utf8::to_lossy(*jobs) + "` is not a whole number from 1 to " +
                  std::to_string(kMaxJobs));
    }
    if (!command.batch) return fail("--jobs can only be used with --batch");
    command.jobs = *count;
  }
  if (format) {
    if (*format == "json") {
      command.format = Format::Json;
    } else if (*format != "line") {
      return fail("--format: `" + utf8::to_lossy(*format) + "` is not `line` or `json`");
    }
    if (command.batch && command.format == Format::Line) {
      return fail("--batch writes JSON lines; --format line cannot be used with it");
    }
  }
  if (command.batch) command.format = Format::Json;
  return Cli{std::move(command)};
}

}  // namespace

bool handed_to_serve(std::string_view word) { return word == "serve" || word == "log"; }

std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv) {
  if (argc <= 1) return help_of(std::nullopt, 2);
  // The program takes no positionals, so a leading word must name a
  // subcommand, and a leading dash can only ask for help or the version.
  const std::string_view first = argv[1];
  bool is_command = false;
  for (const CommandDecl& command : kCommands) is_command = is_command || command.name == first;
  if (!first.empty() && first[0] != '-' && !is_command) {
    return CliExit{2, "",
                   usage_error("unrecognized subcommand '" + utf8::to_lossy(first) + "'", {})};
  }
  if (!first.empty() && first[0] == '-' && first != "-h" && first != "--help" && first != "-V" &&
      first != "--version") {
    return CliExit{2, "", usage_error("unexpected argument '" + utf8::to_lossy(first) + "'", {})};
  }

  args::Outcome outcome = args::parse(kProgram, argc, argv);
  if (auto* help = std::get_if<args::ShowHelp>(&outcome)) {
    // Help asked for around `help` is the help of `help` once it is the
    // chosen subcommand, else the program's.
    return help_of(help->command == kHelp ? help->selected : help->command);
  }
  if (std::holds_alternative<args::ShowVersion>(outcome)) {
    return CliExit{0, std::string("verdane ") + kVersion + "\n", ""};
  }
  if (auto* error = std::get_if<args::UsageError>(&outcome)) {
    return CliExit{2, "", usage_error(error->message, error->command)};
  }
  auto& parsed = std::get<args::Parsed>(outcome);
  std::string positional = parsed.positional.value_or("");
  switch (parsed.command) {
    case kCompile:
      return Cli{CompileCommand{std::move(positional),
                                std::move(parsed.options[option(kCompileOptions, "--out")])}};
    case kPrint:
      return Cli{PrintCommand{std::move(positional)}};
    case kEval:
      return eval_command(std::move(positional), parsed.options);
    case kTest:
      return Cli{TestCommand{std::move(parsed.positionals)}};
    case kAnalyze: {
      auto& values = parsed.options;
      AnalyzeCommand analyze{std::move(positional),
                             std::move(values[option(kAnalyzeOptions, "--against")]),
                             std::move(values[option(kAnalyzeOptions, "--examples")])};
      if (const auto& timeout = values[option(kAnalyzeOptions, "--timeout")]) {
        analyze.timeout_ms = *args::parse_seconds(*timeout);
      }
      if (const auto& memory = values[option(kAnalyzeOptions, "--max-memory")]) {
        analyze.max_memory_mib = *args::parse_mebibytes(*memory);
      }
      return Cli{std::move(analyze)};
    }
    default:
      break;
  }
  // `help [COMMAND]`; `help` alone is the program's help.
  if (positional.empty()) return help_of(std::nullopt);
  for (std::size_t c = 0; c < kCommands.size(); ++c) {
    if (c != kHelp && kCommands[c].name == positional) return help_of(c);
  }
  return CliExit{2, "", usage_error("unrecognized subcommand '" + positional + "'", {})};
}

}  // namespace verdane::driver
