#include "runtime_input/parse_load.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "runtime_input/json.h"
#include "runtime_input/set_builders.h"
#include "runtime_input/text_scan.h"
#include "support/utf8.h"
#include "types/key_sort.h"

namespace verdane::runtime_input {

namespace {

using types::DateLit;
using types::Type;
using types::Value;
using types::ValueView;

using Field = detail::DeclaredField;

// The elements of the set member being read, collected once its array opens.
using SetElements =
    std::variant<std::monostate, IntSetBuilder, std::vector<DateLit>, TextSetBuilder>;

// Sets of up to this many elements are built as soon as their array closes;
// larger ones wait until the text has been released, so that the text and
// the sorted set are never both held.
constexpr std::size_t kBuildAtOnce = 1024;

std::size_t element_count(const SetElements& elements) {
  return std::visit(
      [](const auto& e) -> std::size_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, std::monostate>) {
          return 0;
        } else {
          return e.size();
        }
      },
      elements);
}

// The set of collected elements (a set member's value was an array, or it
// would have failed), kept by `arena`.
ValueView complete(Type type, SetElements& elements, types::Arena& arena) {
  switch (type) {
    case Type::IntSet:
      return std::get<IntSetBuilder>(elements).build(arena);
    case Type::StringSet:
      return std::get<TextSetBuilder>(elements).build(arena);
    default: {
      std::vector<DateLit>& dates = std::get<std::vector<DateLit>>(elements);
      if (dates.size() < kBuildAtOnce) {
        std::sort(dates.begin(), dates.end());
      } else {
        // A number that orders as the dates do: the year's sign flipped, then
        // month and day below it.
        types::sort_by_key_in_place(dates.data(), dates.size(), [](const DateLit& d) {
          const std::uint32_t year = static_cast<std::uint32_t>(d.year) ^ 0x80000000u;
          return (std::uint64_t{year} << 16) | (std::uint64_t{d.month} << 8) | d.day;
        });
      }
      const std::size_t n =
          static_cast<std::size_t>(std::unique(dates.begin(), dates.end()) - dates.begin());
      DateLit* kept = arena.allocate_array<DateLit>(n);
      std::uninitialized_copy(dates.begin(), dates.begin() + static_cast<std::ptrdiff_t>(n), kept);
      return ValueView::date_set({kept, n});
    }
  }
}

// The parser's position in the text, for the offsets of input errors: a
// stream of any type read through its Tell(). Every stream given to the
// parser lets it copy the stream while it reads a string or a number, so
// during those events the position is the token's first byte; during a
// literal's event it is just past the literal. An opening bracket's event
// comes before the bracket is taken when parsing iteratively, after it
// when parsing by recursive descent.
class Cursor {
 public:
  Cursor() = default;
  template <typename Stream>
  Cursor(Stream& stream, bool iterative)
      : stream_(&stream),
        tell_([](void* s) { return static_cast<Stream*>(s)->Tell(); }),
        bracket_lead_(iterative ? 0 : 1) {}

  // Where the token of the current event starts, given the bytes `lead` by
  // which the position has passed it.
  std::size_t token_start(std::size_t lead) const { return stream_ ? tell_(stream_) - lead : 0; }
  // Where the opening bracket of the current event is.
  std::size_t bracket_start() const { return token_start(bracket_lead_); }

 private:
  void* stream_ = nullptr;
  std::size_t (*tell_)(void*) = nullptr;
  std::size_t bracket_lead_ = 0;
};

// The text as a stream that the parser copies while reading a token, as it
// does with in-place text, so that all readings report positions alike.
struct TextStream : rapidjson::MemoryStream {
  using MemoryStream::MemoryStream;
};

// The text of a document without a backslash, read in place. With no
// escape to decode, every byte the parser copies while it reads a string
// would land where it already lies, and only the NUL that ends each string
// would change the text: this stream writes nothing, so the parser's copying
// costs nothing and the text stays as it was.
struct UnescapedTextStream : rapidjson::InsituStringStream {
  using rapidjson::InsituStringStream::GenericInsituStringStream;
  void Put(Ch) { ++dst_; }
};

// A small document's copy, parsed in place, whose buffer holds
// text_scan::kWordPadding readable bytes past its closing NUL: strings are
// then skipped a word at a time (see the reader's ScanCopyUnescapedString
// below).
struct SmallCopyStream : rapidjson::InsituStringStream {
  using rapidjson::InsituStringStream::GenericInsituStringStream;
};

}  // namespace
}  // namespace verdane::runtime_input

template <>
struct rapidjson::StreamTraits<verdane::runtime_input::SmallCopyStream> {
  enum { copyOptimization = 1 };
};

