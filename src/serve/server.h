// The running service: the listening socket, the io threads, the signals
// (SIGHUP reloads the store; SIGTERM and SIGINT stop it gracefully) and the
// connections open now.
#pragma once

#include <string>

#include "serve/options.h"
#include "support/result.h"

namespace verdane::serve {

// A failure to start: its one line, and the exit status (1, or 2 for an
// address the options do not allow).
struct StartError {
  int status = 1;
  std::string message;
};

// Loads the store, listens, prints `listening on http(s)://HOST:PORT` and
// serves until SIGTERM or SIGINT; then finishes the requests in flight
// within the grace time and returns.
Status<StartError> serve(const Options& options);

}  // namespace verdane::serve
