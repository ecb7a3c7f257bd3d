// The command line of verdane: declaration, parsing and the parsed record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace verdane::driver {

// The project's version, as CMake's project() declares it.
inline constexpr const char* kVersion = VERDANE_VERSION;

struct CompileCommand {
  std::string template_path;       // OS path, raw bytes
  std::optional<std::string> out;  // OS path, raw bytes
};

struct PrintCommand {
  std::string bytecode;
};

// How eval writes a decision: the line report, or one JSON object.
enum class Format { Line, Json };

// The most threads --jobs accepts.
inline constexpr unsigned kMaxJobs = 256;

struct EvalCommand {
  std::string bytecode;
  std::string evidence;  // empty with --batch
  std::optional<std::string> intent;
  std::optional<std::string> check_hash;  // valid UTF-8
  bool explain = false;
  std::optional<std::string> batch;  // the requests file of --batch
  unsigned jobs = 1;                 // 1 to kMaxJobs, only with --batch
  Format format = Format::Line;
};

struct TestCommand {
  std::vector<std::string> tests;  // OS paths, at least one
};

// Run by the separate analyzer executable (driver/handoff.h).
struct AnalyzeCommand {
  std::string bytecode;
  std::optional<std::string> against;   // OS path of the old template
  std::optional<std::string> examples;  // OS path of the witness directory
  std::uint32_t timeout_ms = 10'000;    // per question
  std::uint32_t max_memory_mib = 4096;  // for the solver
};

using CliCommand =
    std::variant<CompileCommand, PrintCommand, EvalCommand, TestCommand, AnalyzeCommand>;

struct Cli {
  CliCommand command;
};

// The parser asked to end the process: help, version or a usage error.
struct CliExit {
  int status = 0;
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// Parses the process arguments (argv[0] is the program name).
// Whether `word`, the first argument, names a command whose command line
// verdane-serve parses (the service and the decision log's tools).
bool handed_to_serve(std::string_view word);

std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv);

}  // namespace verdane::driver
