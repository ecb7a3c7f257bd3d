// The test runner on in-memory files. The input is split at its first two
// NUL bytes into a test file, a template source and bytecode, which the
// runner reads as `t/cases.tests.json`, `t/t.policy` and `t/t.bin`; every
// other path fails to read. Whatever the files hold, the runner must write
// one line per case or per bad file and a summary that counts them.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "testrun/run_tests.h"

namespace {

std::string_view take_part(std::string_view& rest) {
  const std::size_t nul = rest.find('\0');
  const std::string_view part = rest.substr(0, nul);
  rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  return part;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string tests(take_part(rest));
  const std::string source(take_part(rest));
  const std::string bytecode(rest);
  const auto reader = [&](const std::string& path) -> verdane::Result<std::string, std::string> {
    if (path == "t/cases.tests.json") return tests;
    if (path == "t/t.policy") return source;
    if (path == "t/t.bin") return bytecode;
    return verdane::make_err(std::string("No such file or directory"));
  };
  const verdane::testrun::Files files{reader, reader};
  std::string out;
  const auto summary = verdane::testrun::run_tests(
      {"t/cases.tests.json"}, files, [&](std::string_view text) { out.append(text); });

  // Lines at the left margin are results; indented ones explain a failure.
  std::size_t ok = 0;
  std::size_t failed = 0;
  std::string last;
  for (std::size_t start = 0; start < out.size();) {
    const std::size_t end = out.find('\n', start);
    if (end == std::string::npos) std::abort();  // every line ends
    const std::string_view line(out.data() + start, end - start);
    if (line.rfind("ok t/cases.tests.json: ", 0) == 0) ++ok;
    if (line.rfind("FAIL t/cases.tests.json: ", 0) == 0) ++failed;
    last = line;
    start = end + 1;
  }
  if (ok != summary.passed || failed != summary.failed || failed + ok == 0) std::abort();
  if (last != std::to_string(ok) + " passed, " + std::to_string(failed) + " failed") std::abort();
  return 0;
}