// While no escape has been decoded, a string's bytes stay where they are, and
// its plain run is skipped a word at a time; after one, the reader copies
// byte by byte as it does for every other stream.
template <>
template <>
inline void
rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>::
    ScanCopyUnescapedString<verdane::runtime_input::SmallCopyStream,
                            verdane::runtime_input::SmallCopyStream>(
        verdane::runtime_input::SmallCopyStream& is, verdane::runtime_input::SmallCopyStream&) {
  if constexpr (std::endian::native == std::endian::little) {
    if (is.src_ == is.dst_) {
      is.src_ += verdane::runtime_input::text_scan::plain_run(is.src_);
      is.dst_ = is.src_;
    }
  }
}

// Small documents are mostly written without spaces: a byte above the space
// ends the run at once, and the call is inlined into the parser.
template <>
inline void rapidjson::SkipWhitespace(verdane::runtime_input::SmallCopyStream& is) {
  char* p = is.src_;
  for (;; ++p) {
    const char c = *p;
    if (static_cast<unsigned char>(c) > ' ' || (c != ' ' && c != '\n' && c != '\r' && c != '\t'))
      break;
  }
  is.src_ = p;
}

template <>
struct rapidjson::StreamTraits<verdane::runtime_input::TextStream> {
  enum { copyOptimization = 1 };
};

template <>
struct rapidjson::StreamTraits<verdane::runtime_input::UnescapedTextStream> {
  enum { copyOptimization = 1 };
};

namespace verdane::runtime_input {
namespace {

// The kinds of JSON scalars, as the loaders tell them apart.
struct Scalar {
  enum class Kind { Null, Bool, Int, LargeUInt, Float, String };
  explicit Scalar(Kind k) : kind(k) {}
  Kind kind;
  bool boolean = false;
  std::int64_t integer = 0;
  std::string_view text;

  // The bytes by which the parser's position has passed the token.
  std::size_t lead() const {
    if (kind == Kind::Null) return 4;
    if (kind == Kind::Bool) return boolean ? 4 : 5;
    return 0;
  }
};

// Receives the parser's events and converts the members of a top-level
// object into their declared types as they come, straight into the values
// by field. It keeps only a depth counter for nesting: values below a
// member's array elements are skipped, whatever their depth. Only the last
// occurrence of a repeated member counts, as in every JSON object read here, and
// problems are kept until the whole document has been read, because the
// first problem in byte order of the names, not in document order, decides.
class Loader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Loader> {
 public:
  // `escapes`: whether the text holds a \u escape, the only way a decoded
  // text can be invalid UTF-8. The values are views kept by `arena`; `base`
  // is the buffer the parser decodes every text in and leaves it there
  // (parsing in place), or nullptr when texts pass by only for the call and
  // are copied into the arena.
  Loader(std::span<const Field> fields, bool escapes, types::Arena& arena, const char* base)
      : fields_(fields),
        values_(arena.allocate_array<ValueView>(fields.size())),
        arena_(arena),
        base_(base),
        escapes_(escapes) {
    std::uninitialized_fill_n(values_, fields.size(), ValueView());
  }

  bool Null() { return scalar(Scalar(Scalar::Kind::Null)); }
  bool Bool(bool b) {
    Scalar s(Scalar::Kind::Bool);
    s.boolean = b;
    return scalar(s);
  }
  bool Int(int i) { return integer(i); }
  bool Uint(unsigned u) { return integer(u); }
  bool Int64(std::int64_t i) { return integer(i); }
  bool Uint64(std::uint64_t u) {
    if (u <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return integer(static_cast<std::int64_t>(u));
    }
    return scalar(Scalar(Scalar::Kind::LargeUInt));
  }
  bool Double(double) { return scalar(Scalar(Scalar::Kind::Float)); }
  bool String(const char* str, rapidjson::SizeType length, bool) {
    const std::string_view text(str, length);
    if (!valid(text)) return false;
    if (texts_) {
      texts_->add(text);
      return true;
    }
    Scalar s(Scalar::Kind::String);
    s.text = text;
    return scalar(s);
  }
  bool Key(const char* str, rapidjson::SizeType length, bool) {
    const std::string_view name(str, length);
    if (!valid(name)) return false;
    if (root_is_object_ && depth_ == 1) begin_member(name);
    return true;
  }
  bool StartObject() { return open(false); }
  bool EndObject(rapidjson::SizeType) { return close(); }
  bool StartArray() { return open(true); }
  bool EndArray(rapidjson::SizeType) { return close(); }

  // Reads the parser's position through `cursor` from now on.
  void watch(const Cursor& cursor) { cursor_ = cursor; }

