#include "driver/args.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <forward_list>
#include <limits>
#include <memory_resource>

#include "support/utf8.h"

namespace verdane::driver::args {

namespace {

// How an argument is read before it is matched against the declarations.
enum class Kind : unsigned char { Separator, Subcommand, Long, Short, Plain };

// Every text the parser holds is a view of an argument: of argv, or of one
// it split off a group of short flags (kept by the parser).
struct Unexpected {
  Kind kind;
  std::string_view text;
};

// A value given to a command: to its positional, or to its option of that
// index.
constexpr std::size_t kPositional = SIZE_MAX;
struct Given {
  std::size_t to;
  std::string_view text;
};

// What the arguments gave one command (or the program itself).
struct Entered {
  explicit Entered(std::pmr::memory_resource* memory)
      : help(memory), values(memory), unexpected(memory) {}

  int times = 0;  // how often the command line entered it
  std::pmr::vector<std::string_view> help;
  // Values of the positional and the options, all in one list in the order
  // given: a command line has few.
  std::pmr::vector<Given> values;
  std::pmr::vector<Unexpected> unexpected;

  std::size_t count(std::size_t to) const {
    return static_cast<std::size_t>(
        std::count_if(values.begin(), values.end(), [to](const Given& g) { return g.to == to; }));
  }
  // The first value given to `to`; the command has one.
  std::string_view first(std::size_t to) const {
    return std::find_if(values.begin(), values.end(), [to](const Given& g) { return g.to == to; })
        ->text;
  }
};

bool valid_first_char(char c) { return c != '-' && c != '!' && c != ' ' && c != '\n'; }

// Why `value` fails `check`; empty when it passes.
std::string_view check_failure(Check check, std::string_view value) {
  switch (check) {
    case Check::None:
      return {};
    case Check::NonEmpty:
      return value.empty() ? "a path must not be empty" : "";
    case Check::Utf8:
      return utf8::validate(value) ? "the value must be valid UTF-8" : "";
    case Check::Seconds:
      return parse_seconds(value) ? "" : "the value must be a positive number of seconds";
    case Check::Mebibytes:
      return parse_mebibytes(value) ? ""
                                    : "the value must be a whole number of MiB from 64 to 1048576";
  }
  return {};
}

// The truth of a flag's value, as in `--version=yes`: nullopt when the value
// means neither.
std::optional<bool> flag_truth(std::string_view text) {
  std::string value(text);
  if (value == "true") return true;
  if (value == "false") return false;
  for (char& c : value) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (value.size() == 1) {
    const char c = value[0];
    if (c >= '1' && c <= '9') return true;
    if (c == '0' || c == 'f' || c == 'n' || c == '-') return false;
    if (c == 't' || c == 'y' || c == '+') return true;
    return std::nullopt;
  }
  if (value == "on" || value == "yes" || value == "enable") return true;
  if (value == "off" || value == "no" || value == "disable") return false;
  // A decimal number, after optional white space and sign; what follows the
  // digits is ignored. Positive means true; a number too large for 64 bits
  // counts by its sign.
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || (value[i] >= '\t' && value[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  const std::size_t digits = i;
  std::uint64_t magnitude = 0;
  bool overflow = false;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    const unsigned d = static_cast<unsigned>(value[i] - '0');
    if (magnitude > (std::numeric_limits<std::uint64_t>::max() - d) / 10) overflow = true;
    if (!overflow) magnitude = magnitude * 10 + d;
  }
  if (i == digits) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  if (overflow || magnitude > limit) return value[0] != '-';
  return !negative && magnitude > 0;
}

std::string joined(std::span<const std::string_view> items, std::string_view separator) {
  std::string out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

class Parser {
 public:
  Parser(const ProgramDecl& decl, int argc, const char* const* argv) : decl_(decl) {
    commands_.reserve(decl.commands.size());
    for (std::size_t c = 0; c < decl.commands.size(); ++c) commands_.emplace_back(&memory_);
    // Arguments are consumed from the back.
    if (argc > 1) args_.reserve(static_cast<std::size_t>(argc - 1));
    for (int i = argc - 1; i > 0; --i) args_.emplace_back(argv[i]);
  }

  Outcome run() {
    bool positional_only = false;
    while (!args_.empty() && !stop_) program_argument(positional_only);
    if (!stop_) finish();
    if (stop_) return std::move(*stop_);
    Parsed parsed;
    parsed.command = *selected_;
    Entered& entered = commands_[*selected_];
    if (entered.count(kPositional) > 0) parsed.positional.emplace(entered.first(kPositional));
    if (const auto& positional = decl_.commands[*selected_].positional;
        positional && positional->values == Values::Many) {
      for (const Given& g : entered.values) {
        if (g.to == kPositional) parsed.positionals.emplace_back(g.text);
      }
    }
    parsed.options.reserve(decl_.commands[*selected_].options.size());
    const auto& options = decl_.commands[*selected_].options;
    for (std::size_t i = 0; i < options.size(); ++i) {
      if (entered.count(i) == 0) {
        parsed.options.emplace_back();
      } else if (options[i].values == Values::None) {
        parsed.options.push_back(flag_truth(entered.first(i)).value_or(false)
                                     ? std::optional<std::string>("true")
                                     : std::nullopt);
      } else {
        parsed.options.emplace_back(entered.first(i));
      }
    }
    return parsed;
  }

 private:
  static constexpr std::size_t kProgram = SIZE_MAX;

  Entered& state(std::size_t owner) { return owner == kProgram ? program_ : commands_[owner]; }

  // The first command, in declaration order, that the arguments entered.
  std::optional<std::size_t> first_entered() const {
    for (std::size_t c = 0; c < commands_.size(); ++c) {
      if (commands_[c].times > 0) return c;
    }
    return std::nullopt;
  }

  // Ends parsing with a usage error; the first one found stands.
  void usage_error(std::string message) {
    if (!stop_) stop_ = UsageError{std::move(message), first_entered()};
  }

  std::optional<std::size_t> command_named(std::string_view name) const {
    for (std::size_t c = 0; c < decl_.commands.size(); ++c) {
      if (decl_.commands[c].name == name) return c;
    }
    return std::nullopt;
  }

  // A subcommand name starts a subcommand only while none has been selected
  // and that one has not been entered yet.
  bool starts_subcommand(std::string_view arg) const {
    if (selected_) return false;
    const auto c = command_named(arg);
    return c && commands_[*c].times == 0;
  }

  Kind classify(std::string_view arg) const {
    if (arg == "--") return Kind::Separator;
    if (starts_subcommand(arg)) return Kind::Subcommand;
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-' && valid_first_char(arg[2])) {
      return Kind::Long;
    }
    if (arg.size() > 1 && arg[0] == '-' && valid_first_char(arg[1])) {
      // `-5` is a value, not a flag: no flag has a digit for a name.
      return arg[1] >= '0' && arg[1] <= '9' ? Kind::Plain : Kind::Short;
    }
    return Kind::Plain;
  }

  void program_argument(bool& positional_only) {
    const std::string_view arg = args_.back();
    switch (positional_only ? Kind::Plain : classify(arg)) {
      case Kind::Separator:
        args_.pop_back();
        positional_only = true;
        program_.unexpected.push_back({Kind::Separator, arg});
        return;
      case Kind::Subcommand: {
        args_.pop_back();
        const std::size_t c = *command_named(arg);
        selected_ = c;
        enter(c);
        return;
      }
      case Kind::Long:
      case Kind::Short:
        option(kProgram, classify(arg));
        return;
      case Kind::Plain: {
        // After `--` a subcommand name still enters that command, but does
        // not select it.
        const auto c = command_named(arg);
        args_.pop_back();
        if (c && !selected_) {
          enter(*c);
        } else {
          program_.unexpected.push_back({Kind::Plain, arg});
        }
        return;
      }
    }
  }

  void enter(std::size_t c) {
    // Room for a value per argument left: only split short flags give more.
    if (commands_[c].times++ == 0) commands_[c].values.reserve(args_.size());
    bool positional_only = false;
    while (!args_.empty() && !stop_ && command_argument(c, positional_only)) {
    }
  }

  bool wants_positional(std::size_t c) const {
    const auto& decl = decl_.commands[c].positional;
    return decl && (decl->values == Values::Many || commands_[c].count(kPositional) == 0);
  }

  // Returns false when the argument belongs to the program instead.
  bool command_argument(std::size_t c, bool& positional_only) {
    const std::string_view arg = args_.back();
    switch (positional_only ? Kind::Plain : classify(arg)) {
      case Kind::Separator: {
        args_.pop_back();
        positional_only = true;
        if (!wants_positional(c)) return false;
        commands_[c].unexpected.push_back({Kind::Separator, arg});
        return true;
      }
      case Kind::Subcommand:
        // A command still waiting for its required positional takes the name
        // as its value.
        if (wants_positional(c) && decl_.commands[c].positional->required) {
          return positional(c);
        }
        return false;
      case Kind::Long:
      case Kind::Short:
        option(c, classify(arg));
        return true;
      case Kind::Plain:
        return positional(c);
    }
    return true;
  }

  bool positional(std::size_t c) {
    const std::string_view arg = args_.back();
    if (wants_positional(c)) {
      commands_[c].values.push_back({kPositional, arg});
      args_.pop_back();
      return true;
    }
    if (command_named(arg) && !selected_) return false;
    commands_[c].unexpected.push_back({Kind::Plain, arg});
    args_.pop_back();
    return true;
  }

  // An argument that starts with a dash, for the program or command `owner`.
  void option(std::size_t owner, Kind kind) {
    const std::string_view arg = args_.back();
    std::string_view name;
    std::string_view value;
    std::string_view rest;  // of `-hV`, what follows the first flag
    if (kind == Kind::Long) {
      const std::size_t eq = arg.find('=');
      name = arg.substr(2, eq == std::string_view::npos ? std::string_view::npos : eq - 2);
      if (eq != std::string_view::npos) value = arg.substr(eq + 1);
    } else {
      name = arg.substr(1, 1);
      rest = arg.substr(2);
    }
    const auto is = [&](std::string_view short_name, std::string_view long_name) {
      return kind == Kind::Long ? name == long_name : name == short_name;
    };
    Entered& entered = state(owner);
    args_.pop_back();
    const std::string_view flag_value =
        value.empty() || value == "{}" ? std::string_view("true") : value;
    if (is("h", "help")) {
      entered.help.push_back(flag_value);
    } else if (owner == kProgram && is("V", "version")) {
      version_.push_back(flag_value);
    } else if (const auto index = long_option(owner, kind, name)) {
      if (decl_.commands[owner].options[*index].values == Values::None) {
        commands_[owner].values.push_back({*index, flag_value});
      } else {
        take_value(owner, *index, value);
      }
    } else {
      entered.unexpected.push_back({kind, arg});
      return;
    }
    if (!rest.empty()) {
      std::string& split = split_off_.emplace_front("-");
      split += rest;
      args_.push_back(split_off_.front());
    }
  }

  std::optional<std::size_t> long_option(std::size_t owner, Kind kind, std::string_view name) {
    if (owner == kProgram || kind != Kind::Long) return std::nullopt;
    const auto& options = decl_.commands[owner].options;
    for (std::size_t i = 0; i < options.size(); ++i) {
      if (options[i].name.substr(2) == name) return i;
    }
    return std::nullopt;
  }

  void take_value(std::size_t c, std::size_t index, std::string_view value) {
    auto& values = commands_[c].values;
    if (!value.empty()) {
      values.push_back({index, value});
      return;
    }
    if (args_.empty()) {
      const ValueDecl& decl = decl_.commands[c].options[index];
      usage_error(std::string(decl.name) + ": 1 required " + std::string(decl.value_name) +
                  " missing");
      return;
    }
    values.push_back({index, args_.back()});
    args_.pop_back();
  }

  // Checks that run once every argument is read, in their fixed order.
  void finish() {
    for (auto check : {&Parser::values_checks, &Parser::help_and_version, &Parser::requirements,
                       &Parser::unexpected_arguments}) {
      (this->*check)();
      if (stop_) return;
    }
  }

  void at_most_once(std::string_view name, std::size_t count) {
    if (count > 1 && !stop_) {
      usage_error(std::string(name) + ": At Most 1 required but received " + std::to_string(count));
    }
  }

  // Checks the values given to `to`, declared by `decl`, in the order given.
  void checked(const ValueDecl& decl, std::span<const Given> values, std::size_t to) {
    std::size_t count = 0;
    for (const Given& given : values) {
      if (given.to != to) continue;
      ++count;
      const std::string_view value = given.text;
      const std::string_view failure = check_failure(decl.check, value);
      if (!failure.empty()) {
        return usage_error(std::string(decl.name) + ": " + std::string(failure));
      }
      if (decl.values == Values::None && !flag_truth(value)) {
        return usage_error("Could not convert: " + std::string(decl.name) + " = " +
                           std::string(value));
      }
    }
    if (decl.values != Values::Many) at_most_once(decl.name, count);
  }

  void values_checks() {
    if (!version_.empty()) {
      const auto truth = flag_truth(version_.back());
      if (!truth) return usage_error("Could not convert: --version = " + joined(version_, ","));
      if (*truth) {
        stop_ = ShowVersion{};
        return;
      }
    }
    for (std::size_t c = 0; c < commands_.size(); ++c) {
      const CommandDecl& decl = decl_.commands[c];
      const Entered& entered = commands_[c];
      // A command the arguments never entered was given nothing to check.
      if (entered.times == 0) continue;
      if (decl.single_help) at_most_once("--help", entered.help.size());
      if (decl.positional) checked(*decl.positional, entered.values, kPositional);
      for (std::size_t i = 0; i < decl.options.size(); ++i) {
        checked(decl.options[i], entered.values, i);
      }
      if (stop_) return;
    }
  }

  void help_and_version() {
    bool help = !program_.help.empty();
    if (selected_) help = help || !commands_[*selected_].help.empty();
    if (help) stop_ = ShowHelp{first_entered(), selected_};
  }

  void requirements() {
    if (!selected_) return usage_error("A subcommand is required");
    for (std::size_t c = 0; c < commands_.size(); ++c) {
      if (commands_[c].times == 0) continue;
      const CommandDecl& decl = decl_.commands[c];
      if (decl.positional && decl.positional->required && commands_[c].count(kPositional) == 0) {
        return usage_error(std::string(decl.positional->name) + " is required");
      }
      for (std::size_t i = 0; i < decl.options.size(); ++i) {
        if (decl.options[i].required && commands_[c].count(i) == 0 &&
            !given(c, decl.options[i].unless)) {
          return usage_error(std::string(decl.options[i].name) + " is required");
        }
      }
    }
  }

  // Whether command `c` was given the option `name` (never for an empty name).
  bool given(std::size_t c, std::string_view name) const {
    const auto& options = decl_.commands[c].options;
    for (std::size_t i = 0; i < options.size(); ++i) {
      if (!name.empty() && options[i].name == name) return commands_[c].count(i) > 0;
    }
    return false;
  }

  void report_unexpected(std::span<const Unexpected> unexpected) {
    const bool any = std::any_of(unexpected.begin(), unexpected.end(),
                                 [](const Unexpected& u) { return u.kind != Kind::Separator; });
    if (!any) return;
    // Listed last argument first.
    std::string list;
    for (auto it = unexpected.rbegin(); it != unexpected.rend(); ++it) {
      if (it != unexpected.rbegin()) list += ' ';
      list += it->text;
    }
    usage_error((unexpected.size() > 1 ? "The following arguments were not expected: "
                                       : "The following argument was not expected: ") +
                list);
  }

  void unexpected_arguments() {
    report_unexpected(program_.unexpected);
    for (const Entered& entered : commands_) {
      if (entered.times > 0 && !stop_) report_unexpected(entered.unexpected);
    }
  }

  const ProgramDecl& decl_;
  // Every list below lives in this block, which a command line of some
  // dozen arguments does not outgrow: parsing one allocates nothing (the
  // process runs once per request, and its start-up is counted). A longer
  // one continues on the heap.
  std::array<std::byte, 2048> block_;
  std::pmr::monotonic_buffer_resource memory_{block_.data(), block_.size()};
  std::pmr::vector<std::string_view> args_{&memory_};
  // The arguments split off groups of short flags, which args_ views.
  std::forward_list<std::string> split_off_;
  Entered program_{&memory_};
  std::pmr::vector<std::string_view> version_{&memory_};
  std::pmr::vector<Entered> commands_{&memory_};
  std::optional<std::size_t> selected_;
  std::optional<Outcome> stop_;
};

constexpr std::size_t kColumn = 30;

void add_row(std::string& out, std::string name, std::string_view text) {
  out += "  ";
  out += name;
  if (name.size() + 2 >= kColumn) {
    out += '\n';
    out.append(kColumn, ' ');
  } else {
    out.append(kColumn - 2 - name.size(), ' ');
  }
  out += text;
  out += '\n';
}

}  // namespace

std::optional<std::uint32_t> parse_mebibytes(std::string_view text) {
  constexpr std::uint32_t kMin = 64;
  constexpr std::uint32_t kMax = 1u << 20;
  if (text.empty() || text.size() > 7) return std::nullopt;
  std::uint32_t mib = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    mib = mib * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (mib < kMin || mib > kMax) return std::nullopt;
  return mib;
}

std::optional<std::uint32_t> parse_seconds(std::string_view text) {
  constexpr std::uint64_t kMaxSeconds = 1'000'000;
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction =
      dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
  const auto digits = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  if (whole.empty() || !digits(whole) || !digits(fraction) ||
      (dot != std::string_view::npos && fraction.empty())) {
    return std::nullopt;
  }
  std::uint64_t ms = 0;
  for (char c : whole) {
    ms = ms * 10 + static_cast<std::uint64_t>(c - '0');
    if (ms > kMaxSeconds) return std::nullopt;
  }
  ms *= 1000;
  std::uint64_t scale = 100;
  bool rest = false;  // digits below a millisecond round up
  for (char c : fraction) {
    if (scale > 0) {
      ms += static_cast<std::uint64_t>(c - '0') * scale;
      scale /= 10;
    } else if (c != '0') {
      rest = true;
    }
  }
  if (rest) ++ms;
  if (ms == 0 || ms > kMaxSeconds * 1000) return std::nullopt;
  return static_cast<std::uint32_t>(ms);
}

Outcome parse(const ProgramDecl& decl, int argc, const char* const* argv) {
  return Parser(decl, argc, argv).run();
}

std::string help_text(const ProgramDecl& decl, std::optional<std::size_t> command) {
  std::string out;
  if (!command) {
    out.append(decl.description).append("\nUsage: ").append(decl.usage).append("\n\nOptions:\n");
    add_row(out, "-V,--version", "Print version");
    add_row(out, "-h,--help", "Print help");
    out += "\nSubcommands:\n";
    for (const CommandDecl& c : decl.commands) add_row(out, std::string(c.name), c.description);
    out += '\n';
    return out;
  }
  const CommandDecl& c = decl.commands[*command];
  out.append(c.description).append("\nUsage: ").append(c.usage).append("\n\n");
  if (c.positional) {
    out += "Positionals:\n";
    add_row(out,
            std::string(c.positional->name) + (c.positional->values == Values::Many ? " ..." : "") +
                (c.positional->required ? " REQUIRED" : ""),
            c.positional->help);
    out += '\n';
  }
  out += "Options:\n";
  add_row(out, "-h,--help", "Print help");
  for (const ValueDecl& o : c.options) {
    std::string row(o.name);
    if (!o.value_name.empty()) {
      row += ' ';
      row += o.value_name;
    }
    if (o.required) row += " REQUIRED";
    add_row(out, std::move(row), o.help);
  }
  out += '\n';
  return out;
}

}  // namespace verdane::driver::args
