// The canonical bytecode codec.
//
// Encoding walks the template once, writing into a small buffer that passes
// each full chunk on: to SHA-256 when hashing, or to a list of pieces that
// are joined into one buffer of the final size. Decoding
// reads the input in place and fails on the first problem with the decoder's
// error in its debug form (see bytes.h for the list of texts).
#include "korvel_serializers/bytes.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "support/utf8.h"

namespace korvel::serializers {

namespace {

using verdane::types::Add;
using verdane::types::And;
using verdane::types::Binary;
using verdane::types::Constraint;
using verdane::types::DateLit;
using verdane::types::DateSet;
using verdane::types::Eq;
using verdane::types::EvidenceField;
using verdane::types::EvidenceFieldType;
using verdane::types::Expr;
using verdane::types::Ge;
using verdane::types::Gt;
using verdane::types::In;
using verdane::types::IntentField;
using verdane::types::IntentFieldType;
using verdane::types::IntSet;
using verdane::types::Le;
using verdane::types::Literal;
using verdane::types::Lt;
using verdane::types::MAX_EXPR_DEPTH;
using verdane::types::Mul;
using verdane::types::Not;
using verdane::types::OperandPair;
using verdane::types::Or;
using verdane::types::PolicyTemplate;
using verdane::types::StringSet;
using verdane::types::Sub;
using verdane::types::SubsetOf;
using verdane::types::SupersetOf;
using verdane::types::Type;

// Markers of the variable-length integer forms.
constexpr std::uint8_t kSingleByteMax = 250;
constexpr std::uint8_t kU16Marker = 251;
constexpr std::uint8_t kU32Marker = 252;
constexpr std::uint8_t kU64Marker = 253;
constexpr std::uint8_t kU128Marker = 254;

std::string depth_error() {
  return "OtherString(\"expression nesting exceeds the maximum depth of " +
         std::to_string(MAX_EXPR_DEPTH) + "\")";
}

std::uint64_t zigzag64(std::int64_t n) {
  return (static_cast<std::uint64_t>(n) << 1) ^ static_cast<std::uint64_t>(n >> 63);
}
std::uint32_t zigzag32(std::int32_t n) {
  return (static_cast<std::uint32_t>(n) << 1) ^ static_cast<std::uint32_t>(n >> 31);
}
std::int64_t unzigzag64(std::uint64_t n) {
  return static_cast<std::int64_t>(n >> 1) ^ -static_cast<std::int64_t>(n & 1);
}
std::int32_t unzigzag32(std::uint32_t n) {
  return static_cast<std::int32_t>(n >> 1) ^ -static_cast<std::int32_t>(n & 1);
}

// ---------------------------------------------------------------------------
// Encoding

// Writes the variable-length form of `v` at `p`; returns its width.
std::size_t put_varint(std::uint8_t* p, std::uint64_t v) {
  if (v <= kSingleByteMax) {
    p[0] = static_cast<std::uint8_t>(v);
    return 1;
  }
  std::size_t width = 8;
  if (v <= 0xFFFF) {
    p[0] = kU16Marker;
    width = 2;
  } else if (v <= 0xFFFFFFFF) {
    p[0] = kU32Marker;
    width = 4;
  } else {
    p[0] = kU64Marker;
  }
  for (std::size_t i = 0; i < width; ++i) p[1 + i] = static_cast<std::uint8_t>(v >> (8 * i));
  return 1 + width;
}

// Keeps the pieces of an encoding, to join them once their total is known.
class Pieces final : public ByteSink {
 public:
  void write(std::span<const std::uint8_t> bytes) override {
    pieces_.emplace_back(bytes.begin(), bytes.end());
    size_ += bytes.size();
  }
  // All pieces in one buffer allocated at exactly their total size.
  std::vector<std::uint8_t> joined() && {
    std::vector<std::uint8_t> out;
    out.reserve(size_);
    for (const auto& piece : pieces_) out.insert(out.end(), piece.begin(), piece.end());
    return out;
  }

