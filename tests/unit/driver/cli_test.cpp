#include "driver/cli.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace verdane::driver {
namespace {

// One line describing what parse_cli made of a command line: the command and
// its values, or the exit status with the first line written.
std::string outcome(std::vector<std::string> words) {
  std::vector<const char*> argv{"verdane"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  const auto result = parse_cli(static_cast<int>(argv.size()), argv.data());
  const auto opt = [](const std::optional<std::string>& s) { return s ? "[" + *s + "]" : "-"; };
  if (const auto* exit = std::get_if<CliExit>(&result)) {
    const std::string& text = exit->out.empty() ? exit->err : exit->out;
    return "exit " + std::to_string(exit->status) + (exit->out.empty() ? " err: " : " out: ") +
           text.substr(0, text.find('\n'));
  }
  const CliCommand& command = std::get<Cli>(result).command;
  if (const auto* c = std::get_if<CompileCommand>(&command)) {
    return "compile [" + c->template_path + "] " + opt(c->out);
  }
  if (const auto* p = std::get_if<PrintCommand>(&command)) return "print [" + p->bytecode + "]";
  if (const auto* t = std::get_if<TestCommand>(&command)) {
    std::string out = "test";
    for (const std::string& path : t->tests) out += " [" + path + "]";
    return out;
  }
  const auto& e = std::get<EvalCommand>(command);
  return "eval [" + e.bytecode + "] [" + e.evidence + "] " + opt(e.intent) + " " +
         opt(e.check_hash) + (e.explain ? " explain" : "");
}

struct CliCase {
  std::vector<std::string> words;
  std::string expected;
};

class CliTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliTest, Parses) { EXPECT_EQ(outcome(GetParam().words), GetParam().expected); }

const char* const kCompileHelp =
    "exit 0 out: Compile policy template source into canonical bytecode";
const char* const kHelpHelp =
    "exit 0 out: Print this message or the help of the given subcommand(s)";
const char* const kProgramHelp = "exit 0 out: Compile, inspect, and evaluate policy templates.";

INSTANTIATE_TEST_SUITE_P(
    Values, CliTest,
    testing::Values(
        // Values in either form, in any order around the positional.
        CliCase{{"compile", "t.src"}, "compile [t.src] -"},
        CliCase{{"compile", "--out=o.bin", "t.src"}, "compile [t.src] [o.bin]"},
        CliCase{{"eval", "--evidence", "e", "b", "--intent", "i", "--check-hash", "h"},
                "eval [b] [e] [i] [h]"},
        // The argument after an option is its value, whatever it looks like;
        // `--out=` takes the next argument too.
        CliCase{{"compile", "t", "--out", "--evidence"}, "compile [t] [--evidence]"},
        CliCase{{"compile", "--out=", "x", "t"}, "compile [t] [x]"},
        CliCase{{"compile", "--out=a=b", "t"}, "compile [t] [a=b]"},
        // `--` makes the rest positional; `-5` is a value, not a flag.
        CliCase{{"compile", "--", "-x"}, "compile [-x] -"}, CliCase{{"print", "-5"}, "print [-5]"},
        // A subcommand name is a value where a required positional is due.
        CliCase{{"print", "eval"}, "print [eval]"},
        // --explain is a flag: it takes no value from the next argument, and
        // `--explain=<v>` reads v as `--version=<v>` does.
        CliCase{{"eval", "--explain", "b", "--evidence", "e"}, "eval [b] [e] - - explain"},
        CliCase{{"eval", "b", "--evidence", "e", "--explain=no"}, "eval [b] [e] - -"},
        CliCase{{"eval", "b", "--evidence", "e", "--explain="}, "eval [b] [e] - - explain"},
        // `test` takes every positional, in order, subcommand names included.
        CliCase{{"test", "a.json", "eval", "--", "-b"}, "test [a.json] [eval] [-b]"}));

INSTANTIATE_TEST_SUITE_P(
    HelpAndVersion, CliTest,
    testing::Values(
        CliCase{{"-V"}, "exit 0 out: verdane 0.4.1"},
        // A flag's value decides whether it counts: the last one wins.
        CliCase{{"-V", "--version=yes"}, "exit 0 out: verdane 0.4.1"},
        CliCase{{"-h", "-V"}, "exit 0 out: verdane 0.4.1"},
        CliCase{{"-V", "--version=no", "compile", "t"}, "compile [t] -"},
        CliCase{{"-V", "--version=maybe"},
                "exit 2 err: error: Could not convert: --version = true,maybe"},
        // A leading dash is only for help or the version.
        CliCase{{"--version=yes"}, "exit 2 err: error: unexpected argument '--version=yes'"},
        CliCase{{"-h", "-hV"}, "exit 0 out: verdane 0.4.1"},
        // Help of the subcommand parsed, wherever -h stands, with every
        // option listed.
        CliCase{{"-h", "compile"}, kCompileHelp}, CliCase{{"compile", "t", "--help"}, kCompileHelp},
        CliCase{{"help", "compile"}, kCompileHelp}, CliCase{{"help"}, kProgramHelp},
        CliCase{{"help", "-h", "-h"}, kHelpHelp}, CliCase{{"-h", "--", "help"}, kProgramHelp},
        CliCase{{"--help", "--bogus"}, kProgramHelp},
        // A missing value is reported before help is considered.
        CliCase{{"compile", "-h", "--out"}, "exit 2 err: error: --out: 1 required <OUT> missing"}));

INSTANTIATE_TEST_SUITE_P(
    UsageErrors, CliTest,
    testing::Values(
        CliCase{{}, "exit 2 err: Compile, inspect, and evaluate policy templates."},
        CliCase{{"bogus"}, "exit 2 err: error: unrecognized subcommand 'bogus'"},
        CliCase{{"-x"}, "exit 2 err: error: unexpected argument '-x'"},
        CliCase{{"help", "help"}, "exit 2 err: error: unrecognized subcommand 'help'"},
        CliCase{{"-h", "--", "compile"}, kCompileHelp},
        CliCase{{"-V", "--", "compile"}, "exit 0 out: verdane 0.4.1"},
        CliCase{{"-h", "--help=", "--", "x"}, kProgramHelp},
        // Checks run in a fixed order: values, help, requirements, extras.
        CliCase{{"compile", "", "-h"}, "exit 2 err: error: TEMPLATE: a path must not be empty"},
        CliCase{{"compile", "-h", "-h"},
                "exit 2 err: error: --help: At Most 1 required but received 2"},
        CliCase{{"compile", "--out", "", "--out", "b", "t"},
                "exit 2 err: error: --out: a path must not be empty"},
        CliCase{{"eval", "b", "--evidence", "e", "--intent", "i", "--intent", "j"},
                "exit 2 err: error: --intent: At Most 1 required but received 2"},
        CliCase{{"eval", "--bogus", "b"}, "exit 2 err: error: --evidence is required"},
        CliCase{{"eval", "--", "b", "--evidence", "e"},
                "exit 2 err: error: --evidence is required"},
        CliCase{{"-V", "--", "x"}, "exit 0 out: verdane 0.4.1"},
        CliCase{{"-h", "--bogus", "--", "x"}, kProgramHelp},
        // Unexpected arguments are listed last one first.
        CliCase{{"compile", "t", "a", "", "b"},
                "exit 2 err: error: The following arguments were not expected: b  a"},
        CliCase{{"compile", "t", "-Vh"},
                "exit 2 err: error: The following argument was not expected: -Vh"},
        CliCase{{"eval", "b", "--evidence", "e", "--", "x"},
                "exit 2 err: error: The following argument was not expected: x"},
        // A separator alone is not unexpected.
        CliCase{{"compile", "t", "--", "--"}, "compile [t] -"},
        CliCase{{"compile", "t", "eval"},
                "exit 2 err: error: The following argument was not expected: eval"},
        CliCase{{"eval", "b", "--evidence", "e", "--check-hash", "\xff"},
                "exit 2 err: error: --check-hash: the value must be valid UTF-8"},
        CliCase{{"eval", "b", "--evidence", "e", "--explain=maybe"},
                "exit 2 err: error: Could not convert: --explain = maybe"},
        CliCase{{"eval", "b", "--evidence", "e", "--explain", "--explain"},
                "exit 2 err: error: --explain: At Most 1 required but received 2"},
        CliCase{{"test"}, "exit 2 err: error: TESTS is required"},
        CliCase{{"test", "a", ""}, "exit 2 err: error: TESTS: a path must not be empty"},
        CliCase{{"test", "a", "--bogus"},
                "exit 2 err: error: The following argument was not expected: --bogus"},
        CliCase{{"help", "test"},
                "exit 0 out: Run the cases of test files against "
                "their templates"}));

// Everything parse_cli made of a command line, in full.
std::string full_outcome(const std::vector<std::string>& words) {
  std::vector<const char*> argv{"verdane"};
  for (const std::string& w : words) argv.push_back(w.c_str());
  const auto result = parse_cli(static_cast<int>(argv.size()), argv.data());
  const auto opt = [](const std::optional<std::string>& s) { return s ? "[" + *s + "]" : "-"; };
  if (const auto* exit = std::get_if<CliExit>(&result)) {
    // Which help, or the error with the command its hint names; not the
    // texts around them, which are no concern of the parser.
    const std::string& text = exit->status == 0 ? exit->out : exit->err;
    const std::size_t hint = text.rfind("try '");
    return std::to_string(exit->status) + "|" + text.substr(0, text.find('\n')) + "|" +
           (hint == std::string::npos ? "" : text.substr(hint));
  }
  return std::visit(
      [&](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, CompileCommand>) {
          return "compile " + c.template_path + " " + opt(c.out);
        } else if constexpr (std::is_same_v<C, PrintCommand>) {
          return "print " + c.bytecode;
        } else if constexpr (std::is_same_v<C, EvalCommand>) {
          return "eval " + c.bytecode + " " + c.evidence + " " + opt(c.intent) + " " +
                 opt(c.check_hash) + " " + std::to_string(c.explain) + " " + opt(c.batch) + " " +
                 std::to_string(c.jobs) + " " + std::to_string(static_cast<int>(c.format));
        } else if constexpr (std::is_same_v<C, TestCommand>) {
          std::string out = "test";
          for (const std::string& path : c.tests) out += " " + path;
          return out;
        } else {
          return "analyze " + c.bytecode + " " + opt(c.against) + " " + opt(c.examples) + " " +
                 std::to_string(c.timeout_ms) + " " + std::to_string(c.max_memory_mib);
        }
      },
      std::get<Cli>(result).command);
}

