// The C functions the JavaScript package calls. Every call takes a Reply that
// the caller made with vd_reply_new and fills it: a status, the error's kind
// and position, and up to two texts, laid out so that JavaScript reads them
// straight from memory (see ReplyView). Templates cross as pointers that
// JavaScript frees with vd_template_free.
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

// What JavaScript reads: eight 32-bit words at the start of a Reply.
struct ReplyView {
  std::uint32_t status = 0;  // 0 failed (an Error), 1 done
  std::uint32_t kind = 0;    // api::Error::Kind when failed; for a decision, 1 if it passed
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::uint32_t first = 0;  // address and size of the first text
  std::uint32_t first_size = 0;
  std::uint32_t second = 0;  // address and size of the second text
  std::uint32_t second_size = 0;
};

struct Reply {
  ReplyView view;  // first member: the Reply's address is the view's
  std::string first;
  std::string second;

  void texts(std::string a, std::string b = {}) {
    first = std::move(a);
    second = std::move(b);
    view.first = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(first.data()));
    view.first_size = static_cast<std::uint32_t>(first.size());
    view.second = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(second.data()));
    view.second_size = static_cast<std::uint32_t>(second.size());
  }

  void done(std::string a, std::string b = {}) {
    view.status = 1;
    texts(std::move(a), std::move(b));
  }

  // A decision's report and JSON line, one after the other in the first
  // string, so that JavaScript copies them out at once.
  void decided(const api::Decision& decision) {
    view.status = 1;
    view.kind = decision.pass ? 1 : 0;
    first = decision.report();
    const std::size_t split = first.size();
    decision.append_json(first);
    const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(first.data()));
    view.first = base;
    view.first_size = static_cast<std::uint32_t>(split);
    view.second = base + view.first_size;
    view.second_size = static_cast<std::uint32_t>(first.size() - split);
  }

  void fail(const api::Error& error) {
    view.status = 0;
    view.kind = static_cast<std::uint32_t>(error.kind);
    view.line = static_cast<std::uint32_t>(error.line);
    view.column = static_cast<std::uint32_t>(error.column);
    texts(error.message, error.to_string());
  }
};

std::string_view text(const char* data, std::size_t size) { return {data, size}; }

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE Reply* vd_reply_new() { return new Reply(); }

EMSCRIPTEN_KEEPALIVE void* vd_alloc(std::size_t size) { return std::malloc(size == 0 ? 1 : size); }

EMSCRIPTEN_KEEPALIVE void vd_dealloc(void* p) { std::free(p); }

EMSCRIPTEN_KEEPALIVE api::Template* vd_compile(const char* source, std::size_t size, Reply* reply) {
  auto tmpl = api::compile(text(source, size));
  if (!tmpl) {
    reply->fail(tmpl.error());
    return nullptr;
  }
  reply->done(tmpl->name());
  return new api::Template(std::move(tmpl).value());
}

EMSCRIPTEN_KEEPALIVE api::Template* vd_decode(const std::uint8_t* bytes, std::size_t size,
                                              Reply* reply) {
  auto tmpl = api::decode({bytes, size});
  if (!tmpl) {
    reply->fail(tmpl.error());
    return nullptr;
  }
  reply->done(tmpl->name());
  return new api::Template(std::move(tmpl).value());
}

EMSCRIPTEN_KEEPALIVE void vd_template_free(api::Template* tmpl) { delete tmpl; }

// The id's text and the bytecode, in one call: both come from one encoding.
EMSCRIPTEN_KEEPALIVE void vd_identity(const api::Template* tmpl, Reply* reply) {
  auto bytes = api::encode(*tmpl);
  if (!bytes) return reply->fail(bytes.error());
  auto id = api::id(*tmpl);
  if (!id) return reply->fail(id.error());
  reply->done(id->to_string(), std::string(bytes->begin(), bytes->end()));
}

EMSCRIPTEN_KEEPALIVE void vd_render(const api::Template* tmpl, Reply* reply) {
  reply->done(api::render(*tmpl));
}

EMSCRIPTEN_KEEPALIVE void vd_parse_id(const char* data, std::size_t size, Reply* reply) {
  auto id = api::parse_id(text(data, size));
  if (!id) return reply->fail(id.error());
  reply->done(std::string(id->digest.begin(), id->digest.end()));
}

// A passing decision's texts are in the Reply and nullptr is returned. A
// failing one is returned whole, for vd_decision_texts to write its texts
// only if JavaScript asks for them (most callers only look at `passed`), and
// for vd_decision_free. An error leaves status 0 and returns nullptr.
EMSCRIPTEN_KEEPALIVE api::Decision* vd_evaluate(const api::Template* tmpl, const char* intent,
                                                std::size_t intent_size, const char* evidence,
                                                std::size_t evidence_size, int explain,
                                                Reply* reply) {
  auto decision = api::evaluate_json(*tmpl, text(intent, intent_size),
                                     text(evidence, evidence_size), api::EvalOptions{explain != 0});
  if (!decision) {
    reply->fail(decision.error());
    return nullptr;
  }
  if (decision->pass) {
    reply->decided(*decision);
    return nullptr;
  }
  reply->view.status = 1;
  reply->view.kind = 0;
  return new api::Decision(std::move(decision).value());
}

EMSCRIPTEN_KEEPALIVE void vd_decision_texts(const api::Decision* decision, Reply* reply) {
  reply->decided(*decision);
}

EMSCRIPTEN_KEEPALIVE void vd_decision_free(api::Decision* decision) { delete decision; }

}  // extern "C"
