// Hostile inputs through the built binary: inputs too large or too deep to
// keep as case files. Each run must end with the exact expected result and a
// bounded peak memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
  long peak_kb = 0;  // peak resident memory of the process
  bool signalled = false;
  double seconds = 0;  // wall-clock time of the run
};

class Hostile : public testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "verdane-hostile-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }

  void write(const std::string& name, const std::string& data) {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << data;
  }

  static std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  // `address_space`: a limit on the run's address space in bytes, as
  // `ulimit -v` sets (sanitizer builds reserve more than any such limit
  // allows, so they run without it).
  Outcome run(std::vector<std::string> args, rlim_t address_space = RLIM_INFINITY) {
    const fs::path out_path = dir_ / ".out";
    const fs::path err_path = dir_ / ".err";
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir_.c_str()) != 0) _exit(127);
#ifndef VERDANE_SANITIZED
      const rlimit limit{address_space, address_space};
      if (::setrlimit(RLIMIT_AS, &limit) != 0) _exit(127);
#else
      (void)address_space;
#endif
      ::dup2(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
      ::dup2(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
      std::string bin = VERDANE_BINARY;
      std::vector<char*> argv{bin.data()};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(bin.c_str(), argv.data());
      _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    ::wait4(pid, &status, 0, &usage);
    Outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read(out_path);
    r.err = read(err_path);
    r.peak_kb = usage.ru_maxrss;
    r.signalled = WIFSIGNALED(status);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
  }

  fs::path dir_;
};

constexpr long kMiB = 1024;  // ru_maxrss is in KiB

// Peak memory bounds hold for normal builds; sanitizer builds add shadow
// memory of their own.
#ifdef VERDANE_SANITIZED
#define EXPECT_PEAK_BELOW(peak_kb, limit_kb) (void)(peak_kb)
#else
#define EXPECT_PEAK_BELOW(peak_kb, limit_kb) EXPECT_LT(peak_kb, limit_kb)
#endif

std::string chain_template(int ones) {
  std::string s = "name deep\nevidence {\n  x: int\n}\nrequires {\n  1";
  for (int i = 1; i < ones; ++i) s += " + 1";
  return s + " == evidence.x\n}\n";
}