 private:
  std::vector<std::vector<std::uint8_t>> pieces_;
  std::size_t size_ = 0;
};

// Collects bytes in a fixed buffer and hands them to a ByteSink whenever it
// fills up, so the encoding never exists in one piece.
class ChunkWriter {
 public:
  explicit ChunkWriter(ByteSink& sink) : sink_(sink) {}

  void byte(std::uint8_t b) {
    room(1);
    buf_[n_++] = b;
  }
  // Small values with room left, the usual case, stay inline.
  void varint(std::uint64_t v) {
    if (v <= kSingleByteMax && n_ < kSize) {
      buf_[n_++] = static_cast<std::uint8_t>(v);
    } else {
      any_varint(v);
    }
  }
  void raw(std::string_view bytes) {
    if (bytes.size() > kSize - n_) {
      flush();
      if (bytes.size() >= kSize) {  // too big to buffer: pass it on as it is
        sink_.write({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        return;
      }
    }
    std::memcpy(buf_ + n_, bytes.data(), bytes.size());
    n_ += bytes.size();
  }
  void flush() {
    if (n_ != 0) sink_.write({buf_, n_});
    n_ = 0;
  }

 private:
  static constexpr std::size_t kSize = 16384;
  void room(std::size_t k) {
    if (kSize - n_ < k) flush();
  }
  [[gnu::noinline]] void any_varint(std::uint64_t v) {
    room(9);
    n_ += put_varint(buf_ + n_, v);
  }

  ByteSink& sink_;
  std::size_t n_ = 0;
  std::uint8_t buf_[kSize];
};

// Takes the place of ChunkWriter where only the walk's verdict is wanted.
struct DiscardWriter {
  void byte(std::uint8_t) {}
  void varint(std::uint64_t) {}
  void raw(std::string_view) {}
};

// One walk over a template into `Sink`. Fails (error set) only for trees no
// template built by the compiler can have: deeper than MAX_EXPR_DEPTH, which
// the decoder would refuse to read back, or with a missing operand.
template <typename Sink>
class Encoder {
 public:
  explicit Encoder(Sink& sink) : sink_(sink) {}

  bool encode(const PolicyTemplate& t) {
    text(t.name);
    sink_.varint(t.intent_schema.fields.size());
    for (const auto& [name, field] : t.intent_schema.fields) {
      text(name);
      type(field.type);
      boolean(field.optional);
    }
    sink_.varint(t.evidence_schema.fields.size());
    for (const auto& [name, field] : t.evidence_schema.fields) {
      text(name);
      type(field.type);
    }
    sink_.varint(t.constraints.size());
    for (const Constraint& c : t.constraints) {
      boolean(c.optional);
      if (!expr(c.expr, 1)) return false;
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  void text(std::string_view s) {
    sink_.varint(s.size());
    sink_.raw(s);
  }
  void boolean(bool b) { sink_.byte(b ? 1 : 0); }
  void type(Type t) { sink_.varint(static_cast<std::uint64_t>(t)); }
  void date(const DateLit& d) {
    sink_.varint(zigzag32(d.year));
    sink_.byte(d.month);
    sink_.byte(d.day);
  }

  void literal(const Literal& lit) {
    sink_.varint(lit.data.index());
    std::visit(
        [this](const auto& v) {
          using V = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<V, bool>) {
            boolean(v);
          } else if constexpr (std::is_same_v<V, std::int64_t>) {
            sink_.varint(zigzag64(v));
          } else if constexpr (std::is_same_v<V, std::string>) {
            text(v);
          } else if constexpr (std::is_same_v<V, DateLit>) {
            date(v);
          } else {
            sink_.varint(v.size());
            for (const auto& item : v) {
              if constexpr (std::is_same_v<V, IntSet>) {
                sink_.varint(zigzag64(item));
              } else if constexpr (std::is_same_v<V, StringSet>) {
                text(item);
              } else {
                date(item);
              }
            }
          }
        },
        lit.data);
  }

  // `depth` counts nodes from the constraint's root, which is 1.
  bool expr(const Expr& e, std::size_t depth) {
    if (depth > MAX_EXPR_DEPTH) return fail(depth_error());
    sink_.varint(e.node.index());
    return std::visit(
        [this, depth](const auto& n) -> bool {
          using N = std::decay_t<decltype(n)>;
          if constexpr (std::is_same_v<N, Literal>) {
            literal(n);
            return true;
          } else if constexpr (std::is_same_v<N, IntentField> || std::is_same_v<N, EvidenceField>) {
            text(n.name);
            return true;
          } else if constexpr (std::is_base_of_v<Binary, N>) {
            if (!n.pair) return fail(missing_operand());
            return expr(n.left(), depth + 1) && expr(n.right(), depth + 1);
          } else if constexpr (std::is_same_v<N, Not>) {
            if (!n.operand) return fail(missing_operand());
            return expr(*n.operand, depth + 1);
          } else {
            sink_.varint(n.operands.size());
            for (const Expr& op : n.operands) {
              if (!expr(op, depth + 1)) return false;
            }
            return true;
          }
        },
        e.node);
  }

  static std::string missing_operand() {
    return "OtherString(\"expression node is missing an operand\")";
  }
  bool fail(std::string source) {
    error_ = std::move(source);
    return false;
  }

  Sink& sink_;
  std::string error_;
};

// ---------------------------------------------------------------------------
// Decoding

// Width of an integer being read, as named in InvalidIntegerType errors:
// U32 for variant indices and date years, U64 for lengths, counts and Int
// literals.
enum class Width { U32, U64 };

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> input) : input_(input) {}

  std::size_t remaining() const { return input_.size() - pos_; }
  const std::string& error() const { return error_; }

  bool read_template(PolicyTemplate& t) {
    if (!read_text(t.name)) return false;

    std::uint64_t count = 0;
    if (!read_varint(count, Width::U64)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::string_view name;
      IntentFieldType field;
      if (!read_text(name) || !read_type(field.type) || !read_bool(field.optional)) return false;
      put_field(t.intent_schema.fields, name, field);
    }

    if (!read_varint(count, Width::U64)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::string_view name;
      EvidenceFieldType field;
      if (!read_text(name) || !read_type(field.type)) return false;
      put_field(t.evidence_schema.fields, name, field);
    }

    if (!read_varint(count, Width::U64)) return false;
    t.constraints.reserve(capped(count, 2));  // optional flag + variant index at least
    for (std::uint64_t i = 0; i < count; ++i) {
      Constraint& c = t.constraints.emplace_back();
      if (!read_bool(c.optional) || !read_expr(c.expr, 1)) return false;
    }
    return true;
  }

 private:
  bool fail(std::string source) {
    error_ = std::move(source);
    return false;
  }
  bool unexpected_end(std::uint64_t additional) {
    return fail("UnexpectedEnd { additional: " + std::to_string(additional) + " }");
  }

  // How many elements to reserve for `count` announced ones, each taking at
  // least `min_bytes`: never more than the rest of the input could hold, so a
  // forged count cannot set aside storage the input does not back.
  std::size_t capped(std::uint64_t count, std::size_t min_bytes) const {
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, remaining() / min_bytes));
  }

