// A small declarative command-line parser: a program with a help flag, a
// version flag and subcommands; each subcommand has a help flag, at most one
// positional (taking one value, or every value given) and long options that
// take exactly one value or none (flags).
//
// It exists because start-up time matters for a tool that runs once per
// request: it allocates little, initialises no streams or locales and builds
// nothing before it parses. Its rules, in short:
//   - `--name=value` and `--name value` give an option its value; `--name=`
//     takes the next argument instead, and the argument after an option is
//     its value whatever it looks like;
//   - `-hV` is `-h -V`; `--` makes every later argument of that command a
//     positional;
//   - problems are reported in a fixed order: a missing option value at once;
//     then value checks and repeated options (in declaration order), help and
//     version requests, missing subcommand or required values, and last any
//     unexpected arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace verdane::driver::args {

// What a value must satisfy; the message is what a failing value reports.
enum class Check : unsigned char { None, NonEmpty, Utf8, Seconds, Mebibytes };

// A positive number of seconds ("10", "0.5"; at most 1000000) in whole
// milliseconds, rounded up; nullopt for any other text. Check::Seconds accepts
// exactly the texts this reads.
std::optional<std::uint32_t> parse_seconds(std::string_view text);

// A whole number of mebibytes from 64 to 1048576 (1 TiB); nullopt for any
// other text. Check::Mebibytes accepts exactly the texts this reads.
std::optional<std::uint32_t> parse_mebibytes(std::string_view text);

// How many values an argument takes: one; none (an option that is a flag,
// given at most once; `--flag=<v>` reads v as true or false like
// `--version=<v>`); or, for a positional, every value given.
enum class Values : unsigned char { One, None, Many };

struct ValueDecl {
  std::string_view name;        // "TEMPLATE" for a positional, "--out" for an option
  std::string_view value_name;  // "<OUT>" for an option, empty for a positional or flag
  std::string_view help;        // empty: none
  bool required = false;
  Check check = Check::None;
  Values values = Values::One;
  // For a required option: another option of the command whose presence
  // makes this one optional ("--batch" for eval's --evidence).
  std::string_view unless = {};
};

struct CommandDecl {
  std::string_view name;
  std::string_view description;
  std::string_view usage;               // "verdane compile [OPTIONS] <TEMPLATE>"
  std::optional<ValueDecl> positional;  // at most one, taking one value
  std::span<const ValueDecl> options;   // each takes one value, given at most once
  bool single_help = true;              // whether a repeated -h is a usage error
};

struct ProgramDecl {
  std::string_view description;
  std::string_view usage;
  std::string_view version;  // printed for -V/--version
  std::span<const CommandDecl> commands;
};

// A complete, valid command line.
struct Parsed {
  std::size_t command = 0;
  std::optional<std::string> positional;  // the first positional value
  // Every positional value, in order, for a positional that takes many.
  std::vector<std::string> positionals;
  // By index in the declaration; a flag that is set holds "true".
  std::vector<std::optional<std::string>> options;
};
// Help was asked for, while parsing `command` (the first subcommand entered)
// or the program itself when nullopt; `selected` is the subcommand chosen, if
// any (after `--` a subcommand name is entered without being chosen).
struct ShowHelp {
  std::optional<std::size_t> command;
  std::optional<std::size_t> selected;
};
struct ShowVersion {};
// A malformed command line; `command` is the subcommand it was parsed into,
// if any, for the usage line.
struct UsageError {
  std::string message;
  std::optional<std::size_t> command;
};

using Outcome = std::variant<Parsed, ShowHelp, ShowVersion, UsageError>;

// Parses argv[1..argc). Never throws.
Outcome parse(const ProgramDecl& decl, int argc, const char* const* argv);

// The help text of the program (nullopt) or of one command, ending with an
// empty line.
std::string help_text(const ProgramDecl& decl, std::optional<std::size_t> command);

}  // namespace verdane::driver::args