  // The outcome once the whole document has been read; `schema_kind` is
  // "intent" or "evidence".
  SlotsResult finish(const char* schema_kind) {
    using Kind = InputError::Kind;
    if (!root_is_object_)
      return make_err(InputError{Kind::NotAnObject, root_offset_, {}, {}, "", {}});
    Problem* first_bad = nullptr;
    for (Problem& p : problems_) {
      if (!first_bad || p.index < first_bad->index) first_bad = &p;
    }
    if (undeclared_ && (!first_bad || *undeclared_ < fields_[first_bad->index].name)) {
      return make_err(InputError{Kind::Undeclared,
                                 undeclared_offset_,
                                 std::move(*undeclared_),
                                 Type::Bool,
                                 schema_kind,
                                 {}});
    }
    if (first_bad) {
      const Field& field = fields_[first_bad->index];
      return make_err(InputError{first_bad->kind, first_bad->offset, std::string(field.name),
                                 field.type, "", std::move(first_bad->date_problem)});
    }
    for (Pending& p : pending_) {
      values_[p.index] = complete(fields_[p.index].type, p.elements, arena_);
    }
    return std::span<const ValueView>(values_, fields_.size());
  }

  // The events of the document, for a handler that reads a document nested
  // in a larger one.
  friend class RequestReader;

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  // Why the last occurrence of a member does not fit.
  struct Problem {
    std::size_t index;
    InputError::Kind kind;
    std::size_t offset;
    std::string date_problem;  // BadDate: parse_date's text
  };
  // A large set whose elements wait to be built.
  struct Pending {
    std::size_t index;
    SetElements elements;
  };

  // Decoded texts can be invalid UTF-8 only through a \u escape of a lone low
  // surrogate, which check_json rejects; the caller has validated the
  // text itself. Only texts with a non-ASCII byte need the check.
  bool valid(std::string_view text) const {
    if (!escapes_) return true;
    for (const char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) return !utf8::validate(text).has_value();
    }
    return true;
  }

  bool integer(std::int64_t i) {
    if (ints_) {
      ints_->add(i);
      return true;
    }
    Scalar s(Scalar::Kind::Int);
    s.integer = i;
    return scalar(s);
  }

  std::size_t find_field(std::string_view name) const {
    // Schemas are small as a rule: a scan comparing lengths and first bytes
    // as numbers beats a search.
    if (fields_.size() <= 16) {
      const std::uint64_t head = name_head(name);
      for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (fields_[i].matches(name, head)) return i;
      }
      return kNone;
    }
    const auto it = std::lower_bound(fields_.begin(), fields_.end(), name,
                                     [](const Field& f, std::string_view n) { return f.name < n; });
    if (it == fields_.end() || it->name != name) return kNone;
    return static_cast<std::size_t>(it - fields_.begin());
  }

  // Inlined into the parser's reading of names: what is rare (an undeclared
  // name, a member given again after a problem or a large set) stays out of
  // line.
  [[gnu::always_inline]] void begin_member(std::string_view name) {
    stop_collecting();
    index_ = find_field(name);
    if (index_ == kNone) return undeclared(name);
    type_ = fields_[index_].type;
    // A repeated name starts over.
    values_[index_] = ValueView();
    if (!problems_.empty() || !pending_.empty()) forget_earlier();
  }

  [[gnu::noinline]] void undeclared(std::string_view name) {
    if (!undeclared_ || name < *undeclared_) {
      undeclared_ = std::string(name);
      undeclared_offset_ = cursor_.token_start(0);
    }
  }

  // Drops what an earlier occurrence of the current member left.
  [[gnu::noinline]] void forget_earlier() {
    std::erase_if(problems_, [&](const Problem& p) { return p.index == index_; });
    std::erase_if(pending_, [&](const Pending& p) { return p.index == index_; });
  }

  // Marks the current member bad, dropping whatever it had collected.
  // `lead`: the bytes by which the parser's position has passed the token
  // that does not fit.
  void fail(InputError::Kind kind, std::size_t lead, std::string date_problem = {}) {
    fail_at(kind, cursor_.token_start(lead), std::move(date_problem));
  }
  void fail_at(InputError::Kind kind, std::size_t offset, std::string date_problem = {}) {
    values_[index_] = ValueView();
    stop_collecting();
    elements_.emplace<std::monostate>();
    problems_.push_back({index_, kind, offset, std::move(date_problem)});
  }

  bool scalar(const Scalar& s) {
    if (!root_is_object_) {
      if (depth_ == 0) root_offset_ = cursor_.token_start(s.lead());
      return true;
    }
    if (depth_ == 1) {
      if (index_ != kNone) member_value(s);
    } else if (depth_ == 2 && collecting_) {
      element(s);
    }
    return true;
  }