  bool read_byte(std::uint8_t& out) {
    if (remaining() == 0) return unexpected_end(1);
    out = input_[pos_++];
    return true;
  }

  bool read_bool(bool& out) {
    std::uint8_t b = 0;
    if (!read_byte(b)) return false;
    if (b > 1) return fail("InvalidBooleanValue(" + std::to_string(b) + ")");
    out = b == 1;
    return true;
  }

  // Accepts every form whose width fits, not only the shortest. Most values
  // of a template are single bytes: those are read inline.
  bool read_varint(std::uint64_t& out, Width width) {
    if (pos_ < input_.size() && input_[pos_] <= kSingleByteMax) {
      out = input_[pos_++];
      return true;
    }
    return read_wide_varint(out, width);
  }

  [[gnu::noinline]] bool read_wide_varint(std::uint64_t& out, Width width) {
    const char* expected = width == Width::U32 ? "U32" : "U64";
    std::uint8_t marker = 0;
    if (!read_byte(marker)) return false;
    std::size_t len = 0;
    if (marker <= kSingleByteMax) {
      out = marker;
      return true;
    } else if (marker == kU16Marker) {
      len = 2;
    } else if (marker == kU32Marker) {
      len = 4;
    } else if (marker == kU64Marker && width == Width::U64) {
      len = 8;
    } else {
      const char* found =
          marker == kU64Marker ? "U64" : (marker == kU128Marker ? "U128" : "Reserved");
      return fail(std::string("InvalidIntegerType { expected: ") + expected + ", found: " + found +
                  " }");
    }
    if (remaining() < len) return unexpected_end(len - remaining());
    out = 0;
    for (std::size_t i = 0; i < len; ++i) {
      out |= static_cast<std::uint64_t>(input_[pos_ + i]) << (8 * i);
    }
    pos_ += len;
    return true;
  }

