// `eval --batch`: deciding every request of a JSON Lines file, streamed.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "driver/io.h"
#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::driver {

// The output line for the request on line `line` (1-based, counting every
// physical line): {"line":<n>,"decision":...} as Decision::to_json with the
// line first, or {"line":<n>,"error":"<problem>"} for a line that is not a
// request. Ends in a line feed.
std::string batch_line(std::uint64_t line, const api::Expected<api::Decision>& result);

// Decides every request line of the file `path` against `tmpl` (with
// `options`: --explain adds each outcome's explanation) on `jobs` threads and writes one batch_line
// per request to `out`, in input order. Lines end at a line feed; one carriage return before it is
// dropped; lines that hold nothing but spaces, tabs and carriage returns are skipped (they still
// count for the numbering); a last line without a line feed is a line. The file is read in pieces,
// and at most a few pieces per thread are held at once, so memory is bounded by the longest lines
// in flight, not by the file. Output is flushed whenever the input has to be waited for, so a
// request written to a pipe is answered before the next one arrives.
// Returns 0 when every request passed, 1 otherwise, or the error that
// stopped the run ("failed to read requests `<path>`: <io error>", "failed
// to write stdout: <io error>"); lines written before it stay written.
Result<int, std::string> run_batch(const api::Template& tmpl, const std::string& path,
                                   unsigned jobs, const api::EvalOptions& options, Stdout& out);

}  // namespace verdane::driver
