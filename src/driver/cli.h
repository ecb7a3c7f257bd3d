// The command line of verdane: declaration, parsing and the parsed record.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace verdane::driver {

inline constexpr const char* kVersion = "0.4.1";

struct CompileCommand {
  std::string template_path;       // OS path, raw bytes
  std::optional<std::string> out;  // OS path, raw bytes
};

struct PrintCommand {
  std::string bytecode;
};

struct EvalCommand {
  std::string bytecode;
  std::string evidence;
  std::optional<std::string> intent;
  std::optional<std::string> check_hash;  // valid UTF-8
  bool explain = false;
};

struct TestCommand {
  std::vector<std::string> tests;  // OS paths, at least one
};

using CliCommand = std::variant<CompileCommand, PrintCommand, EvalCommand, TestCommand>;

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
std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv);

}  // namespace verdane::driver