  bool read_i64(std::int64_t& out) {
    std::uint64_t v = 0;
    if (!read_varint(v, Width::U64)) return false;
    out = unzigzag64(v);
    return true;
  }

  // A schema field, its name copied once, straight into its node. Canonical
  // bytecode lists names in ascending order, so the end is the right hint;
  // any other order still lands where it belongs, and of a repeated name
  // the last field wins.
  template <typename Fields, typename Field>
  static void put_field(Fields& fields, std::string_view name, const Field& field) {
    fields
        .emplace_hint(fields.end(), std::piecewise_construct, std::forward_as_tuple(name),
                      std::forward_as_tuple(field))
        ->second = field;
  }

  bool read_text(std::string& out) {
    std::string_view bytes;
    if (!read_text(bytes)) return false;
    // Every caller reads into a fresh string, where appending is assigning
    // at less cost.
    assert(out.empty());
    out.append(bytes);
    return true;
  }

  // A text as a view of the input, checked to be UTF-8.
  bool read_text(std::string_view& out) {
    std::uint64_t len = 0;
    if (!read_varint(len, Width::U64)) return false;
    // Checked before anything is copied, so a forged length costs nothing.
    if (len > remaining()) return unexpected_end(len - remaining());
    const std::string_view bytes(reinterpret_cast<const char*>(input_.data() + pos_),
                                 static_cast<std::size_t>(len));
    if (!short_ascii(bytes)) {
      if (auto bad = verdane::utf8::validate(bytes)) {
        return fail("Utf8 { inner: Utf8Error { valid_up_to: " + std::to_string(bad->valid_up_to) +
                    ", error_len: " +
                    (bad->error_len ? "Some(" + std::to_string(*bad->error_len) + ")" : "None") +
                    " } }");
      }
    }
    out = bytes;
    pos_ += bytes.size();
    return true;
  }

