// The analysis at its limits: deep, wide and large templates answer without
// crashing (unknown where they are too large), a query past its time limit is
// unknown, and the hand-over from verdane to the analyzer keeps the command
// line and fails clearly when the analyzer is missing.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/analyze.h"
#include "driver/cli.h"
#include "driver/handoff.h"
#include "korvel_serializers/bytes.h"
#include "verdane/verdane.h"

namespace verdane::analysis {
namespace {

namespace fs = std::filesystem;

struct Analysed {
  std::vector<std::string> lines;
  std::string error;
};

Analysed analyse_source(const std::string& source, std::uint32_t timeout_ms = 10'000) {
  auto tmpl = api::compile(source);
  EXPECT_TRUE(tmpl.has_value()) << (tmpl ? "" : tmpl.error().to_string());
  if (!tmpl) return {};
  auto model = korvel::serializers::BytesSerializer{}.deserialize(*api::encode(*tmpl));
  Analysed out;
  const Emit emit = [&](const Finding& f) {
    out.lines.push_back(f.line());
    return ok_status<std::string>();
  };
  auto done =
      analyze_template(Target{&*model, &*tmpl, "t.bin"}, Options{timeout_ms, nullptr}, emit);
  if (!done) out.error = done.error();
  return out;
}

std::string requires_block(const std::string& head, const std::vector<std::string>& constraints) {
  std::string s = head + "requires {\n";
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    s += "  " + constraints[i] + (i + 1 < constraints.size() ? ";\n" : "\n");
  }
  return s + "}\n";
}

TEST(Limits, ExpressionAtTheDepthLimit) {
  // 4095 operands and the comparison: exactly as deep as a template may be.
  std::string sum = "1";
  for (int i = 1; i < 4095; ++i) sum += " + 1";
  const Analysed a = analyse_source(
      requires_block("name deep\nevidence {\n  x: int\n}\n", {sum + " == evidence.x"}));
  ASSERT_EQ(a.error, "");
  EXPECT_EQ(a.lines, (std::vector<std::string>{
                         "template: can pass: yes (example can_pass)",
                         "template: can fail: yes (example can_fail)",
                         "constraint[0]: can fail: yes (example c0_fail)",
                         "constraint[0]: can error: no",
                         "constraint[0]: redundant: no (example c0_needed)",
                     }));
}

TEST(Limits, LargeSetLiteralsAndManyConstraints) {
  std::string ints, texts;
  for (int i = 0; i < 5000; ++i) {
    ints += (i ? ", " : "") + std::to_string(i * 7);
    texts += (i ? ", \"k" : "\"k") + std::to_string(i) + "\"";
  }
  std::vector<std::string> constraints{
      "intent.a in {" + ints + "}",
      "not (intent.t in {" + texts + "})",
      "evidence.tags superset of {" + texts + "}",
  };
  for (int i = 0; i < 100; ++i) {
    constraints.push_back("not (intent.a == " + std::to_string(7 * i + 1) + ")");
  }
  const Analysed a = analyse_source(requires_block(
      "name big\nintent {\n  a: int\n  t: string\n}\nevidence {\n  tags: set<string>\n}\n",
      constraints));
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(a.lines.size(), 2 + 3 * constraints.size());
  EXPECT_EQ(a.lines[0], "template: can pass: yes (example can_pass)");
  // 7 * 1 + 1 = 8 is no multiple of 7: the member test already excludes it.
  EXPECT_EQ(a.lines[2 + 3 * 4 + 2], "constraint[4]: redundant: yes");
}

TEST(Limits, HundredsOfConstraintsAnswerInOrder) {
  // Every constraint can fail and err (`evidence.lim * 2` overflows); each
  // is implied by the two after it, except the last two, which are needed.
  // A short time limit may leave answers unknown, never give a wrong one.
  constexpr int kCount = 300;
  std::vector<std::string> constraints;
  for (int i = 0; i < kCount; ++i) {
    const std::string n = std::to_string(i);
    constraints.push_back("intent.a + " + n + " <= evidence.lim * 2 or intent.s in {\"x" + n +
                          "\", \"y" + n + "\"} or intent.b > " + n);
  }
  const Analysed a =
      analyse_source(requires_block("name gen\nintent {\n  a: int\n  b: int\n  s: string\n}\n"
                                    "evidence {\n  lim: int\n}\n",
                                    constraints),
                     1'000);
  ASSERT_EQ(a.error, "");
  // (subject and question, verdict with its detail)
  std::vector<std::pair<std::string, std::string>> want{
      {"template: can pass", "yes (example can_pass)"},
      {"template: can fail", "yes (example can_fail)"}};
  for (int i = 0; i < kCount; ++i) {
    // Appended: `"c" + std::to_string(i)` draws a false -Wrestrict warning
    // from g++ 12.
    const std::string n = std::to_string(i);
    const std::string c = std::string("constraint[").append(n).append("]: ");
    const std::string example = std::string("example c").append(n);
    want.push_back({c + "can fail", "yes (" + example + "_fail)"});
    want.push_back({c + "can error", "yes (integer overflow; " + example + "_error)"});
    want.push_back({c + "redundant", i + 2 < kCount ? "yes" : "no (" + example + "_needed)"});
  }
  ASSERT_EQ(a.lines.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    const auto& [head, verdict] = want[i];
    if (a.lines[i] != head + ": unknown (timeout)") {
      EXPECT_EQ(a.lines[i], head + ": " + verdict);
    }
  }
}

TEST(Limits, TooManyProductsAreUnknown) {
  std::string product = "intent.a";
  for (int i = 0; i < 40; ++i) product += " * intent.b";
  const Analysed a = analyse_source(
      requires_block("name p\nintent {\n  a: int\n  b: int\n}\nevidence {\n  x: int\n}\n",
                     {product + " == evidence.x"}));
  ASSERT_EQ(a.error, "");
  ASSERT_EQ(a.lines.size(), 5u);
  for (const std::string& line : a.lines) {
    EXPECT_NE(line.find(": unknown (too large to analyse)"), std::string::npos) << line;
  }
}

TEST(Limits, PastTheTimeLimitIsUnknown) {
  // Passing means factoring the product of two primes near 2^31.5.
  const Analysed a = analyse_source(
      requires_block(
          "name factor\nintent {\n  a: int\n  b: int\n}\nevidence {\n  n: int\n}\n",
          {"intent.a > 1 and intent.b > 1 and intent.a * intent.b == 9223371873002223329"}),
      100);
  ASSERT_EQ(a.error, "");
  ASSERT_FALSE(a.lines.empty());
  EXPECT_EQ(a.lines[0], "template: can pass: unknown (timeout)");
}

TEST(Handoff, TheAnalyzerParsesTheCommandVerdaneParsed) {
  const driver::AnalyzeCommand sent{"-odd name.bin", "--against=x.bin", "dir with spaces", 1'500,
                                    300};
  const std::vector<std::string> argv = driver::analyzer_argv("/x/verdane-analyze", sent);
  std::vector<const char*> pointers;
  for (const std::string& a : argv) pointers.push_back(a.c_str());
  auto parsed = driver::parse_cli(static_cast<int>(pointers.size()), pointers.data());
  ASSERT_TRUE(std::holds_alternative<driver::Cli>(parsed));
  const auto& got = std::get<driver::AnalyzeCommand>(std::get<driver::Cli>(parsed).command);
  EXPECT_EQ(got.bytecode, sent.bytecode);
  EXPECT_EQ(got.against, sent.against);
  EXPECT_EQ(got.examples, sent.examples);
  EXPECT_EQ(got.timeout_ms, sent.timeout_ms);
  EXPECT_EQ(got.max_memory_mib, sent.max_memory_mib);
}

TEST(Handoff, MissingAnalyzerIsOneLineError) {
  std::string dir = (fs::temp_directory_path() / "verdane-handoff-XXXXXX").string();
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  const fs::path alone = fs::path(dir) / "verdane";
  fs::copy_file(VERDANE_BINARY, alone);
  const fs::path err = fs::path(dir) / "err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!::freopen(err.c_str(), "w", stderr)) _exit(126);
    ::execl(alone.c_str(), alone.c_str(), "analyze", "t.bin", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  std::ifstream in(err);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(text.str(),
            "`analyze` needs the analyzer verdane-analyze, which is not installed: "
            "neither `" +
                dir + "/verdane-analyze` nor `" + dir +
                "/../libexec/verdane/verdane-analyze` exists\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace verdane::analysis
