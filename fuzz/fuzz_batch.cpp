// `eval --batch` on any request file: the input is written to a file and
// decided through the batch path against a fixed template, with the first
// byte choosing the number of threads and whether to explain. Every output
// line must be one JSON object naming its input line, in ascending order.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "driver/batch.h"
#include "driver/io.h"
#include "verdane/verdane.h"

namespace {

constexpr std::string_view kTemplate = R"(name batch
intent {
  amount: int
  payee: string
  on: optional date
}
evidence {
  balance: int
  blocked: set<string>
  holidays: set<date>
}
requires {
  0 < intent.amount <= evidence.balance;
  intent.payee not in evidence.blocked;
  optional: intent.on not in evidence.holidays;
  intent.amount * evidence.balance > -9223372036854775807
}
)";

const verdane::api::Template& batch_template() {
  static const verdane::api::Template tmpl = [] {
    auto compiled = verdane::api::compile(kTemplate);
    if (!compiled) std::abort();
    return std::move(compiled).value();
  }();
  return tmpl;
}

// Standard output goes to a memory file that each run reads back; the
// requests to another.
struct Files {
  int out = -1;
  int in = -1;
  std::string requests;  // the path of `in`
};

const Files& files() {
  static const Files f = [] {
    Files made;
    made.out = ::memfd_create("batch-out", 0);
    if (made.out < 0 || ::dup2(made.out, STDOUT_FILENO) < 0) std::abort();
    made.in = ::memfd_create("batch-in", 0);
    if (made.in < 0) std::abort();
    made.requests = "/proc/self/fd/" + std::to_string(made.in);
    return made;
  }();
  return f;
}

void must(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Files& f = files();
  const std::string_view requests(reinterpret_cast<const char*>(data) + 1, size - 1);
  must(::ftruncate(f.in, 0) == 0);
  must(::pwrite(f.in, requests.data(), requests.size(), 0) ==
       static_cast<ssize_t>(requests.size()));
  const unsigned jobs = 1 + (data[0] & 1);
  const verdane::api::EvalOptions options{(data[0] & 2) != 0};
  must(::ftruncate(STDOUT_FILENO, 0) == 0 && ::lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
  verdane::driver::Stdout out;
  auto status = verdane::driver::run_batch(batch_template(), f.requests, jobs, options, out);
  must(static_cast<bool>(status));

  const off_t length = ::lseek(STDOUT_FILENO, 0, SEEK_CUR);
  std::string text(static_cast<std::size_t>(length), '\0');
  must(::pread(STDOUT_FILENO, text.data(), text.size(), 0) == length);
  std::uint64_t previous = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    must(end != std::string::npos);
    const std::string_view line(text.data() + start, end - start);
    must(!verdane::api::check_json(line).has_value());
    constexpr std::string_view kHead = "{\"line\":";
    must(line.rfind(kHead, 0) == 0);
    const std::uint64_t number = std::strtoull(line.data() + kHead.size(), nullptr, 10);
    must(number > previous);
    previous = number;
    start = end + 1;
  }
  return 0;
}