  bool open(bool array) {
    if (depth_ == 0) {
      root_is_object_ = !array;
      if (array) root_offset_ = cursor_.bracket_start();
    } else if (root_is_object_ && depth_ == 1 && index_ != kNone) {
      if (array && types::is_set_type(type_)) {
        collecting_ = true;
        if (type_ == Type::IntSet) {
          ints_ = &elements_.emplace<IntSetBuilder>();
        } else if (type_ == Type::DateSet) {
          elements_.emplace<std::vector<DateLit>>();
        } else {
          texts_ = &elements_.emplace<TextSetBuilder>(base_);
        }
      } else {
        fail_at(InputError::Kind::WrongValue, cursor_.bracket_start());
      }
    } else if (depth_ == 2 && collecting_) {
      fail_at(InputError::Kind::WrongElement, cursor_.bracket_start());
    }
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 1 && collecting_) {
      stop_collecting();
      if (element_count(elements_) < kBuildAtOnce) {
        values_[index_] = complete(type_, elements_, arena_);
      } else {
        pending_.push_back({index_, std::move(elements_)});
      }
      elements_.emplace<std::monostate>();
    }
    return true;
  }

  void stop_collecting() {
    collecting_ = false;
    ints_ = nullptr;
    texts_ = nullptr;
  }

  // A text the parser handed out, as long as the document's values live.
  std::string_view kept(std::string_view text) { return base_ ? text : arena_.copy(text); }

  void member_value(const Scalar& s) {
    using K = Scalar::Kind;
    switch (type_) {
      case Type::Bool:
        if (s.kind == K::Bool) {
          values_[index_] = ValueView::boolean(s.boolean);
          return;
        }
        break;
      case Type::Int:
        if (s.kind == K::Int) {
          values_[index_] = ValueView::integer(s.integer);
          return;
        }
        break;
      case Type::String:
        if (s.kind == K::String) {
          values_[index_] = ValueView::text(kept(s.text));
          return;
        }
        break;
      case Type::Date:
        if (s.kind == K::String) {
          auto date = parse_date(s.text);
          if (!date) return fail(InputError::Kind::BadDate, 0, std::move(date).error());
          values_[index_] = ValueView::date(*date);
          return;
        }
        break;
      case Type::IntSet:
      case Type::StringSet:
      case Type::DateSet:
        break;
    }
    fail(InputError::Kind::WrongValue, s.lead());
  }

  void element(const Scalar& s) {
    using K = Scalar::Kind;
    switch (type_) {
      case Type::IntSet:
        if (s.kind != K::Int) return fail(InputError::Kind::WrongElement, s.lead());
        std::get<IntSetBuilder>(elements_).add(s.integer);
        return;
      case Type::StringSet:
        if (s.kind != K::String) return fail(InputError::Kind::WrongElement, s.lead());
        std::get<TextSetBuilder>(elements_).add(s.text);
        return;
      case Type::DateSet: {
        if (s.kind != K::String) return fail(InputError::Kind::WrongElement, s.lead());
        auto date = parse_date(s.text);
        if (!date) return fail(InputError::Kind::BadDate, 0, std::move(date).error());
        std::get<std::vector<DateLit>>(elements_).push_back(*date);
        return;
      }
      default:
        return;  // collecting_ is set for set types only
    }
  }

  std::span<const Field> fields_;
  ValueView* values_;  // parallel to fields_, in the arena
  types::Arena& arena_;
  const char* base_;                       // where texts stay, if they do
  std::vector<Problem> problems_;          // of members' last occurrences
  std::vector<Pending> pending_;           // large sets read without problems
  std::optional<std::string> undeclared_;  // least undeclared name seen
  std::size_t undeclared_offset_ = 0;      // where it was seen
  std::size_t root_offset_ = 0;            // of a top-level value that is not an object
  Cursor cursor_;
  std::size_t depth_ = 0;  // containers open
  bool root_is_object_ = false;
  std::size_t index_ = kNone;  // the declared member being read, if any
  Type type_ = Type::Bool;     // its declared type
  bool collecting_ = false;    // inside the array of a set member, without problems
  SetElements elements_;       // its elements so far
  // The elements_ of a set of integers or of texts while collecting_: its
  // elements go straight there, the bulk of a large document's events.
  IntSetBuilder* ints_ = nullptr;
  TextSetBuilder* texts_ = nullptr;
  bool escapes_;
};

// Documents up to this size are parsed in a copy, in place.
constexpr std::size_t kSmall = 1024;

// A text made ready for parsing, and what the checks before parsing need
// to know of it.
struct Prepared {
  // A small text's copy in the arena, followed by a NUL byte and padding,
  // to be parsed in place; nullptr for a larger text.
  char* copy = nullptr;
  // Exact but for `high`, which a large text always has (its validator
  // finds ASCII runs fast).
  text_scan::TextFacts facts;
};