  // Names and short texts, most of a template's texts, are plain ASCII:
  // that is seen here without the general check.
  // Two loads that may overlap cover up to 16 bytes, in place of a loop.
  static bool short_ascii(std::string_view bytes) {
    const std::size_t n = bytes.size();
    const char* p = bytes.data();
    std::uint64_t any = 0;
    if (n > 16) return false;
    if (n >= 8) {
      any = load<std::uint64_t>(p) | load<std::uint64_t>(p + n - 8);
    } else if (n >= 4) {
      any = load<std::uint32_t>(p) | load<std::uint32_t>(p + n - 4);
    } else {
      for (std::size_t i = 0; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
    }
    return (any & 0x8080808080808080u) == 0;
  }
  template <typename Word>
  static std::uint64_t load(const char* p) {
    Word w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }

  // A variant index below `count`.
  bool read_variant(std::uint32_t& out, std::uint32_t count) {
    std::uint64_t v = 0;
    if (!read_varint(v, Width::U32)) return false;
    if (v >= count) {
      return fail("OtherString(\"invalid value: integer `" + std::to_string(v) +
                  "`, expected variant index 0 <= i < " + std::to_string(count) + "\")");
    }
    out = static_cast<std::uint32_t>(v);
    return true;
  }

  bool read_type(Type& out) {
    std::uint32_t index = 0;
    if (!read_variant(index, verdane::types::TYPE_COUNT)) return false;
    out = static_cast<Type>(index);
    return true;
  }

  // Dates are taken as written; no calendar check.
  bool read_date(DateLit& out) {
    std::uint64_t year = 0;
    if (!read_varint(year, Width::U32)) return false;
    out.year = unzigzag32(static_cast<std::uint32_t>(year));
    return read_byte(out.month) && read_byte(out.day);
  }

  // Reads a set's elements in whatever order they come and sorts once;
  // repeated elements collapse.
  template <typename T, typename ReadOne>
  bool read_set(verdane::types::OrderedSet<T>& out, std::size_t min_bytes, ReadOne read_one) {
    std::uint64_t count = 0;
    if (!read_varint(count, Width::U64)) return false;
    std::vector<T> items;
    items.reserve(capped(count, min_bytes));
    for (std::uint64_t i = 0; i < count; ++i) {
      T item{};
      if (!read_one(item)) return false;
      items.push_back(std::move(item));
    }
    out = verdane::types::OrderedSet<T>(std::move(items));
    return true;
  }

  // Kept out of line, like read_list, so that read_expr's own frame (paid
  // once per nesting level) stays small.
  [[gnu::noinline]] bool read_literal(Literal& out) {
    std::uint32_t index = 0;
    if (!read_variant(index, verdane::types::TYPE_COUNT)) return false;
    switch (static_cast<Type>(index)) {
      case Type::Bool:
        return read_bool(out.data.emplace<bool>());
      case Type::Int:
        return read_i64(out.data.emplace<std::int64_t>());
      case Type::String:
        return read_text(out.data.emplace<std::string>());
      case Type::Date:
        return read_date(out.data.emplace<DateLit>());
      case Type::IntSet:
        return read_set(out.data.emplace<IntSet>(), 1,
                        [this](std::int64_t& v) { return read_i64(v); });
      case Type::StringSet:
        return read_set(out.data.emplace<StringSet>(), 1,
                        [this](std::string& v) { return read_text(v); });
      case Type::DateSet:
        return read_set(out.data.emplace<DateSet>(), 3,
                        [this](DateLit& v) { return read_date(v); });
    }
    return false;  // unreachable: the index was checked
  }

  template <typename N>
  bool read_binary(Expr& out, std::size_t depth) {
    N& node = out.node.emplace<N>();
    node.pair = std::make_unique<OperandPair>();
    return read_expr(node.left(), depth + 1) && read_expr(node.right(), depth + 1);
  }

  template <typename N>
  [[gnu::noinline]] bool read_list(Expr& out, std::size_t depth) {
    std::uint64_t count = 0;
    if (!read_varint(count, Width::U64)) return false;
    // Built in place: on failure the whole template is dropped anyway.
    N& node = out.node.emplace<N>();
    node.operands.reserve(capped(count, 1));
    for (std::uint64_t i = 0; i < count; ++i) {
      if (!read_expr(node.operands.emplace_back(), depth + 1)) return false;
    }
    return true;
  }

  // `depth` is the number of nodes from the constraint's root down to this
  // one; the check comes first so recursion never passes MAX_EXPR_DEPTH.
  bool read_expr(Expr& out, std::size_t depth) {
    if (depth > MAX_EXPR_DEPTH) return fail(depth_error());
    std::uint32_t index = 0;
    if (!read_variant(index, verdane::types::EXPR_KIND_COUNT)) return false;
    using K = verdane::types::ExprKind;
    switch (static_cast<K>(index)) {
      case K::Literal:
        return read_literal(out.node.emplace<Literal>());
      case K::IntentField:
        return read_text(out.node.emplace<IntentField>().name);
      case K::EvidenceField:
        return read_text(out.node.emplace<EvidenceField>().name);
      case K::Add:
        return read_binary<Add>(out, depth);
      case K::Sub:
        return read_binary<Sub>(out, depth);
      case K::Mul:
        return read_binary<Mul>(out, depth);
      case K::Eq:
        return read_binary<Eq>(out, depth);
      case K::Lt:
        return read_binary<Lt>(out, depth);
      case K::Le:
        return read_binary<Le>(out, depth);
      case K::Gt:
        return read_binary<Gt>(out, depth);
      case K::Ge:
        return read_binary<Ge>(out, depth);
      case K::In:
        return read_binary<In>(out, depth);
      case K::SubsetOf:
        return read_binary<SubsetOf>(out, depth);
      case K::SupersetOf:
        return read_binary<SupersetOf>(out, depth);
      case K::Not: {
        Not& node = out.node.emplace<Not>(Not{std::make_unique<Expr>()});
        return read_expr(*node.operand, depth + 1);
      }
      case K::And:
        return read_list<And>(out, depth);
      case K::Or:
        return read_list<Or>(out, depth);
    }
    return false;  // unreachable: the index was checked
  }

  std::span<const std::uint8_t> input_;
  std::size_t pos_ = 0;
  std::string error_;
};

SerializerError encode_error(std::string source) {
  return SerializerError{SerializerError::Kind::Serialization, "bincode", std::move(source)};
}

SerializerError decode_error(std::string source) {
  return SerializerError{SerializerError::Kind::Deserialization, "bincode", std::move(source)};
}

}  // namespace

std::string SerializerError::to_string() const {
  return std::string(kind == Kind::Serialization ? "Serialization" : "Deserialization") +
         " failed, using lib " + lib + ": " + source;
}

verdane::Result<std::vector<std::uint8_t>, SerializerError> BytesSerializer::serialize(
    const PolicyTemplate& value) const {
  // One walk into pieces, then one copy into a buffer of the final size:
  // cheaper than walking the template a second time just to count.
  Pieces pieces;
  auto written = serialize_into(value, pieces);
  if (!written) return verdane::make_err(std::move(written).error());
  return std::move(pieces).joined();
}

verdane::Status<SerializerError> BytesSerializer::serialize_into(const PolicyTemplate& value,
                                                                 ByteSink& sink) const {
  ChunkWriter writer(sink);
  Encoder<ChunkWriter> write(writer);
  if (!write.encode(value)) return verdane::make_err(encode_error(write.error()));
  writer.flush();
  return verdane::ok_status<SerializerError>();
}

verdane::Status<SerializerError> BytesSerializer::check_encodable(
    const PolicyTemplate& value) const {
  DiscardWriter writer;
  Encoder<DiscardWriter> write(writer);
  if (!write.encode(value)) return verdane::make_err(encode_error(write.error()));
  return verdane::ok_status<SerializerError>();
}

verdane::Result<PolicyTemplate, SerializerError> BytesSerializer::deserialize(
    std::span<const std::uint8_t> bytes) const {
  Decoder decoder(bytes);
  PolicyTemplate result;
  if (!decoder.read_template(result)) return verdane::make_err(decode_error(decoder.error()));
  if (decoder.remaining() != 0) return verdane::make_err(decode_error("Other(\"input too long\")"));
  return result;
}

}  // namespace korvel::serializers
