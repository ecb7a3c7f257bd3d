// `verdane test` for the playground: one test file run against the template
// source the user is editing, which stands for whatever template the file
// names. The lines are exactly the command's.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testrun/run_tests.h"

extern "C" {

// Writes the output lines into `out` (malloc'd, `*size` bytes, freed by the
// caller with vd_dealloc) and returns the number of failures.
EMSCRIPTEN_KEEPALIVE std::uint32_t vd_run_tests(const char* file_name, const char* tests,
                                                std::size_t tests_size, const char* source,
                                                std::size_t source_size, char** out,
                                                std::size_t* size) {
  const std::string name(file_name);
  const std::string test_text(tests, tests_size);
  const std::string template_text(source, source_size);
  verdane::testrun::Files files;
  files.read_text = [&](const std::string& path) -> verdane::Result<std::string, std::string> {
    return path == name ? test_text : template_text;
  };
  files.read_bytes = [](const std::string&) -> verdane::Result<std::string, std::string> {
    return verdane::make_err(
        std::string("the playground runs test files against its template source only"));
  };
  std::string lines;
  const auto summary = verdane::testrun::run_tests(
      {name}, files, [&](std::string_view line) { lines.append(line); });
  *out = static_cast<char*>(std::malloc(lines.size() + 1));
  std::memcpy(*out, lines.data(), lines.size());
  *size = lines.size();
  return static_cast<std::uint32_t>(summary.failed);
}

}  // extern "C"