// Copying a small text finds its facts on the way, in one pass over it; a
// large text is searched with memchr, which is fast over long runs.
Prepared prepare(std::string_view text, types::Arena& arena) {
  if (text.size() > kSmall) {
    return {nullptr,
            {true, text.find('\0') != std::string_view::npos,
             text.find('\\') != std::string_view::npos}};
  }
  char* copy = arena.allocate_array<char>(text.size() + 1 + text_scan::kWordPadding);
  const text_scan::TextFacts facts = text_scan::copy_and_scan(text, copy);
  // The NUL where the in-place stream ends, and defined bytes after it.
  std::memset(copy + text.size(), 0, 1 + text_scan::kWordPadding);
  return {copy, facts};
}

// Parses `copy` (from prepare) into `handler`, in place: the parser then
// decodes strings where they lie instead of pushing each byte onto its own
// stack, and they stay there for the loaded values to point to. The stack
// it still needs for its state lives on the call stack. Such a document is
// parsed by recursive descent, the parser's faster mode: it nests at most
// one level per byte, so its size bounds the depth of the recursion.
// Gives the parser's error code, kParseErrorNone when it read the whole text.
template <typename Handler>
rapidjson::ParseErrorCode parse_small(char* copy, Handler& handler) {
  char buffer[2 * kSmall];
  rapidjson::MemoryPoolAllocator<> pool(buffer, sizeof buffer);
  rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, rapidjson::MemoryPoolAllocator<>>
      reader(&pool);
  SmallCopyStream stream(copy);
  handler.watch(Cursor(stream, false));
  return reader.Parse<rapidjson::kParseInsituFlag>(stream, handler).Code();
}

// Parses a larger `text` where it is, without recursion, with the
// allocating stack, which grows in place rather than in new blocks. Texts
// reach the handler only for the call.
template <typename Handler>
rapidjson::ParseErrorCode parse_stream(std::string_view text, Handler& handler) {
  TextStream stream(text.data(), text.size());
  handler.watch(Cursor(stream, true));
  rapidjson::Reader reader;
  return reader.Parse<rapidjson::kParseIterativeFlag>(stream, handler).Code();
}

// Whether `json`, as `prepared`, is a large owned text without a backslash,
// which is parsed where it lies so that no string is copied at all: the
// values then point into the text, which the loaded document keeps. Span
// offsets are 32 bits.
bool parses_in_its_text(JsonText& json, const Prepared& prepared) {
  return json.writable() && !prepared.copy && !prepared.facts.backslash &&
         json.view().size() <= std::numeric_limits<std::uint32_t>::max();
}

// Parses such a text (see parses_in_its_text) in place, leaving it as it
// was (see UnescapedTextStream), so that a second reading and the error
// positions see the original text.
template <typename Handler>
rapidjson::ParseErrorCode parse_in_its_text(JsonText& json, Handler& handler) {
  UnescapedTextStream stream(json.writable());  // the string's own NUL ends it
  handler.watch(Cursor(stream, true));
  rapidjson::Reader reader;
  constexpr unsigned flags = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag;
  return reader.Parse<flags>(stream, handler).Code();
}

// Whether `text`, which holds a backslash, holds a \u escape.
bool has_unicode_escape(std::string_view text) {
  for (std::size_t at = text.find('\\'); at != std::string_view::npos;
       at = text.find('\\', at + 2)) {
    if (at + 1 < text.size() && text[at + 1] == 'u') return true;
  }
  return false;
}

// The error of a text the single pass could not read. check_json is the
// one place that words and places JSON errors, so every path reports them
// alike; it finds one in every text the pass refuses (a parse error, a NUL
// byte, invalid UTF-8, a \u escape that decodes to invalid UTF-8).
JsonError json_error_of(std::string_view text) {
  if (auto problem = check_json(text)) return std::move(*problem);
  return JsonError::at("invalid JSON", text, 0);  // unreachable: see above
}

// Reads `text` again into `handler`, new, with its floating-point numbers
// zeroed; whether it parsed. Rare, and kept out of line, apart from the
// parser instances of the common path. The zeroed copy dies here, so the
// handler must copy every text it keeps.
template <typename Handler>
[[gnu::noinline]] bool read_zeroed(Handler& handler, std::string_view text) {
  std::string copy;
  const std::string_view zeroed = neutralize_floats(text, copy);
  TextStream stream(zeroed.data(), zeroed.size());
  handler.watch(Cursor(stream, true));
  rapidjson::Reader reader;
  // Checking UTF-8 again is redundant, and makes this parser an instance of
  // its own.
  constexpr unsigned flags = rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
  return !reader.Parse<flags>(stream, handler).IsError();
}

