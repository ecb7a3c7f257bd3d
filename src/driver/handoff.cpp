#include "driver/handoff.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "driver/io.h"

#ifndef VERDANE_ANALYZER_FROM_BINDIR
#define VERDANE_ANALYZER_FROM_BINDIR "../libexec/verdane"
#endif

namespace verdane::driver {

namespace {

constexpr const char* kAnalyzer = "verdane-analyze";
constexpr const char* kServer = "verdane-serve";

std::string seconds_text(std::uint32_t ms) {
  std::string fraction = std::to_string(ms % 1000);
  fraction.insert(0, 3 - fraction.size(), '0');
  return std::to_string(ms / 1000) + "." + fraction;
}

}  // namespace

std::vector<std::string> analyzer_argv(const std::string& analyzer, const AnalyzeCommand& args) {
  std::vector<std::string> argv{analyzer, "analyze"};
  if (args.against) argv.push_back("--against=" + *args.against);
  if (args.examples) argv.push_back("--examples=" + *args.examples);
  argv.push_back("--timeout=" + seconds_text(args.timeout_ms));
  argv.push_back("--max-memory=" + std::to_string(args.max_memory_mib));
  argv.push_back("--");
  argv.push_back(args.bytecode);
  return argv;
}

namespace {

// Replaces this process with the helper executable `exe` (`what` names it in
// errors, e.g. "the analyzer"), given `argv` as its command line with the
// helper's path as argv[0].
Result<int, std::string> hand_over(const char* exe, const std::string& what, const char* command,
                                   std::vector<std::string> argv) {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) {
    return make_err("cannot locate " + what +
                    ": reading /proc/self/exe failed: " + os_error_text(errno));
  }
  std::string dir(self, static_cast<std::size_t>(n));
  dir.resize(dir.rfind('/') + 1);
  const std::string candidates[] = {dir + exe, dir + VERDANE_ANALYZER_FROM_BINDIR + "/" + exe};
  for (const std::string& path : candidates) {
    if (::access(path.c_str(), F_OK) != 0) continue;
    argv[0] = path;
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    ::execv(path.c_str(), pointers.data());
    return make_err("failed to run " + what + " `" + display_path(path) +
                    "`: " + os_error_text(errno));
  }
  std::string message = "`";
  message += command;
  message += "` needs " + what + " " + exe + ", which is not installed: neither `" +
             display_path(candidates[0]) + "` nor `" + display_path(candidates[1]) + "` exists";
  return make_err(std::move(message));
}

}  // namespace

Result<int, std::string> run_analyze(const AnalyzeCommand& args) {
  return hand_over(kAnalyzer, "the analyzer", "analyze", analyzer_argv(kAnalyzer, args));
}

Result<int, std::string> run_serve(int argc, const char* const* argv) {
  return hand_over(kServer, "the service", argv[1], std::vector<std::string>(argv, argv + argc));
}

}  // namespace verdane::driver
