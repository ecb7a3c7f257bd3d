// Hostile inputs through the built binary: inputs too large or too deep to
// keep as case files. Each run must end with the exact expected result and a
// bounded peak memory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

  Outcome run(std::vector<std::string> args) {
    const fs::path out_path = dir_ / ".out";
    const fs::path err_path = dir_ / ".err";
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(dir_.c_str()) != 0) _exit(127);
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

}  // namespace