// Reads `json`, which is valid UTF-8 without a NUL byte (the parser takes
// one for the end of its input) and was made ready as `prepared`, whole into
// a handler made by `make(base)` and gives what `finish(handler,
// in_its_text)` makes of it, or why the text is not JSON. `base` is where the
// parsed texts stay (the prepared copy, or the document's own text when
// `in_its_text`, which only an owned document may be), nullptr when the
// handler must copy them. The parser
// refuses numbers beyond the range of a double, which are valid JSON; as no
// declared type takes a floating-point number, such a text is read again with
// its floating-point numbers written as zeros of the same length, which loads
// the same values.
template <typename Handler, typename Make, typename Finish>
auto read_valid_utf8(JsonText& json, const Prepared& prepared, bool may_keep_text, Make make,
                     Finish finish)
    -> Result<decltype(finish(std::declval<Handler&>(), false)), JsonError> {
  const std::string_view text = json.view();
  const bool in_its_text = may_keep_text && parses_in_its_text(json, prepared);
  char* const copy = prepared.copy;
  Handler handler = make(in_its_text ? json.writable() : copy);
  const rapidjson::ParseErrorCode code = in_its_text ? parse_in_its_text(json, handler)
                                         : copy      ? parse_small(copy, handler)
                                                     : parse_stream(text, handler);
  if (code == rapidjson::kParseErrorNone) return finish(handler, in_its_text);
  if (code == rapidjson::kParseErrorNumberTooBig) {
    Handler again = make(nullptr);
    if (read_zeroed(again, text)) return finish(again, false);
  }
  return make_err(json_error_of(text));
}

template <typename Schema>
std::vector<Field> fields_of(const Schema& schema) {
  std::vector<Field> fields;
  fields.reserve(schema.fields.size());
  for (const auto& [name, shape] : schema.fields) fields.push_back({name, shape.type});
  return fields;
}

LoadResult by_name(const SlotsResult& loaded, std::span<const Field> fields) {
  if (!loaded) return make_err(loaded.error());
  types::ValueMap values;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if ((*loaded)[i]) {
      values.emplace_hint(values.end(), std::string(fields[i].name),
                          Value{types::to_scalar((*loaded)[i])});
    }
  }
  return values;
}

// A document read in one pass, with the storage its values point into.
Result<FieldsResult, JsonError> parse_and_load_fields(std::span<const Field> fields, JsonText text,
                                                      const char* schema_kind) {
  LoadedStorage storage;
  auto loaded = detail::load_fields_in_one_pass(fields, text, schema_kind, storage);
  if (!loaded) return make_err(std::move(loaded).error());
  return LoadedDocument(std::move(storage), *std::move(loaded));
}

template <typename Schema>
Result<LoadResult, JsonError> parse_and_load(const Schema& schema, JsonText text,
                                             const char* schema_kind) {
  const std::vector<Field> fields = fields_of(schema);
  return detail::load_in_one_pass(fields, text, schema_kind);
}

constexpr std::string_view kNotARequest = "a request must be a JSON object";

std::string unknown_member(std::string_view name) {
  return "unknown member `" + std::string(name) + "` (a request has only `intent` and `evidence`)";
}

constexpr std::string_view kMissingEvidence = "missing member `evidence`";

// Reads a request object and hands the events of its "intent" and
// "evidence" values to a Loader each; a member repeated starts its loader
// over. Members of other names are skipped and remembered.
class RequestReader : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RequestReader> {
 public:
  RequestReader(std::span<const Field> intent_fields, std::span<const Field> evidence_fields,
                bool escapes, types::Arena& arena, const char* base)
      : intent_fields_(intent_fields),
        evidence_fields_(evidence_fields),
        arena_(arena),
        base_(base),
        escapes_(escapes) {}

