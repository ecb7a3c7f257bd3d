// Every kind of compile error appears in the expected output of some golden
// case in tests/e2e/cases: a new kind without a case showing it fails here.
// Each kind's message is rendered with placeholders for what its detail says
// (every value, for a type), and a case line must match the pieces around
// the placeholders in order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "errors/compile_error.h"

namespace verdane::errors {
namespace {

using Kind = CompileError::Kind;
using korvel::serializers::SerializerError;

// Stands for any text in a rendered message.
constexpr char kAny = '\x1f';

std::vector<std::string> error_lines() {
  std::vector<std::string> lines;
  for (const auto& entry : std::filesystem::directory_iterator(VERDANE_CASES_DIR)) {
    if (entry.path().extension() != ".case") continue;
    std::ifstream in(entry.path());
    for (std::string line; std::getline(in, line);) {
      if (line.find("error at ") != std::string::npos) lines.push_back(line);
    }
  }
  return lines;
}

// Every detail `kind` can carry, texts as placeholders.
std::vector<Detail> details_of(Kind kind) {
  const std::string any(1, kAny);
  constexpr types::Type kTypes[] = {
      types::Type::Bool,   types::Type::Int,       types::Type::String, types::Type::Date,
      types::Type::IntSet, types::Type::StringSet, types::Type::DateSet};
  std::vector<Detail> out;
  const std::size_t index = CompileError::detail_index(kind);
  if (index == Detail(detail::None{}).index()) out.emplace_back(detail::None{});
  if (index == Detail(detail::Character{}).index()) out.emplace_back(detail::Character{any});
  if (index == Detail(detail::Text{}).index()) out.emplace_back(detail::Text{any});
  if (index == Detail(detail::Name{}).index()) out.emplace_back(detail::Name{any});
  if (index == Detail(detail::DuplicateName{}).index()) {
    out.emplace_back(detail::DuplicateName{any, detail::Schema::Intent});
    out.emplace_back(detail::DuplicateName{any, detail::Schema::Evidence});
  }
  if (index == Detail(detail::Found{}).index()) {
    for (types::Type t : kTypes) out.emplace_back(detail::Found{t});
  }
  if (index == Detail(detail::Element{}).index()) {
    for (types::Type e : kTypes) {
      for (types::Type f : kTypes) out.emplace_back(detail::Element{e, f});
    }
  }
  if (index == Detail(SerializerError{}).index()) {
    for (auto k : {SerializerError::Kind::Serialization, SerializerError::Kind::Deserialization}) {
      out.emplace_back(SerializerError{k, "bincode", any});
    }
  }
  return out;
}

// Whether `line` holds the pieces of `pattern` between placeholders, in order.
bool matches(const std::string& line, const std::string& pattern) {
  std::size_t from = 0;
  std::stringstream pieces(pattern);
  for (std::string piece; std::getline(pieces, piece, kAny);) {
    const std::size_t at = line.find(piece, from);
    if (at == std::string::npos) return false;
    from = at + piece.size();
  }
  return true;
}

// "error at <any>:<any>: <message>" for an error of `kind` with `detail`.
std::string pattern_of(Kind kind, Detail detail) {
  const CompileError e = CompileError::at(kind, "", 0, std::move(detail));
  const std::string position = kind == Kind::Bytecode ? "0:0" : std::string{kAny, ':', kAny};
  return "error at " + position + ": " + e.message();
}

TEST(DiagnosticsCoverage, EveryKindAppearsInAGoldenCase) {
  const std::vector<std::string> lines = error_lines();
  ASSERT_FALSE(lines.empty());
  // Lines that some kind other than Syntax explains; Syntax, whose message is
  // its detail, must show in a line that none of them explains.
  std::vector<bool> explained(lines.size(), false);
  for (std::size_t k = 0; k < CompileError::kKindCount; ++k) {
    const Kind kind = static_cast<Kind>(k);
    if (kind == Kind::Syntax) continue;
    bool seen = false;
    for (const Detail& detail : details_of(kind)) {
      const std::string pattern = pattern_of(kind, detail);
      for (std::size_t i = 0; i < lines.size(); ++i) {
        if (matches(lines[i], pattern)) seen = explained[i] = true;
      }
    }
    std::string shown = pattern_of(kind, details_of(kind).front());
    std::replace(shown.begin(), shown.end(), kAny, '*');
    EXPECT_TRUE(seen) << "no golden case shows compile error kind " << k << ": " << shown;
  }
  bool syntax = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    syntax =
        syntax || (!explained[i] &&
                   matches(lines[i], pattern_of(Kind::Syntax, detail::Text{std::string(1, kAny)})));
  }
  EXPECT_TRUE(syntax) << "no golden case shows a Syntax error";
}

}  // namespace
}  // namespace verdane::errors