TEST_F(Hostile, SeveralMegabyteTemplateCompiles) {
  std::string src = "name big\nevidence {\n  x: int\n  s: set<string>\n}\nrequires {\n";
  for (int i = 0; src.size() < 6'000'000; ++i) {
    src += "  evidence.x + " + std::to_string(i) + " <= " + std::to_string(i * 3) + " or \"k" +
           std::to_string(i) + "\" in evidence.s;\n";
  }
  src += "  True\n}\n";
  write("big.policy", src);
  const Outcome r = run({"compile", "big.policy"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("policy_template_id=", 0), 0u);
  EXPECT_EQ(r.err, "");
  EXPECT_PEAK_BELOW(r.peak_kb, 200 * kMiB);
  const Outcome printed = run({"print", "out.bin"});
  EXPECT_EQ(printed.status, 0);
}

TEST_F(Hostile, ArithmeticChainAtTheDepthLimit) {
  // 4095 operands plus the comparison make a tree exactly as deep as allowed.
  write("ok.policy", chain_template(4095));
  Outcome r = run({"compile", "ok.policy"});
  ASSERT_EQ(r.status, 0) << r.err;
  write("e.json", "{\"x\": 4095}");
  r = run({"eval", "out.bin", "--evidence", "e.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "decision=pass\n");
  r = run({"print", "out.bin"});
  EXPECT_EQ(r.status, 0) << r.err;

  // One operand more crosses the limit at the comparison operator.
  write("deep.policy", chain_template(4096));
  r = run({"compile", "deep.policy", "--out", "deep.bin"});
  EXPECT_EQ(r.status, 1);
  // Two spaces, "1", 4095 times " + 1", a space: the "==" comes next.
  const std::size_t col = 2 + 1 + 4 * 4095 + 1 + 1;
  EXPECT_EQ(r.err, "error at 6:" + std::to_string(col) +
                       ": expression is too deep (maximum depth is 4096)\n");
  EXPECT_FALSE(fs::exists(dir_ / "deep.bin"));
}

TEST_F(Hostile, ExplainingAtTheDepthLimitIsBounded) {
  // Every operator node of the chain is listed, each text cut at 1000 bytes:
  // the sum would otherwise grow with the square of the depth.
  write("ok.policy", chain_template(4095));
  ASSERT_EQ(run({"compile", "ok.policy"}).status, 0);
  write("e.json", "{\"x\": 0}");
  const Outcome r = run({"eval", "out.bin", "--evidence", "e.json", "--explain"});
  EXPECT_EQ(r.status, 1) << r.err;
  std::vector<std::string> lines;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  // decision, constraint, 4094 sums and evidence.x.
  ASSERT_EQ(lines.size(), 2u + 4094 + 1);
  EXPECT_EQ(lines[2], "    (1 + 1) = 2");
  EXPECT_EQ(lines[4095], "    " + lines[4095].substr(4, 1000) + "... (24565 bytes) = 4095");
  EXPECT_EQ(lines.back(), "    evidence.x = 0");
  EXPECT_LT(r.out.size(), 5'000'000u);
  EXPECT_PEAK_BELOW(r.peak_kb, 64 * kMiB);
}

TEST_F(Hostile, ExplainingListsRepeatedSubtreesOnce) {
  std::string src = "name wide\nevidence {\n  x: int\n}\nrequires {\n  evidence.x + 1 <= 0";
  for (int i = 0; i < 50'000; ++i) src += " and evidence.x + 1 <= 0";
  write("wide.policy", src + "\n}\n");
  ASSERT_EQ(run({"compile", "wide.policy"}).status, 0);
  write("e.json", "{\"x\": 0}");
  const Outcome r = run({"eval", "out.bin", "--evidence", "e.json", "--explain"});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::size_t explanation = r.out.find("\n    ");
  ASSERT_NE(explanation, std::string::npos);
  EXPECT_EQ(r.out.substr(explanation + 1),
            "    evidence.x = 0\n    (evidence.x + 1) = 1\n    ((evidence.x + 1) <= 0) = False\n");
}

TEST_F(Hostile, VeryLongChainFailsFastWithBoundedMemory) {
  write("long.policy", chain_template(2'000'000));
  const Outcome r = run({"compile", "long.policy"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("expression is too deep (maximum depth is 4096)"), std::string::npos);
  EXPECT_PEAK_BELOW(r.peak_kb, 400 * kMiB);
}

TEST_F(Hostile, MillionNestedNotInBytecode) {
  // name "t", no schemas, one constraint: a million Not around True.
  std::string bytes = std::string("\x01t\x00\x00\x01\x00", 6);
  bytes += std::string(1'000'000, '\x0e');
  bytes += std::string("\x00\x00\x01", 3);
  write("deep.bin", bytes);
  const std::string want =
      "error at 0:0: bytecode: Deserialization failed, using lib bincode: "
      "OtherString(\"expression nesting exceeds the maximum depth of 4096\")\n";
  for (const char* cmd : {"print", "eval"}) {
    std::vector<std::string> args{cmd, "deep.bin"};
    if (std::string(cmd) == "eval") args.insert(args.end(), {"--evidence", "missing.json"});
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_EQ(r.err, want) << cmd;
    EXPECT_EQ(r.out, "") << cmd;
    EXPECT_PEAK_BELOW(r.peak_kb, 64 * kMiB);
  }
}

TEST_F(Hostile, HugeLengthPrefixReservesNothing) {
  // The template name claims 2^64-1 bytes.
  write("len.bin", std::string("\xfd\xff\xff\xff\xff\xff\xff\xff\xff"
                               "abc",
                               12));
  const Outcome r = run({"print", "len.bin"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "error at 0:0: bytecode: Deserialization failed, using lib bincode: "
            "UnexpectedEnd { additional: 18446744073709551612 }\n");
  EXPECT_PEAK_BELOW(r.peak_kb, 64 * kMiB);
}

class HostileJson : public Hostile {
 protected:
  void SetUp() override {
    Hostile::SetUp();
    write("t.policy",
          "name t\nevidence {\n  s: string\n}\nrequires {\n  not (evidence.s == \"\")\n}\n");
    const Outcome r = run({"compile", "t.policy"});
    ASSERT_EQ(r.status, 0) << r.err;
  }
};

TEST_F(HostileJson, MillionLevelsDeep) {
  const int depth = 1'000'000;
  write("deep.json", "{\"s\": " + std::string(depth, '[') + std::string(depth, ']') + "}");
  Outcome r = run({"eval", "out.bin", "--evidence", "deep.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "decision=fail\ninput validation error: evidence: field `s`: expected JSON string\n");
  EXPECT_EQ(r.err, "");

  write("open.json", std::string(depth, '['));
  r = run({"eval", "out.bin", "--evidence", "open.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("failed to parse evidence JSON: ", 0), 0u) << r.err;
}

TEST_F(HostileJson, HundredMegabyteString) {
  const std::size_t size = 100u << 20;
  std::string doc = "{\"s\": \"";
  doc.append(size, 'x');
  doc += "\"}";
  write("big.json", doc);
  doc.clear();
  doc.shrink_to_fit();
  const Outcome r = run({"eval", "out.bin", "--evidence", "big.json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "decision=pass\n");
  // The file, the parsed document and the value: a few copies at most.
  EXPECT_PEAK_BELOW(r.peak_kb, 5 * 100 * kMiB);
}

// --batch streams: the requests file is read in pieces, so memory stays
// bounded by the lines in flight, not by the file; a line far longer than a
// piece is still one request; answers come out while the input is waited for.
class HostileBatch : public Hostile {
 protected:
  void SetUp() override {
    Hostile::SetUp();
    write("t.policy",
          "name t\nintent {\n  n: int\n}\nevidence {\n  s: set<string>\n}\n"
          "requires {\n  intent.n < 1000000;\n  \"x\" in evidence.s\n}\n");
    const Outcome r = run({"compile", "t.policy"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  static std::string line(int n) {
    return R"({"intent": {"n": )" + std::to_string(n) +
           R"(}, "evidence": {"s": ["x", "y"]}})"
           "\n";
  }
};

TEST_F(HostileBatch, LargeFileStreamsWithBoundedMemory) {
  // About 64 MB of requests (a tenth of that in the slow sanitizer builds),
  // of which every 1000th fails.
#ifdef VERDANE_SANITIZED
  constexpr int kLines = 100'000;
#else
  constexpr int kLines = 1'000'000;
#endif
  {
    std::ofstream out(dir_ / "requests.jsonl", std::ios::binary);
    for (int i = 0; i < kLines; ++i) out << line(i % 1000 == 999 ? 2'000'000 : i);
  }
  for (const char* jobs : {"1", "2"}) {
    const Outcome r = run({"eval", "out.bin", "--batch", "requests.jsonl", "--jobs", jobs});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, "");
    std::size_t lines = 0, fails = 0;
    std::istringstream in(r.out);
    for (std::string l; std::getline(in, l); ++lines) {
      if (lines < 3 || l.find("fail") != std::string::npos) {
        const bool fail = lines % 1000 == 999;
        EXPECT_EQ(l.rfind("{\"line\":" + std::to_string(lines + 1) +
                              (fail ? ",\"decision\":\"fail\"" : ",\"decision\":\"pass\"}"),
                          0),
                  0u)
            << l;
        fails += fail;
      }
    }
    EXPECT_EQ(lines, static_cast<std::size_t>(kLines));
    EXPECT_EQ(fails, static_cast<std::size_t>(kLines / 1000));
    EXPECT_PEAK_BELOW(r.peak_kb, 24 * kMiB);
  }
}

TEST_F(HostileBatch, LineLongerThanAReadIsOneRequest) {
  std::string big = R"({"intent": {"n": 1}, "evidence": {"s": ["x")";
  for (int i = 0; i < 400'000; ++i) big += ",\"e" + std::to_string(i) + "\"";
  big += "]}}\n";
  write("requests.jsonl", line(1) + big + "\n" + line(2'000'000));
  const Outcome r = run({"eval", "out.bin", "--batch", "requests.jsonl", "--jobs", "2"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out.substr(0, r.out.find("\n{\"line\":4")),
            "{\"line\":1,\"decision\":\"pass\"}\n{\"line\":2,\"decision\":\"pass\"}");
  EXPECT_EQ(r.out.rfind("{\"line\":4,\"decision\":\"fail\"", 0), std::string::npos);
  EXPECT_NE(r.out.find("\n{\"line\":4,\"decision\":\"fail\""), std::string::npos);
}

// A request written to a pipe is answered before the next one is written.
TEST_F(HostileBatch, AnswersArriveWhileTheInputWaits) {
  for (const char* jobs : {"1", "2"}) {
    int to_child[2], from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir_.c_str()) != 0) _exit(127);
      ::dup2(to_child[0], 0);
      ::dup2(from_child[1], 1);
      ::close(to_child[1]);
      ::close(from_child[0]);
      ::execl(VERDANE_BINARY, VERDANE_BINARY, "eval", "out.bin", "--batch", "/dev/stdin", "--jobs",
              jobs, static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    for (int i = 1; i <= 3; ++i) {
      const std::string request = line(i);
      ASSERT_EQ(::write(to_child[1], request.data(), request.size()),
                static_cast<ssize_t>(request.size()));
      // Blocks until the answer comes: a run that held it back would hang
      // here rather than pass.
      std::string answer;
      char c = 0;
      while (::read(from_child[0], &c, 1) == 1 && c != '\n') answer += c;
      EXPECT_EQ(answer, "{\"line\":" + std::to_string(i) + ",\"decision\":\"pass\"}") << jobs;
    }
    ::close(to_child[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(from_child[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << jobs;
  }
}

// ---- Test files nested deep, and analyses within their time and memory bounds

TEST_F(Hostile, DeeplyNestedTestFileLoadsInMemoryProportionalToItsSize) {
  // A 2 MB test file whose one case holds a million nested arrays.
  constexpr int kDepth = 1'000'000;
  write("t.policy", "name t\nevidence {\n  x: int\n}\nrequires {\n  evidence.x > 0\n}\n");
  write("deep.tests.json", R"({"template": "t.policy", "cases": [{"name": "deep", "evidence": )"
                           R"({"x": 1, "y": )" +
                               std::string(kDepth, '[') + std::string(kDepth, ']') +
                               R"(}, "expect": "pass"}]})");
  const Outcome r = run({"test", "deep.tests.json"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "FAIL deep.tests.json: deep: expected pass, got input_error \"evidence: field `y`: "
            "is not declared in the evidence schema\"\n"
            "    decision=fail\n"
            "    input validation error: evidence: field `y`: is not declared in the evidence "
            "schema\n"
            "0 passed, 1 failed\n");
  EXPECT_PEAK_BELOW(r.peak_kb, 40 * kMiB);
}

constexpr rlim_t kGiB = rlim_t{1} << 30;

// Every line of an analysis: subject, question, verdict, detail.
const std::regex kFinding(
    R"((template|constraint\[[0-9]+\]|change): (can pass|can fail|can error|redundant|widens|)"
    R"(narrows): (yes|no|unknown)( \(.+\))?)");

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A sum of 4,000 terms of 1, -1 and 2^63 - 1 beside a product of two
// unknowns, which makes every integer a bit-vector: the solver once needed
// 7.8 GB and 50 s for it and died of an uncaught exception under 2 GB.
std::string long_sum_template() {
  std::string sum = "evidence.x";
  const char* terms[] = {"1", "-1", "9223372036854775807"};
  for (int i = 0; i < 4000; ++i) sum += std::string(" + ") + terms[(i * 7 + i / 3) % 3];
  return "name t\nevidence {\n  x: int\n}\nrequires {\n  " + sum +
         " < 0;\n  evidence.x * evidence.x == 4\n}\n";
}

TEST_F(Hostile, LongSumWithAProductIsUnknownWithinOneGigabyte) {
  write("sum.policy", long_sum_template());
  write("old.policy",
        "name t\nevidence {\n  x: int\n}\nrequires {\n"
        "  evidence.x * evidence.x == -9223372036854775807 - 1\n}\n");
  ASSERT_EQ(run({"compile", "sum.policy", "--out", "sum.bin"}).status, 0);
  ASSERT_EQ(run({"compile", "old.policy", "--out", "old.bin"}).status, 0);
  const Outcome alone = run({"analyze", "sum.bin", "--timeout", "2"}, kGiB);
  const Outcome change =
      run({"analyze", "sum.bin", "--against", "old.bin", "--timeout", "2"}, kGiB);
  for (const Outcome* r : {&alone, &change}) {
    EXPECT_FALSE(r->signalled) << r->err;
    EXPECT_EQ(r->err, "");
    EXPECT_LT(r->seconds, 20.0);  // questions x (twice the timeout + 1 s)
    for (const std::string& line : lines_of(r->out)) {
      EXPECT_NE(line.find(": unknown ("), std::string::npos) << line;
    }
  }
  EXPECT_EQ(alone.status, 0);
  EXPECT_EQ(lines_of(alone.out).size(), 8u);
  EXPECT_EQ(change.status, 1);
  EXPECT_EQ(lines_of(change.out).size(), 2u);
}

TEST_F(Hostile, SolverPastItsMemoryLimitAnswersEveryQuestionUnknown) {
  std::string sum = "evidence.x";
  for (int i = 0; i < 300; ++i) sum += i % 2 ? " + 9223372036854775807" : " + -1";
  write("t.policy", "name t\nevidence {\n  x: int\n}\nrequires {\n  " + sum +
                        " < 0;\n  evidence.x * evidence.x == 4\n}\n");
  ASSERT_EQ(run({"compile", "t.policy"}).status, 0);
  const Outcome r = run({"analyze", "out.bin", "--max-memory", "64"}, kGiB);
  EXPECT_FALSE(r.signalled) << r.err;
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 8u) << r.out << r.err;
  for (const std::string& line : lines) {
    EXPECT_NE(line.find(": unknown (solver failed: out of memory)"), std::string::npos) << line;
  }
}

// With a product of two unknowns (so bit-vector integers) under 1 GB, a
// small template keeps its exact answers, and an evaluation of every x in
// -3000..3000 and at the edges of the range agrees with each of them.
TEST_F(Hostile, SmallProductTemplateKeepsItsExactAnswersWithinOneGigabyte) {
  write("t.policy",
        "name small\nevidence {\n  x: int\n}\nrequires {\n  evidence.x * evidence.x == 4;\n"
        "  not (evidence.x == 3);\n  evidence.x + 9223372036854775806 > 0\n}\n");
  ASSERT_EQ(run({"compile", "t.policy"}).status, 0);
  const Outcome r = run({"analyze", "out.bin", "--timeout", "5"}, kGiB);
  EXPECT_FALSE(r.signalled);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "template: can pass: yes (example can_pass)\n"
            "template: can fail: yes (example can_fail)\n"
            "constraint[0]: can fail: yes (example c0_fail)\n"
            "constraint[0]: can error: yes (integer overflow; example c0_error)\n"
            "constraint[0]: redundant: no (example c0_needed)\n"
            "constraint[1]: can fail: yes (example c1_fail)\n"
            "constraint[1]: can error: no\n"
            "constraint[1]: redundant: yes\n"
            "constraint[2]: can fail: yes (example c2_fail)\n"
            "constraint[2]: can error: yes (integer overflow; example c2_error)\n"
            "constraint[2]: redundant: no (example c2_needed)\n");

  std::string requests;
  std::vector<std::int64_t> xs{INT64_MIN,  INT64_MIN + 1, INT64_MAX,   INT64_MAX - 1,
                               3037000499, 3037000500,    -3037000499, -3037000500};
  for (std::int64_t x = -3000; x <= 3000; ++x) xs.push_back(x);
  for (std::int64_t x : xs) requests += "{\"evidence\": {\"x\": " + std::to_string(x) + "}}\n";
  write("requests.jsonl", requests);
  const Outcome decided = run({"eval", "out.bin", "--batch", "requests.jsonl"});
  // Per constraint: whether some request made it pass, fail, err.
  bool seen[3][3] = {};
  bool only_c1_failed = false;
  bool pass = false;
  for (const std::string& line : lines_of(decided.out)) {
    int outcomes = 0;
    bool c1_failed = false;
    for (int c = 0; c < 3; ++c) {
      const std::string at = "{\"index\":" + std::to_string(c) + ",\"outcome\":\"";
      const bool failed = line.find(at + "failed\"") != std::string::npos;
      const bool errored = line.find(at + "errored\"") != std::string::npos;
      seen[c][0] |= !failed && !errored;
      seen[c][1] |= failed;
      seen[c][2] |= errored;
      outcomes += failed || errored;
      c1_failed |= c == 1 && failed;
    }
    only_c1_failed |= outcomes == 1 && c1_failed;
    pass |= line.find("\"decision\":\"pass\"") != std::string::npos;
  }
  ASSERT_EQ(lines_of(decided.out).size(), xs.size());
  EXPECT_TRUE(pass && seen[0][1] && seen[0][2] && seen[1][1] && seen[2][1] && seen[2][2]);
  EXPECT_FALSE(seen[1][2]);      // constraint[1]: can error: no
  EXPECT_FALSE(only_c1_failed);  // constraint[1]: redundant: yes
}

// Every template of the end-to-end cases analyses within its bound under
// 1 GB, each line a finding.
TEST_F(Hostile, EveryCaseTemplateAnalysesWithinItsBounds) {
  std::size_t analysed = 0;
  for (const auto& entry : fs::directory_iterator(VERDANE_CASES_DIR)) {
    std::ifstream in(entry.path());
    std::string line, name, body;
    const auto flush = [&] {
      if (name.size() < 7 || name.compare(name.size() - 7, 7, ".policy") != 0) return;
      write("t.policy", body);
      if (run({"compile", "t.policy"}).status != 0) return;
      ++analysed;
      const Outcome r = run({"analyze", "out.bin", "--timeout", "1"}, kGiB);
      const std::vector<std::string> lines = lines_of(r.out);
      EXPECT_FALSE(r.signalled) << name;
      EXPECT_TRUE(r.status == 0 || r.status == 1) << name << ": " << r.err;
      EXPECT_LT(r.seconds, 3.0 * static_cast<double>(lines.size()) + 5) << name;
      for (const std::string& l : lines) EXPECT_TRUE(std::regex_match(l, kFinding)) << l;
    };
    while (std::getline(in, line)) {
      if (line.rfind("=== ", 0) == 0) {
        flush();
        name = line.rfind("=== file ", 0) == 0 ? line.substr(9) : "";
        body.clear();
      } else {
        body += line + "\n";
      }
    }
    flush();
  }
  EXPECT_GE(analysed, 10u);
}

}  // namespace