  bool Null() {
    return forward([](Loader& l) { return l.Null(); });
  }
  bool Bool(bool b) {
    return forward([b](Loader& l) { return l.Bool(b); });
  }
  bool Int(int i) {
    return forward([i](Loader& l) { return l.Int(i); });
  }
  bool Uint(unsigned u) {
    return forward([u](Loader& l) { return l.Uint(u); });
  }
  bool Int64(std::int64_t i) {
    return forward([i](Loader& l) { return l.Int64(i); });
  }
  bool Uint64(std::uint64_t u) {
    return forward([u](Loader& l) { return l.Uint64(u); });
  }
  bool Double(double d) {
    return forward([d](Loader& l) { return l.Double(d); });
  }
  bool String(const char* str, rapidjson::SizeType length, bool copy) {
    if (!unchecked_text_is_valid(str, length)) return false;
    return forward([&](Loader& l) { return l.String(str, length, copy); });
  }
  bool Key(const char* str, rapidjson::SizeType length, bool copy) {
    if (depth_ == 1) return request_member(str, length);
    if (!unchecked_text_is_valid(str, length)) return false;
    return forward([&](Loader& l) { return l.Key(str, length, copy); });
  }
  // A member of the request itself: two a line, apart from the members of
  // its documents, which keep the common path short.
  [[gnu::noinline]] bool request_member(const char* str, rapidjson::SizeType length) {
    if (!root_is_object_) return true;
    const std::string_view name(str, length);
    if (escapes_ && utf8::validate(name)) return false;
    if (name == "intent") {
      intent_.emplace(intent_fields_, escapes_, arena_, base_);
      intent_->watch(cursor_);
      target_ = &*intent_;
    } else if (name == "evidence") {
      evidence_.emplace(evidence_fields_, escapes_, arena_, base_);
      evidence_->watch(cursor_);
      target_ = &*evidence_;
    } else {
      target_ = nullptr;
      if (!unknown_ || name < *unknown_) unknown_ = std::string(name);
    }
    return true;
  }
  bool StartObject() {
    return open([](Loader& l) { return l.StartObject(); }, false);
  }
  bool EndObject(rapidjson::SizeType n) {
    return close([n](Loader& l) { return l.EndObject(n); });
  }
  bool StartArray() {
    return open([](Loader& l) { return l.StartArray(); }, true);
  }
  bool EndArray(rapidjson::SizeType n) {
    return close([n](Loader& l) { return l.EndArray(n); });
  }

  // Reads the parser's position through `cursor`, for both loaders.
  void watch(const Cursor& cursor) { cursor_ = cursor; }

  // The values, in the arena the reader was given.
  Result<RequestSlots, RequestProblem> finish() {
    using Kind = RequestProblem::Kind;
    if (!root_is_object_)
      return make_err(RequestProblem{Kind::Shape, std::string(kNotARequest), {}});
    if (unknown_) return make_err(RequestProblem{Kind::Shape, unknown_member(*unknown_), {}});
    if (!evidence_) return make_err(RequestProblem{Kind::Shape, std::string(kMissingEvidence), {}});
    SlotsResult intent = intent_ ? intent_->finish("intent") : absent(intent_fields_.size());
    SlotsResult evidence = evidence_->finish("evidence");
    return RequestSlots{std::move(intent), std::move(evidence)};
  }

 private:
  // A text no loader checks (the root's, or inside an unknown member) must
  // still decode to valid UTF-8, or the request is not JSON at all: false
  // stops the parse, and check_json words the error.
  bool unchecked_text_is_valid(const char* str, rapidjson::SizeType length) const {
    if (target_ || !escapes_) return true;
    return !utf8::validate(std::string_view(str, length));
  }

  // A value event: inside a member's value it belongs to that member's
  // loader (if the member is one of the two).
  template <typename Event>
  bool forward(Event event) {
    if (depth_ == 0 || !target_) return true;  // the root, or an unknown member
    const bool ok = event(*target_);
    if (depth_ == 1) target_ = nullptr;  // a scalar was the member's whole value
    return ok;
  }
  template <typename Event>
  bool open(Event event, bool array) {
    if (depth_ == 0) {
      root_is_object_ = !array;
      ++depth_;
      return true;
    }
    ++depth_;
    return !target_ || event(*target_);
  }
  template <typename Event>
  bool close(Event event) {
    --depth_;
    if (depth_ == 0 || !target_) return true;
    const bool ok = event(*target_);
    if (depth_ == 1) target_ = nullptr;  // the member's value is complete
    return ok;
  }

  // Slots without values, for an intent member the request lacks.
  SlotsResult absent(std::size_t count) {
    ValueView* values = arena_.allocate_array<ValueView>(count);
    std::uninitialized_fill_n(values, count, ValueView());
    return std::span<const ValueView>(values, count);
  }

  std::span<const Field> intent_fields_;
  std::span<const Field> evidence_fields_;
  types::Arena& arena_;
  const char* base_;
  std::optional<Loader> intent_;
  std::optional<Loader> evidence_;
  Loader* target_ = nullptr;  // the loader of the member being read
  Cursor cursor_;
  std::optional<std::string> unknown_;  // least unknown member name seen
  std::size_t depth_ = 0;               // containers open
  bool root_is_object_ = false;
  bool escapes_;
};

// The first invalid UTF-8 byte of `text`, as the JSON parser words it.
std::optional<JsonError> invalid_utf8(std::string_view text) {
  const auto bad = utf8::validate(text);
  if (!bad) return std::nullopt;
  return JsonError::at("invalid UTF-8", text, bad->valid_up_to);
}

}  // namespace