// Every command line of up to four words from a small alphabet (help and
// version flags in both forms, `--`, values glued and apart, flags with
// values, repeats, stray words) whose first word gets past the first-word
// checks, summed up in one FNV-1a digest of the outcomes. The digest was
// recorded from the parser as it stood before it read arguments in place,
// so any change of behaviour shows here; set VERDANE_CLI_DUMP to print each
// outcome when it does.
TEST(CliExhaustive, EveryShortCommandLineKeepsItsOutcome) {
  const std::vector<std::string> first{"eval", "help", "test", "compile",
                                       "-h",   "-hV",  "-V",   "--version=0"};
  const std::vector<std::string> alphabet{"eval",
                                          "help",
                                          "test",
                                          "compile",
                                          "--",
                                          "-h",
                                          "-hV",
                                          "-V",
                                          "--version=0",
                                          "--evidence",
                                          "--evidence=",
                                          "--evidence=e",
                                          "--intent",
                                          "b",
                                          "",
                                          "--explain=yes",
                                          "--explain",
                                          "--jobs=2",
                                          "--batch",
                                          "--bogus",
                                          "-x",
                                          "--format=json",
                                          "--check-hash=\xff"};
  const bool dump = std::getenv("VERDANE_CLI_DUMP") != nullptr;
  std::uint64_t digest = 14695981039346656037ull;
  std::size_t lines = 0;
  for (std::size_t length = 1; length <= 4; ++length) {
    std::vector<std::size_t> index(length, 0);
    while (true) {
      std::vector<std::string> words{first[index[0]]};
      for (std::size_t i = 1; i < length; ++i) words.push_back(alphabet[index[i]]);
      const std::string line = full_outcome(words);
      for (const unsigned char c : line + "\n") digest = (digest ^ c) * 1099511628211ull;
      ++lines;
      if (dump) {
        std::string joined;
        for (const auto& w : words) joined += "<" + w + ">";
        std::printf("%s => %s\n", joined.c_str(), line.c_str());
      }
      std::size_t k = 0;
      while (k < length && ++index[k] == (k == 0 ? first.size() : alphabet.size())) index[k++] = 0;
      if (k == length) break;
    }
  }
  EXPECT_EQ(lines, 8u * (1u + 23u + 23u * 23u + 23u * 23u * 23u));
  EXPECT_EQ(digest, 4039613339814226446ull);
}

// Command lines far longer than the parser's block on the stack: its lists
// go on to the heap and every argument still counts, in place and in order.
TEST(CliLong, ManyArgumentsParseAsFew) {
  for (const std::size_t count : {10u, 300u, 3000u}) {
    std::vector<std::string> words{"eval", "b", "--evidence", "e"};
    std::string expected = "exit 2 err: error: The following arguments were not expected:";
    for (std::size_t i = 0; i < count; ++i) words.push_back('w' + std::to_string(i));
    for (std::size_t i = count; i-- > 0;) expected.append(" w").append(std::to_string(i));
    EXPECT_EQ(outcome(words), expected) << count;
    // The same arguments as test files, the one positional that takes many.
    words[0] = "test";
    words.erase(words.begin() + 2, words.begin() + 4);
    std::string files = "test";
    for (std::size_t i = 1; i < words.size(); ++i) files.append(" [").append(words[i]).append("]");
    EXPECT_EQ(outcome(words), files) << count;
  }
}

}  // namespace
}  // namespace verdane::driver
