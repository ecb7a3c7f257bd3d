// The command line of `verdane replay`.
#include <charconv>
#include <span>

#include "driver/io.h"
#include "replay/replay.h"
#include "support/line_text.h"
#include "support/utf8.h"

namespace verdane::replay {

namespace {

constexpr std::string_view kUsage =
    "verdane replay <LOG>... --template <NEW_BYTECODE> [--only <TEMPLATE_ID>] [--jobs <N>] "
    "[--changes <OUT.jsonl>] [--format <FORMAT>] [--skip-bad-lines]";

constexpr std::string_view kHelp =
    "Decide the requests of decision logs again under another template and count what would have "
    "been decided differently\n"
    "\n"
    "Usage: verdane replay <LOG>... --template <NEW_BYTECODE> [OPTIONS]\n"
    "\n"
    "Arguments:\n"
    "  <LOG>...  Decision log files, read in the order given (e.g. decisions.log.2 decisions.log.1 "
    "decisions.log)\n"
    "\n"
    "Options:\n"
    "      --template <NEW_BYTECODE>  The bytecode to decide the logged requests with\n"
    "      --only <TEMPLATE_ID>       Replay only the lines this template decided\n"
    "      --jobs <N>                 Decide on N threads (1 to 256); the output stays the same\n"
    "      --changes <OUT.jsonl>      Write one JSON line per decision that changed\n"
    "      --format <FORMAT>          `line` (the default) or `json`: the summary as one JSON "
    "object\n"
    "      --skip-bad-lines           Count a line that is not a log line and go on, instead of "
    "stopping\n"
    "  -h, --help                     Print help\n";

struct UsageError {
  std::string message;
};

std::string usage_error(const std::string& message) {
  return "error: " + escape_line_breaks(utf8::to_lossy(message)) +
         "\n\nUsage: " + std::string(kUsage) +
         "\n\nFor more information, try 'verdane replay --help'.\n";
}

// Options given as `--name value` or `--name=value`.
Result<Options, std::string> parse(std::span<const char* const> args, bool& help) {
  Options o;
  bool have_template = false, have_jobs = false, have_format = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "-h" || arg == "--help") {
      help = true;
      return o;
    }
    if (arg.size() < 2 || arg.substr(0, 2) != "--" || arg == "--") {
      if (arg == "--") {
        for (++i; i < args.size(); ++i) o.logs.emplace_back(args[i]);
        break;
      }
      if (arg.empty()) return make_err(std::string("a log path cannot be empty"));
      o.logs.emplace_back(arg);
      continue;
    }
    std::string_view name = arg;
    std::optional<std::string_view> inline_value;
    if (const std::size_t eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      inline_value = arg.substr(eq + 1);
    }
    if (name == "--skip-bad-lines") {
      if (inline_value) return make_err("unexpected value for '" + std::string(name) + "'");
      o.skip_bad_lines = true;
      continue;
    }
    if (name != "--template" && name != "--only" && name != "--jobs" && name != "--changes" &&
        name != "--format") {
      return make_err("unexpected argument '" + std::string(arg) + "'");
    }
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      return make_err("a value is required for '" + std::string(name) + "' but none was supplied");
    }
    const auto once = [&](bool& seen) -> Status<std::string> {
      if (seen) return make_err("the argument '" + std::string(name) + "' cannot be used twice");
      seen = true;
      return ok_status<std::string>();
    };
    bool changes_seen = o.changes_path.has_value(), only_seen = o.only.has_value();
    if (name == "--template") {
      if (auto s = once(have_template); !s) return make_err(s.error());
      if (value.empty()) return make_err(std::string("the template path cannot be empty"));
      o.template_path = value;
    } else if (name == "--only") {
      if (auto s = once(only_seen); !s) return make_err(s.error());
      if (auto id = api::parse_id(value); !id) {
        return make_err("invalid value '" + value + "' for '--only': " + id.error().to_string());
      }
      o.only = value;
    } else if (name == "--jobs") {
      if (auto s = once(have_jobs); !s) return make_err(s.error());
      unsigned jobs = 0;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), jobs);
      if (ec != std::errc() || end != value.data() + value.size() || jobs < 1 || jobs > 256) {
        return make_err("invalid value '" + value + "' for '--jobs': expected 1 to 256");
      }
      o.jobs = jobs;
    } else if (name == "--changes") {
      if (auto s = once(changes_seen); !s) return make_err(s.error());
      if (value.empty()) return make_err(std::string("the changes path cannot be empty"));
      o.changes_path = value;
    } else {
      if (auto s = once(have_format); !s) return make_err(s.error());
      if (value != "line" && value != "json") {
        return make_err("invalid value '" + value + "' for '--format': expected `line` or `json`");
      }
      o.json = value == "json";
    }
  }
  if (o.logs.empty()) return make_err(std::string("at least one decision log is required"));
  if (!have_template) return make_err(std::string("the argument '--template' is required"));
  return o;
}

}  // namespace

int replay_command(int argc, const char* const* argv, std::string& out, const Note& note) {
  bool help = false;
  auto options = parse(std::span(argv, static_cast<std::size_t>(argc)).subspan(2), help);
  if (help) {
    out = kHelp;
    return 0;
  }
  if (!options) {
    note(usage_error(options.error()));
    return 2;
  }
  auto tmpl = driver::read_template(options->template_path);
  if (!tmpl) {
    note(escape_line_breaks(tmpl.error()) + "\n");
    return 1;
  }
  auto summary = replay_logs(*tmpl, *options, note);
  if (!summary) {
    note(escape_line_breaks(summary.error()) + "\n");
    return 1;
  }
  if (!*summary) return 1;  // a bad line stopped the run
  out = options->json ? summary_json(**summary) : summary_text(**summary);
  return (*summary)->any_changed() ? 1 : 0;
}

}  // namespace verdane::replay