Result<SlotsResult, JsonError> detail::load_fields_in_one_pass(std::span<const Field> fields,
                                                               JsonText& json,
                                                               const char* schema_kind,
                                                               LoadedStorage& storage) {
  types::Arena& arena = storage.arena();
  const std::string_view text = json.view();
  const Prepared prepared = prepare(text, arena);
  // UTF-8 is checked here once (unless the caller did), so that the parser
  // need not check it again.
  if (prepared.facts.nul ||
      (prepared.facts.high && !json.known_valid_utf8() && utf8::validate(text)))
    return make_err(json_error_of(text));
  const bool escapes = prepared.facts.backslash && has_unicode_escape(text);
  return read_valid_utf8<Loader>(
      json, prepared, true, [&](const char* base) { return Loader(fields, escapes, arena, base); },
      [&](Loader& loader, bool in_its_text) {
        SlotsResult values = loader.finish(schema_kind);
        if (in_its_text) {
          storage.keep(json.take());
        } else {
          json.release();
        }
        return values;
      });
}

Result<LoadResult, JsonError> detail::load_in_one_pass(const std::vector<Field>& fields,
                                                       JsonText& json, const char* schema_kind) {
  LoadedStorage storage;
  auto loaded = load_fields_in_one_pass(fields, json, schema_kind, storage);
  if (!loaded) return make_err(std::move(loaded).error());
  return by_name(*loaded, fields);
}

std::vector<DeclaredField> declared_fields(const types::IntentSchema& schema) {
  return fields_of(schema);
}

std::vector<DeclaredField> declared_fields(const types::EvidenceSchema& schema) {
  return fields_of(schema);
}

Result<LoadResult, JsonError> parse_and_load_intent(const types::IntentSchema& schema,
                                                    JsonText text) {
  return parse_and_load(schema, std::move(text), "intent");
}

Result<LoadResult, JsonError> parse_and_load_evidence(const types::EvidenceSchema& schema,
                                                      JsonText text) {
  return parse_and_load(schema, std::move(text), "evidence");
}

Result<FieldsResult, JsonError> parse_and_load_intent_fields(const types::IntentSchema&,
                                                             std::span<const Field> fields,
                                                             JsonText text) {
  return parse_and_load_fields(fields, std::move(text), "intent");
}

Result<FieldsResult, JsonError> parse_and_load_evidence_fields(const types::EvidenceSchema&,
                                                               std::span<const Field> fields,
                                                               JsonText text) {
  return parse_and_load_fields(fields, std::move(text), "evidence");
}

Result<SlotsResult, JsonError> parse_and_load_intent_into(std::span<const Field> fields,
                                                          std::string_view text,
                                                          LoadedStorage& storage) {
  JsonText json = JsonText::borrowed(text);
  return detail::load_fields_in_one_pass(fields, json, "intent", storage);
}

Result<SlotsResult, JsonError> parse_and_load_evidence_into(std::span<const Field> fields,
                                                            std::string_view text,
                                                            LoadedStorage& storage) {
  JsonText json = JsonText::borrowed(text);
  return detail::load_fields_in_one_pass(fields, json, "evidence", storage);
}

Result<RequestSlots, RequestProblem> parse_and_load_request_into(
    const types::IntentSchema&, std::span<const Field> intent_fields, const types::EvidenceSchema&,
    std::span<const Field> evidence_fields, std::string_view text, LoadedStorage& storage) {
  storage.clear();
  types::Arena& arena = storage.arena();
  const Prepared prepared = prepare(text, arena);
  const auto not_json = [](JsonError e) {
    return make_err(RequestProblem{RequestProblem::Kind::Json, {}, std::move(e)});
  };
  if (prepared.facts.high) {
    if (auto bad = invalid_utf8(text)) return not_json(std::move(*bad));
  }
  if (prepared.facts.nul) return not_json(json_error_of(text));
  JsonText json = JsonText::borrowed(text);
  const bool escapes = prepared.facts.backslash && has_unicode_escape(text);
  auto read = read_valid_utf8<RequestReader>(
      json, prepared, false,
      [&](const char* base) {
        return RequestReader(intent_fields, evidence_fields, escapes, arena, base);
      },
      [&](RequestReader& reader, bool) { return reader.finish(); });
  if (!read) return not_json(std::move(read).error());
  return std::move(read).value();
}

Result<RequestFields, RequestProblem> parse_and_load_request(
    const types::IntentSchema& intent_schema, std::span<const Field> intent_fields,
    const types::EvidenceSchema& evidence_schema, std::span<const Field> evidence_fields,
    std::string_view text) {
  LoadedStorage storage;
  auto read = parse_and_load_request_into(intent_schema, intent_fields, evidence_schema,
                                          evidence_fields, text, storage);
  if (!read) return make_err(std::move(read).error());
  return RequestFields{std::move(storage), std::move(read->intent), std::move(read->evidence)};
}

}  // namespace verdane::runtime_input
