// Differential check of `eval --batch`: every single `eval` run of the
// end-to-end cases (its template and documents) is put on one line of a
// requests file, and each output line of the batch must be what the single
// run prints with --format json, with the line number first; where the single
// run stops with an error (a document that is not JSON), the batch line must
// be an error line. The same batch with --jobs 2 must write the same bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const fs::path& p, const std::string& data) {
  std::ofstream(p, std::ios::binary | std::ios::trunc) << data;
}

std::string from_hex(const std::string& text) {
  std::string out, digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs the binary in `dir` with `args`; standard error is discarded.
Outcome run(const fs::path& dir, const std::vector<std::string>& args) {
  const fs::path out_path = dir / ".out";
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) _exit(127);
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(out, 1);
    ::dup2(null, 2);
    std::vector<char*> argv{const_cast<char*>(VERDANE_BINARY)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(VERDANE_BINARY, argv.data());
    _exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, read_all(out_path)};
}

// The sections of a case file that matter here: its files and its runs.
struct Case {
  std::map<std::string, std::string> files;
  std::vector<std::vector<std::string>> runs;
};

Case parse_case(const std::string& text) {
  Case c;
  std::istringstream in(text);
  std::string line, kind, arg, body;
  const auto close = [&] {
    if (kind == "file" || kind == "file-noeol") {
      if (kind == "file-noeol" && !body.empty()) body.pop_back();
      c.files[arg] = body;
    } else if (kind == "hexfile") {
      c.files[arg] = from_hex(body);
    }
  };
  while (std::getline(in, line)) {
    if (line.rfind("=== ", 0) == 0) {
      close();
      const std::string head = line.substr(4);
      const auto space = head.find(' ');
      kind = head.substr(0, space);
      arg = space == std::string::npos ? "" : head.substr(space + 1);
      body.clear();
      if (kind == "run") c.runs.emplace_back();
    } else if (!kind.empty()) {
      body += line + "\n";
      if (kind == "run" && arg.empty()) c.runs.back().push_back(line);
    }
  }
  close();
  return c;
}

// A single eval run of plain form: its bytecode, evidence and intent files.
struct Single {
  std::vector<std::string> args;
  std::string bytecode, evidence, intent;
};

std::optional<Single> single_eval(const std::vector<std::string>& args) {
  if (args.empty() || args[0] != "eval") return std::nullopt;
  Single s{args, "", "", ""};
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--evidence" && i + 1 < args.size()) {
      s.evidence = args[++i];
    } else if (args[i] == "--intent" && i + 1 < args.size()) {
      s.intent = args[++i];
    } else if (args[i].rfind("-", 0) == 0 || args[i].rfind("hex:", 0) == 0 || !s.bytecode.empty()) {
      return std::nullopt;  // other options, raw bytes: not a plain decision
    } else {
      s.bytecode = args[i];
    }
  }
  if (s.bytecode.empty() || s.evidence.empty()) return std::nullopt;
  return s;
}

// A document on one line: line breaks are JSON whitespace outside strings,
// and inside strings they make the document invalid either way.
std::string one_line(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(BatchDifferential, EveryCaseDecisionMatchesItsSingleRun) {
  const fs::path root = fs::temp_directory_path() / ("verdane_batch_" + std::to_string(::getpid()));
  std::size_t compared = 0;
  std::size_t errors = 0;
  for (const auto& entry : fs::directory_iterator(VERDANE_CASES_DIR)) {
    if (entry.path().extension() != ".case") continue;
    const Case c = parse_case(read_all(entry.path()));
    const fs::path dir = root / entry.path().stem();
    fs::create_directories(dir);
    for (const auto& [name, data] : c.files) write_all(dir / name, data);

    // The case's own eval runs, and for each bytecode they use every pair
    // of the case's JSON documents (no intent, or one, with one evidence).
    std::vector<std::vector<std::string>> evals;
    std::vector<std::string> bytecodes;
    for (const auto& args : c.runs) {
      if (!args.empty() && args[0] == "compile") (void)run(dir, args);
      const auto single = single_eval(args);
      if (!single) continue;
      evals.push_back(args);
      if (std::find(bytecodes.begin(), bytecodes.end(), single->bytecode) == bytecodes.end()) {
        bytecodes.push_back(single->bytecode);
      }
    }
    std::vector<std::string> documents;
    for (const auto& [name, data] : c.files) {
      if (fs::path(name).extension() == ".json") documents.push_back(name);
    }
    for (const std::string& bytecode : bytecodes) {
      for (const std::string& evidence : documents) {
        evals.push_back({"eval", bytecode, "--evidence", evidence});
        for (const std::string& intent : documents) {
          evals.push_back({"eval", bytecode, "--evidence", evidence, "--intent", intent});
        }
      }
    }

    // Requests grouped by bytecode, with what the single runs printed.
    std::map<std::string, std::vector<std::pair<std::string, Outcome>>> batches;
    for (const auto& args : evals) {
      const auto single = single_eval(args);
      if (!single || !fs::exists(dir / single->evidence) ||
          (!single->intent.empty() && !fs::exists(dir / single->intent))) {
        continue;
      }
      std::string line = "{";
      if (!single->intent.empty()) {
        line += "\"intent\":" + one_line(read_all(dir / single->intent)) + ",";
      }
      line += "\"evidence\":" + one_line(read_all(dir / single->evidence)) + "}";
      std::vector<std::string> json_args = single->args;
      json_args.insert(json_args.end(), {"--format", "json"});
      batches[single->bytecode].emplace_back(line, run(dir, json_args));
    }

    for (const auto& [bytecode, requests] : batches) {
      std::string file;
      for (const auto& [line, single] : requests) file += line + "\n";
      write_all(dir / "requests.jsonl", file);
      const Outcome batch = run(dir, {"eval", bytecode, "--batch", "requests.jsonl"});
      const Outcome parallel =
          run(dir, {"eval", bytecode, "--batch", "requests.jsonl", "--jobs", "2"});
      EXPECT_EQ(parallel.out, batch.out) << entry.path() << " " << bytecode;
      const std::vector<std::string> out = lines_of(batch.out);
      ASSERT_EQ(out.size(), requests.size()) << entry.path() << " " << bytecode;
      bool all_passed = true;
      for (std::size_t i = 0; i < out.size(); ++i) {
        const auto& [line, single] = requests[i];
        const std::string prefix = "{\"line\":" + std::to_string(i + 1) + ",";
        if (single.status == 1 && single.out.empty()) {
          // The single run stopped with an error on standard error.
          EXPECT_EQ(out[i].rfind(prefix + "\"error\":", 0), 0u) << line << "\n" << out[i];
          ++errors;
          all_passed = false;
        } else {
          EXPECT_EQ(out[i] + "\n", prefix + single.out.substr(1)) << entry.path() << "\n" << line;
          all_passed = all_passed && single.status == 0;
          ++compared;
        }
      }
      EXPECT_EQ(batch.status, all_passed ? 0 : 1) << entry.path() << " " << bytecode;
    }
  }
  fs::remove_all(root);
  // The cases hold dozens of decisions; make sure they were found.
  EXPECT_GE(compared, 300u);
  EXPECT_GE(errors, 30u);
  std::cout << "compared " << compared << " decisions and " << errors << " errors\n";
}

}  // namespace
