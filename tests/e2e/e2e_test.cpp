// End-to-end cases: each file in cases/ sets up input files in a fresh
// temporary directory, runs the built verdane binary there one or more times
// and states exactly what each run must print and return.
//
// Case file format (a line starting with "=== " opens a section; everything up
// to the next such line is its body; lines before the first section are
// comments):
//
//   === file NAME            text file; every body line keeps its line feed
//                            (NAME may name folders, which are created)
//   === file-noeol NAME      the same without the final line feed
//   === hexfile NAME         bytes written as hex pairs, whitespace ignored
//   === run [stdout=closed|stdout=broken-pipe]
//                            one argument per body line ("hex:6162" gives raw
//                            bytes); runs verdane in the case directory
//   === exit N               expected exit status of the run above
//   === stdout / === stderr  expected output, exact (absent means empty)
//   === stdout-noeol / === stderr-noeol   the same without the final line feed
//   === expect-hexfile NAME  the file must hold these bytes after the run
//   === expect-file NAME     the file must hold this text after the run
//   === expect-missing NAME  the file must not exist after the run
//
// Run with VERDANE_REGEN=1 to rewrite the exit, stdout and stderr sections of
// every case from what the binary does now; review the diff before keeping it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Section {
  std::string kind;
  std::string arg;
  std::vector<std::string> lines;
};

std::vector<Section> parse_case(const std::string& text, std::string& preamble) {
  std::vector<Section> sections;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("=== ", 0) == 0) {
      Section s;
      std::string head = line.substr(4);
      const auto space = head.find(' ');
      s.kind = head.substr(0, space);
      if (space != std::string::npos) s.arg = head.substr(space + 1);
      sections.push_back(std::move(s));
    } else if (sections.empty()) {
      preamble += line + "\n";
    } else {
      sections.back().lines.push_back(line);
    }
  }
  return sections;
}

std::string join_lines(const std::vector<std::string>& lines, bool eol) {
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  if (!eol && !out.empty()) out.pop_back();
  return out;
}

