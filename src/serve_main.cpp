// verdane-serve: the HTTP decision service, in an executable of its own so
// that `verdane` itself links no network or TLS library. `verdane serve`
// hands over to it with the same arguments (driver/handoff.h).
#include <unistd.h>

#include <csignal>
#include <string_view>
#include <variant>

#include "serve/log_verify.h"
#include "serve/options.h"
#include "serve/server.h"
#include "support/line_text.h"
#include "support/write_all.h"

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  using namespace verdane::serve;
  if (argc > 1 && std::string_view(argv[1]) == "log") {
    std::string out, err;
    const int status = log_command(argc, argv, out, err);
    verdane::write_or_drop(STDOUT_FILENO, out);
    verdane::write_or_drop(STDERR_FILENO, err);
    return status;
  }
  auto parsed = parse_options(argc, argv);
  if (auto* exit = std::get_if<OptionsExit>(&parsed)) {
    verdane::write_or_drop(STDOUT_FILENO, exit->out);
    verdane::write_or_drop(STDERR_FILENO, exit->err);
    return exit->status;
  }
  auto served = serve(std::get<Options>(parsed));
  if (!served) {
    verdane::write_or_drop(STDERR_FILENO,
                           verdane::escape_line_breaks(served.error().message) + "\n");
    return served.error().status;
  }
  return 0;
}
