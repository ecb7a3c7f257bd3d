#include "driver/cli.h"

#include <CLI/CLI.hpp>
#include <sstream>

#include "support/line_text.h"
#include "support/utf8.h"

namespace verdane::driver {

namespace {

constexpr const char* kDescription = "Compile, inspect, and evaluate policy templates.";

const CLI::Validator kNonEmptyPath(
    [](std::string& value) -> std::string {
      return value.empty() ? std::string("a path must not be empty") : std::string();
    },
    "", "NONEMPTY");

const CLI::Validator kUtf8Text(
    [](std::string& value) -> std::string {
      return utf8::validate(value) ? std::string("the value must be valid UTF-8") : std::string();
    },
    "", "UTF8");

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

  CommandTree() {
    app.set_version_flag("-V,--version", std::string("verdane ") + kVersion, "Print version");
    app.set_help_flag("-h,--help", "Print help");
    app.require_subcommand(1);
    app.formatter(std::make_shared<Formatter>());

    compile =
        app.add_subcommand("compile", "Compile policy template source into canonical bytecode");
    compile->set_help_flag("-h,--help", "Print help");
    compile->add_option("TEMPLATE", compile_args.template_path)
        ->required()
        ->type_name("")
        ->check(kNonEmptyPath);
    compile
        ->add_option("--out", compile_args.out,
                     "Output path for canonical bytecode. Defaults to `out.bin` in the current "
                     "directory")
        ->type_name("<OUT>")
        ->check(kNonEmptyPath);

    print = app.add_subcommand(
        "print", "Load precompiled bytecode and print a readable rendering of the policy template");
    print->set_help_flag("-h,--help", "Print help");
    print->add_option("BYTECODE", print_args.bytecode)
        ->required()
        ->type_name("")
        ->check(kNonEmptyPath);

    eval =
        app.add_subcommand("eval", "Load precompiled bytecode and evaluate it against JSON inputs");
    eval->set_help_flag("-h,--help", "Print help");
    eval->add_option("BYTECODE", eval_args.bytecode)
        ->required()
        ->type_name("")
        ->check(kNonEmptyPath);
    eval->add_option("--evidence", eval_args.evidence, "Path to the evidence JSON object")
        ->required()
        ->type_name("<EVIDENCE>")
        ->check(kNonEmptyPath);
    eval->add_option("--intent", eval_args.intent,
                     "Path to the intent JSON object. Defaults to `{}`")
        ->type_name("<INTENT>")
        ->check(kNonEmptyPath);
    eval->add_option("--check-hash", eval_args.check_hash,
                     "Optional base58-encoded id to verify against the computed id of the "
                     "bytecode")
        ->type_name("<CHECK_HASH>")
        ->check(kUtf8Text);

    help = app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    help->add_option("COMMAND", help_topic)->type_name("");

    for (CLI::App* sub : {compile, print, eval, help}) {
      // Each option takes exactly one value and may appear only once.
      for (CLI::Option* opt : sub->get_options()) {
        opt->multi_option_policy(CLI::MultiOptionPolicy::Throw);
      }
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
  CommandTree tree;
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
