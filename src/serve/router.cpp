#include "serve/router.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <array>

#include "driver/batch.h"
#include "support/json_text.h"
#include "support/line_text.h"

namespace verdane::serve {

namespace {

using http::verb;

std::string_view media_type(std::string_view content_type) {
  content_type = content_type.substr(0, content_type.find(';'));
  while (!content_type.empty() && content_type.back() == ' ') content_type.remove_suffix(1);
  return content_type;
}

bool same_text(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

Response json_response(unsigned status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

// The path's segments after the leading slash; nullopt when more than 5.
std::optional<std::array<std::string_view, 5>> segments(std::string_view path, std::size_t& count) {
  std::array<std::string_view, 5> parts{};
  count = 0;
  if (path.empty() || path[0] != '/') return std::nullopt;
  path.remove_prefix(1);
  while (true) {
    if (count == parts.size()) return std::nullopt;
    const std::size_t slash = path.find('/');
    parts[count++] = path.substr(0, slash);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

// Which route a path and method are, before any check of ids or tokens.
struct Match {
  Route route = Route::Unknown;
  std::string_view allow;  // the methods of the path, when the method is not one of them
  std::string_view key;    // the id or name segment
  bool by_name = false;
};

Match match(std::string_view path, verb method) {
  std::size_t n = 0;
  auto parts = segments(path, n);
  Match m;
  if (!parts) return m;
  const auto& p = *parts;
  const auto pick = [&](std::initializer_list<std::pair<verb, Route>> routes,
                        std::string_view allow) {
    for (const auto& [v, r] : routes) {
      if (v == method) {
        m.route = r;
        return;
      }
    }
    m.allow = allow;
  };
  if (n == 1 && p[0] == "health") {
    pick({{verb::get, Route::Health}}, "GET");
  } else if (n == 1 && p[0] == "metrics") {
    pick({{verb::get, Route::Metrics}}, "GET");
  } else if (n >= 2 && p[0] == "v1" && (p[1] == "templates" || p[1] == "names")) {
    const bool names = p[1] == "names";
    m.by_name = names;
    if (n > 2) {
      m.key = p[2];
      if (m.key.empty()) return m;
    }
    if (n == 2 && !names) {
      pick({{verb::get, Route::TemplatesList}, {verb::post, Route::TemplatesCreate}}, "GET, POST");
    } else if (n == 2) {
      pick({{verb::get, Route::NamesList}}, "GET");
    } else if (n == 3 && !names) {
      pick({{verb::get, Route::TemplateGet}, {verb::delete_, Route::TemplateDelete}},
           "GET, DELETE");
    } else if (n == 3) {
      pick({{verb::get, Route::NameGet},
            {verb::put, Route::NamePut},
            {verb::delete_, Route::NameDelete}},
           "GET, PUT, DELETE");
    } else if (n == 4 && p[3] == "bytecode" && !names) {
      pick({{verb::get, Route::TemplateBytecode}}, "GET");
    } else if (n == 4 && p[3] == "eval") {
      pick({{verb::post, Route::Eval}}, "POST");
    } else if (n == 4 && p[3] == "batch") {
      pick({{verb::post, Route::Batch}}, "POST");
    }
  }
  return m;
}

bool writes(Route r) {
  return r == Route::TemplatesCreate || r == Route::TemplateDelete || r == Route::NamePut ||
         r == Route::NameDelete;
}

Response store_error(const StoreError& e) {
  switch (e.kind) {
    case StoreError::Kind::NotFound:
      return error_response(404, e.message);
    case StoreError::Kind::Conflict:
      return error_response(409, e.message);
    case StoreError::Kind::Io:
      break;
  }
  return error_response(500, e.message);
}

void append_pair(std::string& out, std::string_view k1, std::string_view v1, std::string_view k2,
                 std::string_view v2) {
  out += "{\"";
  out += k1;
  out += "\":";
  append_json_string(out, v1);
  out += ",\"";
  out += k2;
  out += "\":";
  append_json_string(out, v2);
  out += '}';
}

}  // namespace

Response unavailable(std::string_view message) {
  Response r = error_response(503, message);
  r.retry_after = true;
  return r;
}

Response error_response(unsigned status, std::string_view message) {
  Response r;
  r.status = status;
  r.body = "{\"error\":";
  append_json_string(r.body, escape_line_breaks(message));
  r.body += '}';
  return r;
}

std::variant<Pending, Response> Router::accept(const http::request_header<>& header) const {
  Route route = Route::Unknown;
  auto checked = check(header, route);
  if (auto* r = std::get_if<Response>(&checked)) r->route = route;
  return checked;
}

std::variant<Pending, Response> Router::check(const http::request_header<>& header,
                                              Route& route) const {
  const std::string_view target = header.target();
  const std::size_t question = target.find('?');
  const std::string_view path = target.substr(0, question);
  std::string_view query =
      question == std::string_view::npos ? std::string_view() : target.substr(question + 1);
  const Match m = match(path, header.method());
  if (m.route == Route::Unknown) {
    if (!m.allow.empty()) {
      Response r =
          error_response(405, "method not allowed; this path allows " + std::string(m.allow));
      r.allow = m.allow;
      return r;
    }
    return error_response(404, "no such route");
  }
  route = m.route;
  Pending pending;
  pending.route = m.route;
  if (m.route == Route::Health || m.route == Route::Metrics) return pending;

  // Every /v1 request: token, then permission.
  const auto authorization = header[http::field::authorization];
  const Access access = auth_.check(authorization);
  if (access == Access::Denied) {
    Response r = error_response(401, authorization.empty() ? "a bearer token is required"
                                                           : "the bearer token is not valid");
    r.challenge = true;
    return r;
  }
  if (writes(m.route)) {
    if (config_.read_only) return error_response(403, "the store is read-only");
    if (access != Access::Admin) {
      if (authorization.empty()) {
        Response r = error_response(401, "changing the store needs an admin token");
        r.challenge = true;
        return r;
      }
      return error_response(403, "changing the store needs an admin token");
    }
  }

  const std::string_view type = media_type(header[http::field::content_type]);
  if (m.route == Route::TemplatesCreate) {
    if (same_text(type, "application/octet-stream")) {
      pending.bytecode = true;
    } else if (!same_text(type, "text/plain")) {
      return error_response(415,
                            "upload a template as text/plain (source) or "
                            "application/octet-stream (bytecode)");
    }
  } else if (m.route == Route::Eval || m.route == Route::NamePut) {
    if (!same_text(type, "application/json")) {
      return error_response(415, "the body must be application/json");
    }
  } else if (m.route == Route::Batch) {
    if (!same_text(type, "application/x-ndjson") && !same_text(type, "application/jsonl") &&
        !same_text(type, "application/json") && !same_text(type, "text/plain")) {
      return error_response(415, "the body must be application/x-ndjson (one request a line)");
    }
  }

  if (m.route == Route::Eval || m.route == Route::Batch) {
    while (!query.empty()) {
      const std::size_t amp = query.find('&');
      const std::string_view param = query.substr(0, amp);
      if (param == "explain=true" || param == "explain") {
        pending.explain = true;
      } else if (param != "explain=false" && !param.empty()) {
        return error_response(400, "unknown query parameter; only explain=true is known");
      }
      query.remove_prefix(amp == std::string_view::npos ? query.size() : amp + 1);
    }
  }

  if (!m.key.empty()) {
    pending.snapshot = store_.snapshot();
    if (m.by_name) {
      if (!valid_name(m.key)) return error_response(404, "not a valid name");
      pending.name = std::string(m.key);
      pending.entry = pending.snapshot->find_name(m.key);
      if (pending.entry == nullptr && m.route != Route::NamePut && m.route != Route::NameDelete) {
        return error_response(404, "unknown name `" + pending.name + "`");
      }
    } else {
      if (!valid_id(m.key)) return error_response(404, "not a template id");
      pending.entry = pending.snapshot->find(m.key);
      if (pending.entry == nullptr) {
        return error_response(404, "unknown template " + std::string(m.key));
      }
    }
  }
  return pending;
}

Response Router::answer(const Pending& pending, std::string_view body) const {
  switch (pending.route) {
    case Route::Health: {
      const std::string templates = std::to_string(store_.snapshot()->templates.size());
      if (!sink_.keeps())
        return json_response(200, "{\"status\":\"ok\",\"templates\":" + templates + "}");
      // With a decision log, deciding stops while it cannot be written.
      const std::string trouble = sink_.trouble();
      std::string out = trouble.empty() ? "{\"status\":\"ok\"" : "{\"status\":\"unavailable\"";
      out += ",\"templates\":" + templates + ",\"decision_log\":";
      append_json_string(out, trouble.empty() ? std::string("ok") : trouble);
      out += "}";
      Response r = json_response(trouble.empty() ? 200 : 503, std::move(out));
      r.retry_after = !trouble.empty();
      return r;
    }
    case Route::Metrics: {
      Response r;
      r.content_type = "text/plain; version=0.0.4";
      r.body = metrics_.text(store_.snapshot()->templates.size()) + sink_.metrics_text();
      return r;
    }
    case Route::TemplatesCreate:
      return upload(pending.bytecode ? "bytecode" : "source", body);
    case Route::TemplatesList: {
      auto snapshot = store_.snapshot();
      std::string out = "{\"templates\":[";
      for (const auto& [id, entry] : snapshot->templates) {
        if (out.back() == '}') out += ',';
        append_pair(out, "template_id", id, "name", entry.tmpl.name());
      }
      out += "]}";
      return json_response(200, std::move(out));
    }
    case Route::NameGet: {
      std::string out;
      append_pair(out, "name", pending.name, "template_id", pending.entry->id);
      return json_response(200, std::move(out));
    }
    case Route::TemplateGet: {
      Response r;
      r.content_type = "text/plain; charset=utf-8";
      r.body = api::render(pending.entry->tmpl);
      return r;
    }
    case Route::TemplateBytecode: {
      Response r;
      r.content_type = "application/octet-stream";
      r.body.assign(pending.entry->bytes.begin(), pending.entry->bytes.end());
      return r;
    }
    case Route::TemplateDelete: {
      if (auto removed = store_.remove(pending.entry->id); !removed)
        return store_error(removed.error());
      Response r;
      r.status = 204;
      return r;
    }
    case Route::NamesList: {
      auto snapshot = store_.snapshot();
      std::string out = "{\"names\":[";
      for (const auto& [name, id] : snapshot->names) {
        if (out.back() == '}') out += ',';
        append_pair(out, "name", name, "template_id", id);
      }
      out += "]}";
      return json_response(200, std::move(out));
    }
    case Route::NamePut:
      return put_name(pending, body);
    case Route::NameDelete: {
      if (auto removed = store_.remove_name(pending.name); !removed)
        return store_error(removed.error());
      Response r;
      r.status = 204;
      return r;
    }
    case Route::Eval:
      return eval(pending, body);
    case Route::Batch:
    case Route::Unknown:
      break;
  }
  return error_response(404, "no such route");
}

Response Router::upload(std::string_view kind, std::string_view body) const {
  std::optional<api::Template> tmpl;
  if (kind == "source") {
    auto compiled = api::compile(body);
    if (!compiled) return error_response(400, compiled.error().to_string());
    tmpl = std::move(compiled).value();
  } else {
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(body.data()),
                                              body.size());
    auto decoded = api::decode(bytes);
    if (!decoded) return error_response(400, decoded.error().to_string());
    tmpl = std::move(decoded).value();
  }
  auto bytes = api::encode(*tmpl);
  if (!bytes) return error_response(400, bytes.error().to_string());
  auto digest = api::id(*tmpl);
  if (!digest) return error_response(400, digest.error().to_string());
  const std::string id = digest->to_string();
  auto stored = store_.put(*tmpl, std::move(bytes).value(), id);
  if (!stored) return store_error(stored.error());
  std::string out;
  append_pair(out, "template_id", id, "name", tmpl->name());
  return json_response(*stored ? 201 : 200, std::move(out));
}

Response Router::put_name(const Pending& pending, std::string_view body) const {
  rapidjson::Document doc;
  doc.Parse(body.data(), body.size());
  if (doc.HasParseError() || !doc.IsObject() || doc.MemberCount() != 1 ||
      !doc.HasMember("template_id") || !doc["template_id"].IsString()) {
    return error_response(400, "the body must be {\"template_id\": \"<id>\"}");
  }
  const std::string_view id(doc["template_id"].GetString(), doc["template_id"].GetStringLength());
  if (!valid_id(id)) return error_response(404, "not a template id");
  auto set = store_.set_name(pending.name, id);
  if (!set) return store_error(set.error());
  std::string out;
  append_pair(out, "name", pending.name, "template_id", id);
  return json_response(*set ? 201 : 200, std::move(out));
}

Response Router::eval(const Pending& pending, std::string_view body) const {
  const Entry& entry = *pending.entry;
  api::EvalOptions options;
  options.explain = pending.explain;
  const auto decision = api::evaluate_request(entry.tmpl, body, options);
  if (!decision) return error_response(400, decision.error().to_string());
  metrics_.decision(decision->input_error ? Outcome::InputError
                    : decision->pass      ? Outcome::Pass
                                          : Outcome::Fail);
  Response r;
  r.body.reserve(96 + entry.id.size());
  decision->append_json(r.body);
  // The object's closing brace gives way to one more member.
  r.body.pop_back();
  r.body += ",\"template_id\":\"";
  r.body += entry.id;
  if (!sink_.keeps()) {
    r.body += "\"}";
    return r;
  }
  const std::string id = sink_.next_id();
  r.body += "\",\"decision_id\":";
  append_json_string(r.body, id);
  r.body += "}";
  auto recorded = sink_.record(DecisionEvent{entry.id, pending.name, id, body, *decision});
  if (!recorded) return unavailable(recorded.error());
  r.ticket.add(*recorded);
  return r;
}

BatchStream::BatchStream(const Entry& entry, std::string_view name, bool explain,
                         std::size_t max_line, Metrics& metrics, DecisionSink& sink)
    : entry_(entry), name_(name), max_line_(max_line), metrics_(metrics), sink_(sink) {
  options_.explain = explain;
}

bool BatchStream::line(std::string_view text, std::string& out) {
  const std::uint64_t number = number_++;
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.find_first_not_of(" \t\r") == std::string_view::npos) return true;
  const auto decision = api::evaluate_request(entry_.tmpl, text, options_);
  if (decision) {
    metrics_.decision(decision->input_error ? Outcome::InputError
                      : decision->pass      ? Outcome::Pass
                                            : Outcome::Fail);
  }
  const std::size_t at = out.size();
  driver::append_batch_line(out, number, decision);
  if (!decision || !sink_.keeps()) return true;
  // A logged line carries its decision's id, last.
  const std::string id = sink_.next_id();
  out.resize(out.size() - 2);  // "}\n"
  out += ",\"decision_id\":";
  append_json_string(out, id);
  out += "}\n";
  auto recorded = sink_.record(DecisionEvent{entry_.id, name_, id, text, *decision});
  if (!recorded) {
    out.resize(at);
    out += stop(number, recorded.error());
    return false;
  }
  ticket_.add(*recorded);
  return true;
}

std::string BatchStream::stop(std::uint64_t line, std::string_view why) {
  ended_ = true;
  std::string out = "{\"line\":" + std::to_string(line) + ",\"error\":";
  append_json_string(out, why);
  out += "}\n";
  return out;
}

bool BatchStream::feed(std::string_view data, std::string& out) {
  while (!ended_ && !data.empty()) {
    const std::size_t end = data.find('\n');
    if (end == std::string_view::npos) {
      if (carry_.size() + data.size() > max_line_) break;
      carry_.append(data);
      return true;
    }
    if (carry_.empty()) {
      if (end > max_line_) break;
      if (!line(data.substr(0, end), out)) return false;
    } else {
      if (carry_.size() + end > max_line_) break;
      carry_.append(data.substr(0, end));
      const bool ok = line(carry_, out);
      carry_.clear();
      if (!ok) return false;
    }
    data.remove_prefix(end + 1);
  }
  if (ended_) return false;
  if (data.empty()) return true;
  out += "{\"line\":" + std::to_string(number_) + ",\"error\":\"line longer than " +
         std::to_string(max_line_) + " bytes\"}\n";
  ended_ = true;
  return false;
}

bool BatchStream::finish(std::string& out) {
  if (ended_) return false;
  if (!carry_.empty()) {
    std::string last = std::move(carry_);
    carry_.clear();
    return line(last, out);
  }
  return true;
}

}  // namespace verdane::serve
