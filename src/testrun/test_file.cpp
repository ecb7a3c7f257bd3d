#include "testrun/test_file.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <charconv>
#include <initializer_list>
#include <map>

#include "verdane/verdane.h"

namespace verdane::testrun {

namespace {

// The document as a flat list of values: children refer to their values by
// index, so no value owns another and nothing recurses, however deep the
// inputs of a case nest.
struct Node {
  enum class Kind { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool boolean = false;
  std::string text;                // String: its text; Number: as written
  std::vector<std::size_t> items;  // Array: the elements; Object: the member values
  std::vector<std::string> keys;   // Object: the member names, parallel to items
  std::size_t begin = 0;           // Array and Object: their bytes in the document
  std::size_t end = 0;

  static Node of(Kind kind) {
    Node node;
    node.kind = kind;
    return node;
  }
};

bool in_number(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// RapidJSON rejects valid numbers beyond the range of a double, even when it
// hands numbers over as text. The parser therefore reads a copy of the
// (valid) document in which every number is "0" padded with spaces to its
// length, so offsets stay the same; the builder reads the number itself from
// the original.
std::string mask_numbers(std::string_view text) {
  std::string masked(text);
  bool in_string = false;
  for (std::size_t i = 0; i < masked.size(); ++i) {
    const char c = masked[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      masked[i] = '0';
      while (i + 1 < masked.size() && in_number(masked[i + 1])) masked[++i] = ' ';
    }
  }
  return masked;
}

// The deepest level whose values the reader looks at: a constraint index in
// cases[i].expect.failed, with the document's value at level 1. Values
// below it (inside a case's inputs) are only counted, so a test file costs
// memory in proportion to its values near the top, however deep the rest.
constexpr std::size_t kKeptLevels = 6;

// Receives RapidJSON's events in iterative mode, where the handler of `{`,
// `[`, `}` and `]` runs while the stream still stands on that character, and
// that of a number right after it.
class Builder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Builder> {
 public:
  Builder(std::string_view text, const rapidjson::MemoryStream& stream)
      : text_(text), stream_(stream) {}

  bool Null() { return add(Node{}); }
  bool Bool(bool b) {
    Node node = Node::of(Node::Kind::Bool);
    node.boolean = b;
    return add(std::move(node));
  }
  bool RawNumber(const char*, rapidjson::SizeType, bool) {
    const std::size_t begin = stream_.Tell() - 1;  // after the masked "0"
    std::size_t end = begin + 1;
    while (end < text_.size() && in_number(text_[end])) ++end;
    const std::string_view number = text_.substr(begin, end - begin);
    return add_text(Node::Kind::Number, number.data(), number.size());
  }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    return add_text(Node::Kind::String, str, length);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    // Kept exactly when the member's value is, so keys and items stay parallel.
    if (skipped_ == 0 && open_.size() < kKeptLevels) {
      nodes_[open_.back()].keys.emplace_back(str, length);
    }
    return true;
  }
  bool StartObject() { return start(Node::Kind::Object); }
  bool EndObject(rapidjson::SizeType) { return finish(); }
  bool StartArray() { return start(Node::Kind::Array); }
  bool EndArray(rapidjson::SizeType) { return finish(); }

  std::vector<Node> take() { return std::move(nodes_); }

 private:
  bool add_text(Node::Kind kind, const char* str, rapidjson::SizeType length) {
    Node node = Node::of(kind);
    node.text.assign(str, length);
    return add(std::move(node));
  }
  bool add(Node node) {
    if (skipped_ > 0 || open_.size() == kKeptLevels) return true;
    const std::size_t index = nodes_.size();
    nodes_.push_back(std::move(node));
    if (!open_.empty()) nodes_[open_.back()].items.push_back(index);
    return true;
  }
  bool start(Node::Kind kind) {
    if (skipped_ > 0 || open_.size() == kKeptLevels) {
      ++skipped_;
      return true;
    }
    Node node = Node::of(kind);
    node.begin = stream_.Tell();
    add(std::move(node));
    open_.push_back(nodes_.size() - 1);
    return true;
  }
  bool finish() {
    if (skipped_ > 0) {
      --skipped_;
      return true;
    }
    nodes_[open_.back()].end = stream_.Tell() + 1;
    open_.pop_back();
    return true;
  }

  std::string_view text_;
  const rapidjson::MemoryStream& stream_;
  std::vector<Node> nodes_;        // the first one is the document's value
  std::vector<std::size_t> open_;  // at most kKeptLevels
  std::size_t skipped_ = 0;        // containers open below the kept levels
};

const char* kind_text(const Node& node) {
  switch (node.kind) {
    case Node::Kind::Null:
      return "null";
    case Node::Kind::Bool:
      return "a boolean";
    case Node::Kind::Number:
      return "a number";
    case Node::Kind::String:
      return "a string";
    case Node::Kind::Array:
      return "an array";
    case Node::Kind::Object:
      return "an object";
  }
  return "a value";
}

// Edit distance (insertions, deletions, substitutions, swaps of neighbours),
// for suggesting the key a misspelt one meant.
std::size_t distance(std::string_view a, std::string_view b) {
  // Lengths this far apart are no misspelling; this also bounds the table.
  if (a.size() > b.size() + 2 || b.size() > a.size() + 2) return 3;
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min(
          {d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

std::string member_path(const std::string& path, std::string_view key) {
  return path.empty() ? std::string(key) : path + "." + std::string(key);
}

using Keys = std::initializer_list<std::string_view>;

class FileReader {
 public:
  FileReader(std::string_view text, std::vector<Node> nodes)
      : text_(text), nodes_(std::move(nodes)) {}

  Result<TestFile, std::string> file() {
    const Node& root = nodes_.front();
    if (root.kind != Node::Kind::Object) {
      return make_err(std::string("expected an object at the top level, got ") + kind_text(root));
    }
    std::map<std::string_view, std::size_t> m;
    if (!members(root, "", {"template", "bytecode", "template_id", "cases"}, m)) return error();
    TestFile file;
    const bool has_template = m.contains("template");
    if (has_template == m.contains("bytecode")) {
      return make_err(std::string(has_template ? "give `template` or `bytecode`, not both"
                                               : "missing key `template` (or `bytecode`)"));
    }
    file.bytecode = !has_template;
    const char* source_key = has_template ? "template" : "bytecode";
    if (!text_value(m.at(source_key), source_key, true, file.source)) return error();
    if (m.contains("template_id")) {
      file.template_id.emplace();
      if (!text_value(m.at("template_id"), "template_id", false, *file.template_id)) {
        return error();
      }
    }
    if (!m.contains("cases")) return make_err(std::string("missing key `cases`"));
    const Node& cases = nodes_[m.at("cases")];
    if (!kind(cases, Node::Kind::Array, "cases")) return error();
    if (cases.items.empty()) {
      return make_err(std::string("cases: the file has no cases"));
    }
    std::map<std::string, std::size_t> names;  // to the case that uses each
    for (std::size_t i = 0; i < cases.items.size(); ++i) {
      const std::string path = "cases[" + std::to_string(i) + "]";
      TestCase c;
      if (!test_case(nodes_[cases.items[i]], path, c)) return error();
      const auto [used, fresh] = names.try_emplace(c.name, i);
      if (!fresh) {
        return make_err(path + ".name: the name is already used by cases[" +
                        std::to_string(used->second) + "]");
      }
      file.cases.push_back(std::move(c));
    }
    return file;
  }

 private:
  Err<std::string> error() { return make_err(std::move(error_)); }

  bool fail(std::string message) {
    error_ = std::move(message);
    return false;
  }

  bool kind(const Node& node, Node::Kind want, const std::string& path) {
    if (node.kind == want) return true;
    return fail(path + ": expected " + kind_text(Node::of(want)) + ", got " + kind_text(node));
  }

  // Collects the members of `object` by name; a name outside `allowed` or
  // given twice is a problem.
  bool members(const Node& object, const std::string& path, Keys allowed,
               std::map<std::string_view, std::size_t>& out) {
    for (std::size_t i = 0; i < object.keys.size(); ++i) {
      const std::string& key = object.keys[i];
      const std::string at = member_path(path, key);
      if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) {
        return fail(at + ": unknown key " + suggestion(key, allowed));
      }
      if (!out.try_emplace(key, object.items[i]).second) return fail(at + ": key given twice");
    }
    return true;
  }

  static std::string suggestion(std::string_view key, Keys allowed) {
    std::string_view best;
    std::size_t best_distance = 3;  // closer than this counts as a misspelling
    for (std::string_view candidate : allowed) {
      const std::size_t d = distance(key, candidate);
      if (d < best_distance && d < candidate.size()) {
        best = candidate;
        best_distance = d;
      }
    }
    if (!best.empty()) return "(did you mean `" + std::string(best) + "`?)";
    std::string list;
    for (std::string_view candidate : allowed) {
      list += list.empty() ? "`" : ", `";
      list += candidate;
      list += '`';
    }
    return "(expected one of " + list + ")";
  }

  bool text_value(std::size_t index, const std::string& path, bool non_empty, std::string& out) {
    const Node& node = nodes_[index];
    if (!kind(node, Node::Kind::String, path)) return false;
    if (non_empty && node.text.empty()) return fail(path + ": must not be empty");
    out = node.text;
    return true;
  }

  bool object_text(std::size_t index, const std::string& path, std::string& out) {
    const Node& node = nodes_[index];
    if (!kind(node, Node::Kind::Object, path)) return false;
    out.assign(text_.substr(node.begin, node.end - node.begin));
    return true;
  }

  bool test_case(const Node& node, const std::string& path, TestCase& out) {
    if (!kind(node, Node::Kind::Object, path)) return false;
    std::map<std::string_view, std::size_t> m;
    if (!members(node, path, {"name", "intent", "evidence", "expect"}, m)) return false;
    for (const char* key : {"name", "evidence", "expect"}) {
      if (!m.contains(key)) return fail(path + ": missing key `" + key + "`");
    }
    if (!text_value(m.at("name"), path + ".name", true, out.name)) return false;
    out.intent = "{}";
    if (m.contains("intent") && !object_text(m.at("intent"), path + ".intent", out.intent)) {
      return false;
    }
    if (!object_text(m.at("evidence"), path + ".evidence", out.evidence)) return false;
    return expectation(nodes_[m.at("expect")], path + ".expect", out.expect);
  }

  bool expectation(const Node& node, const std::string& path, Expectation& out) {
    if (node.kind == Node::Kind::String && node.text == "pass") return true;
    if (node.kind != Node::Kind::Object) {
      const std::string got =
          node.kind == Node::Kind::String ? "\"" + node.text + "\"" : kind_text(node);
      return fail(path + ": expected \"pass\" or an object, got " + got);
    }
    std::map<std::string_view, std::size_t> m;
    if (!members(node, path, {"failed", "errored", "input_error"}, m)) return false;
    if (m.empty()) {
      return fail(path + ": expected `failed` and/or `errored`, or `input_error`");
    }
    if (m.contains("input_error")) {
      if (m.size() > 1) {
        return fail(path + ": `input_error` cannot be combined with `failed` or `errored`");
      }
      out.input_error.emplace();
      return text_value(m.at("input_error"), path + ".input_error", false, *out.input_error);
    }
    if (m.contains("failed") && !indices(m.at("failed"), path + ".failed", out.failed)) {
      return false;
    }
    if (m.contains("errored") && !indices(m.at("errored"), path + ".errored", out.errored)) {
      return false;
    }
    for (std::size_t index : out.errored) {
      if (std::binary_search(out.failed.begin(), out.failed.end(), index)) {
        return fail(path + ": constraint " + std::to_string(index) + " cannot both fail and error");
      }
    }
    return true;
  }

  // A list of constraint indices, in any order, none twice.
  bool indices(std::size_t index, const std::string& path, std::vector<std::size_t>& out) {
    const Node& list = nodes_[index];
    if (!kind(list, Node::Kind::Array, path)) return false;
    for (std::size_t i = 0; i < list.items.size(); ++i) {
      const Node& item = nodes_[list.items[i]];
      const std::string at = path + "[" + std::to_string(i) + "]";
      std::size_t value = 0;
      const char* end = item.text.data() + item.text.size();
      const auto [stop, problem] = std::from_chars(item.text.data(), end, value);
      if (item.kind != Node::Kind::Number || problem != std::errc() || stop != end) {
        const std::string got =
            item.kind == Node::Kind::Number ? "`" + item.text + "`" : kind_text(item);
        return fail(at + ": expected a constraint index (an integer from 0), got " + got);
      }
      if (std::find(out.begin(), out.end(), value) != out.end()) {
        return fail(at + ": constraint " + std::to_string(value) + " is listed twice");
      }
      out.push_back(value);
    }
    std::sort(out.begin(), out.end());
    return true;
  }

  std::string_view text_;
  std::vector<Node> nodes_;
  std::string error_;
};

}  // namespace

Result<TestFile, std::string> read_test_file(std::string_view text) {
  // The API's parser gives the syntax errors their usual texts and positions
  // (and rejects what RapidJSON alone would let through, such as NUL bytes
  // and lone surrogates); the reader below then only sees valid JSON.
  if (auto syntax = api::check_json(text)) {
    return make_err("failed to parse JSON: " + syntax->to_string());
  }
  const std::string masked = mask_numbers(text);
  rapidjson::MemoryStream stream(masked.data(), masked.size());
  Builder builder(text, stream);
  rapidjson::Reader reader;
  // Numbers are kept as written, so indices are read exactly.
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseNumbersAsStringsFlag;
  if (!reader.Parse<flags>(stream, builder)) {
    return make_err("failed to parse JSON at byte " + std::to_string(reader.GetErrorOffset()));
  }
  return FileReader(text, builder.take()).file();
}

}  // namespace verdane::testrun
