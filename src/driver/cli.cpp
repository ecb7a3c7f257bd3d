#include "driver/cli.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "support/line_text.h"
#include "support/utf8.h"

namespace verdane::driver {

namespace {

constexpr const char* kDescription = "Compile, inspect, and evaluate policy templates.";

CLI::Validator non_empty_path() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        return value.empty() ? std::string("a path must not be empty") : std::string();
      },
      "", "NONEMPTY");
}

CLI::Validator utf8_text() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        return utf8::validate(value) ? std::string("the value must be valid UTF-8") : std::string();
      },
      "", "UTF8");
}

std::string usage_of(const std::string& subcommand) {
  if (subcommand == "compile") return "verdane compile [OPTIONS] <TEMPLATE>";
  if (subcommand == "print") return "verdane print <BYTECODE>";
  if (subcommand == "eval") return "verdane eval [OPTIONS] --evidence <EVIDENCE> <BYTECODE>";
  return "verdane [OPTIONS] <COMMAND>";
}

std::string usage_error(const std::string& message, const std::string& subcommand) {
  std::string help_hint = subcommand.empty() ? "--help" : subcommand + " --help";
  return "error: " + escape_controls(utf8::to_lossy(message)) +
         "\n\nUsage: " + usage_of(subcommand) + "\n\nFor more information, try 'verdane " +
         help_hint + "'.\n";
}

// Help text with usage lines that name the full command.
class Formatter : public CLI::Formatter {
 public:
  std::string make_usage(const CLI::App* app, std::string) const override {
    const std::string name = app->get_parent() ? app->get_name() : "";
    return "Usage: " + usage_of(name) + "\n";
  }
};

// Holds the command tree and the variables CLI11 fills.
struct CommandTree {
  CLI::App app{kDescription, "verdane"};
  CLI::App* compile = nullptr;
  CLI::App* print = nullptr;
  CLI::App* eval = nullptr;
  CLI::App* help = nullptr;

  CompileCommand compile_args;
  PrintCommand print_args;
  EvalCommand eval_args;
  std::string help_topic;

  // Declares every subcommand, but gives options only to `wanted` (the
  // subcommand named on the command line): the others are never parsed, and
  // building their options would cost start-up time on every run.
  explicit CommandTree(std::string_view wanted) {
    app.set_version_flag("-V,--version", std::string("verdane ") + kVersion, "Print version");
    app.set_help_flag("-h,--help", "Print help");
    app.require_subcommand(1);
    app.formatter(std::make_shared<Formatter>());

    compile =
        app.add_subcommand("compile", "Compile policy template source into canonical bytecode");
    print = app.add_subcommand(
        "print", "Load precompiled bytecode and print a readable rendering of the policy template");
    eval =
        app.add_subcommand("eval", "Load precompiled bytecode and evaluate it against JSON inputs");
    help = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    help->add_option("COMMAND", help_topic)->type_name("");

    if (wanted == "compile") add_compile_options();
    if (wanted == "print") add_print_options();
    if (wanted == "eval") add_eval_options();
  }

  void add_compile_options() {
    const CLI::Validator non_empty = non_empty_path();
    compile->set_help_flag("-h,--help", "Print help");
    compile->add_option("TEMPLATE", compile_args.template_path)
        ->required()
        ->type_name("")
        ->check(non_empty);
    compile
        ->add_option("--out", compile_args.out,
                     "Output path for canonical bytecode. Defaults to `out.bin` in the current "
                     "directory")
        ->type_name("<OUT>")
        ->check(non_empty);
    single_values(compile);
  }

  void add_print_options() {
    print->set_help_flag("-h,--help", "Print help");
    print->add_option("BYTECODE", print_args.bytecode)
        ->required()
        ->type_name("")
        ->check(non_empty_path());
    single_values(print);
  }

  void add_eval_options() {
    const CLI::Validator non_empty = non_empty_path();
    eval->set_help_flag("-h,--help", "Print help");
    eval->add_option("BYTECODE", eval_args.bytecode)->required()->type_name("")->check(non_empty);
    eval->add_option("--evidence", eval_args.evidence, "Path to the evidence JSON object")
        ->required()
        ->type_name("<EVIDENCE>")
        ->check(non_empty);
    eval->add_option("--intent", eval_args.intent,
                     "Path to the intent JSON object. Defaults to `{}`")
        ->type_name("<INTENT>")
        ->check(non_empty);
    eval->add_option("--check-hash", eval_args.check_hash,
                     "Optional base58-encoded id to verify against the computed id of the "
                     "bytecode")
        ->type_name("<CHECK_HASH>")
        ->check(utf8_text());
    single_values(eval);
  }

  // Each option takes exactly one value and may appear only once.
  static void single_values(CLI::App* sub) {
    for (CLI::Option* opt : sub->get_options()) {
      opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
    }
  }

  std::string selected_subcommand() const {
    for (const CLI::App* sub : {compile, print, eval}) {
      if (sub->parsed()) return sub->get_name();
    }
    return "";
  }

  std::string help_text(const CLI::App* which) const { return which->help(); }
};

}  // namespace

std::variant<Cli, CliExit> parse_cli(int argc, const char* const* argv) {
  // The subcommand whose options are needed: the one named first, or for
  // `help <subcommand>` the one whose help is asked for.
  std::string_view wanted = argc > 1 ? argv[1] : "";
  if (wanted == "help" && argc > 2) wanted = argv[2];
  CommandTree tree(wanted);
  if (argc <= 1) return CliExit{2, "", tree.help_text(&tree.app)};
  // The top level takes no positionals, so a leading word must name a
  // subcommand.
  const std::string_view first = argv[1];
  if (!first.empty() && first[0] != '-' && first != "compile" && first != "print" &&
      first != "eval" && first != "help") {
    return CliExit{2, "",
                   usage_error("unrecognized subcommand '" + utf8::to_lossy(first) + "'", "")};
  }
  if (!first.empty() && first[0] == '-' && first != "-h" && first != "--help" && first != "-V" &&
      first != "--version") {
    return CliExit{2, "", usage_error("unexpected argument '" + utf8::to_lossy(first) + "'", "")};
  }

  try {
    tree.app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    const std::string sub = tree.selected_subcommand();
    const CLI::App* which = sub.empty() ? &tree.app : tree.app.get_subcommand(sub);
    return CliExit{0, tree.help_text(which), ""};
  } catch (const CLI::CallForVersion& v) {
    return CliExit{0, std::string(v.what()) + "\n", ""};
  } catch (const CLI::ParseError& e) {
    return CliExit{2, "", usage_error(e.what(), tree.selected_subcommand())};
  }

  if (tree.help->parsed()) {
    const std::string& topic = tree.help_topic;
    if (topic.empty()) return CliExit{0, tree.help_text(&tree.app), ""};
    for (const CLI::App* sub : {tree.compile, tree.print, tree.eval}) {
      if (sub->get_name() == topic) return CliExit{0, tree.help_text(sub), ""};
    }
    return CliExit{2, "", usage_error("unrecognized subcommand '" + topic + "'", "")};
  }
  if (tree.compile->parsed()) return Cli{std::move(tree.compile_args)};
  if (tree.print->parsed()) return Cli{std::move(tree.print_args)};
  return Cli{std::move(tree.eval_args)};
}

}  // namespace verdane::driver