std::string from_hex(const std::string& text) {
  std::string out;
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c))) digits.push_back(c);
  }
  for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string to_hex(const std::string& bytes) {
  static const char* kDigits = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (i != 0) out.push_back(i % 16 == 0 ? '\n' : ' ');
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_all(const fs::path& p, const std::string& data) {
  fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << data;
}

struct RunResult {
  int exit_status = -1;
  std::string out;
  std::string err;
};

RunResult run_binary(const fs::path& dir, const std::vector<std::string>& args,
                     const std::string& mode) {
  const fs::path out_path = dir / ".stdout";
  const fs::path err_path = dir / ".stderr";
  int pipe_fds[2] = {-1, -1};
  if (mode == "stdout=broken-pipe") {
    if (::pipe(pipe_fds) != 0) return {};
    ::close(pipe_fds[0]);  // nobody will ever read
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) _exit(127);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(err, 2);
    if (mode == "stdout=closed") {
      ::close(1);  // after every open, so that no other file takes descriptor 1
    } else if (mode == "stdout=broken-pipe") {
      ::dup2(pipe_fds[1], 1);
    } else {
      const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
    }
    std::vector<char*> argv;
    std::string bin = VERDANE_BINARY;
    argv.push_back(bin.data());
    std::vector<std::string> copies = args;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(bin.c_str(), argv.data());
    _exit(127);
  }
  if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  RunResult r;
  r.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = fs::exists(out_path) ? read_all(out_path) : "";
  r.err = read_all(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return r;
}

// Renders expected output as a section, choosing the no-eol form if needed.
void add_output_section(std::vector<Section>& out, const std::string& name,
                        const std::string& text) {
  if (text.empty()) return;
  Section s;
  const bool eol = text.back() == '\n';
  s.kind = eol ? name : name + "-noeol";
  std::string body = eol ? text.substr(0, text.size() - 1) : text;
  std::istringstream in(body);
  std::string line;
  while (std::getline(in, line)) s.lines.push_back(line);
  if (!body.empty() && body.back() == '\n') s.lines.push_back("");
  if (body.empty()) s.lines.push_back("");
  out.push_back(std::move(s));
}

std::vector<std::string> case_files() {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(VERDANE_CASES_DIR)) {
    if (entry.path().extension() == ".case") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class E2E : public testing::TestWithParam<std::string> {};

TEST_P(E2E, Case) {
  const fs::path case_path = fs::path(VERDANE_CASES_DIR) / GetParam();
  std::string preamble;
  std::vector<Section> sections = parse_case(read_all(case_path), preamble);
  const bool regen = std::getenv("VERDANE_REGEN") != nullptr;

  fs::path dir = fs::temp_directory_path() / ("verdane-e2e-XXXXXX");
  std::string tmpl = dir.string();
  ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
  dir = tmpl;

  std::vector<Section> regenerated;
  std::size_t run_count = 0;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const Section& s = sections[i];
    if (s.kind == "file" || s.kind == "file-noeol") {
      write_all(dir / s.arg, join_lines(s.lines, s.kind == "file"));
    } else if (s.kind == "hexfile") {
      write_all(dir / s.arg, from_hex(join_lines(s.lines, true)));
    }
    if (s.kind != "run") {
      const bool is_expectation =
          s.kind == "exit" || s.kind.rfind("stdout", 0) == 0 || s.kind.rfind("stderr", 0) == 0;
      if (!(regen && is_expectation)) regenerated.push_back(s);
      continue;
    }
    ++run_count;
    std::vector<std::string> args;
    for (const auto& line : s.lines) {
      args.push_back(line.rfind("hex:", 0) == 0 ? from_hex(line.substr(4)) : line);
    }
    const RunResult r = run_binary(dir, args, s.arg);
    regenerated.push_back(s);

    // Expectations belong to this run until the next run section.
    std::size_t j = i + 1;
    bool saw_exit = false;
    std::string want_out, want_err;
    for (; j < sections.size() && sections[j].kind != "run"; ++j) {
      const Section& e = sections[j];
      if (e.kind == "exit") {
        saw_exit = true;
        if (!regen) {
          EXPECT_EQ(r.exit_status, std::stoi(e.arg)) << "run " << run_count;
        }
      } else if (e.kind == "stdout" || e.kind == "stdout-noeol") {
        want_out = join_lines(e.lines, e.kind == "stdout");
      } else if (e.kind == "stderr" || e.kind == "stderr-noeol") {
        want_err = join_lines(e.lines, e.kind == "stderr");
      } else if (e.kind == "expect-hexfile" && !regen) {
        ASSERT_TRUE(fs::exists(dir / e.arg)) << e.arg;
        EXPECT_EQ(to_hex(read_all(dir / e.arg)), to_hex(from_hex(join_lines(e.lines, true))))
            << e.arg << " after run " << run_count;
      } else if (e.kind == "expect-file" && !regen) {
        ASSERT_TRUE(fs::exists(dir / e.arg)) << e.arg;
        EXPECT_EQ(read_all(dir / e.arg), join_lines(e.lines, true)) << e.arg;
      } else if (e.kind == "expect-missing" && !regen) {
        EXPECT_FALSE(fs::exists(dir / e.arg)) << e.arg << " after run " << run_count;
      }
    }
    if (regen) {
      Section exit_section;
      exit_section.kind = "exit";
      exit_section.arg = std::to_string(r.exit_status);
      regenerated.push_back(exit_section);
      add_output_section(regenerated, "stdout", r.out);
      add_output_section(regenerated, "stderr", r.err);
    } else {
      EXPECT_TRUE(saw_exit) << "run " << run_count << " has no exit section";
      EXPECT_EQ(r.out, want_out) << "stdout of run " << run_count;
      EXPECT_EQ(r.err, want_err) << "stderr of run " << run_count;
    }
    // Files written between runs belong to the next run; process them in order.
    for (std::size_t k = i + 1; k < j; ++k) {
      if (sections[k].kind.rfind("expect-", 0) != 0 && sections[k].kind != "exit" &&
          sections[k].kind.rfind("stdout", 0) != 0 && sections[k].kind.rfind("stderr", 0) != 0) {
        const Section& f = sections[k];
        if (f.kind == "file" || f.kind == "file-noeol") {
          write_all(dir / f.arg, join_lines(f.lines, f.kind == "file"));
        } else if (f.kind == "hexfile") {
          write_all(dir / f.arg, from_hex(join_lines(f.lines, true)));
        }
      }
      if (!regen || (sections[k].kind != "exit" && sections[k].kind.rfind("stdout", 0) != 0 &&
                     sections[k].kind.rfind("stderr", 0) != 0)) {
        regenerated.push_back(sections[k]);
      }
    }
    i = j - 1;
  }
  EXPECT_GT(run_count, 0u) << "case has no run section";

  if (regen) {
    std::string text = preamble;
    for (const auto& s : regenerated) {
      text += "=== " + s.kind + (s.arg.empty() ? "" : " " + s.arg) + "\n";
      for (const auto& l : s.lines) text += l + "\n";
    }
    write_all(case_path, text);
  }
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, E2E, testing::ValuesIn(case_files()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 5);
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
