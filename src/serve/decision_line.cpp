#include "serve/decision_line.h"

#include <rapidjson/memorystream.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <ctime>

#include "support/json_text.h"

namespace verdane::serve {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

// Reads a request and writes its top-level "intent" and "evidence" members,
// each compact on one line, numbers exactly as the client wrote them.
struct PickInputs {
  rapidjson::StringBuffer intent_text, evidence_text;
  Writer intent{intent_text}, evidence{evidence_text};
  Writer* into = nullptr;  // the member being copied
  int depth = 0;

  bool Null() { return !into || into->Null(); }
  bool Bool(bool b) { return !into || into->Bool(b); }
  bool Int(int) { return true; }  // numbers arrive as RawNumber
  bool Uint(unsigned) { return true; }
  bool Int64(int64_t) { return true; }
  bool Uint64(uint64_t) { return true; }
  bool Double(double) { return true; }
  bool RawNumber(const char* s, rapidjson::SizeType n, bool) {
    // Writer::RawNumber would quote it.
    return !into || into->RawValue(s, n, rapidjson::kNumberType);
  }
  bool String(const char* s, rapidjson::SizeType n, bool copy) {
    return !into || into->String(s, n, copy);
  }
  bool Key(const char* s, rapidjson::SizeType n, bool copy) {
    if (depth == 1) {
      const std::string_view k(s, n);
      into = k == "intent" ? &intent : k == "evidence" ? &evidence : nullptr;
      // A member given twice counts with its last value: only that is kept.
      if (into) {
        rapidjson::StringBuffer& text = into == &intent ? intent_text : evidence_text;
        text.Clear();
        into->Reset(text);
      }
      return true;
    }
    return !into || into->Key(s, n, copy);
  }
  bool StartObject() { return ++depth == 1 || !into || into->StartObject(); }
  bool EndObject(rapidjson::SizeType n) { return --depth == 0 || !into || into->EndObject(n); }
  bool StartArray() { return ++depth == 1 || !into || into->StartArray(); }
  bool EndArray(rapidjson::SizeType n) { return --depth == 0 || !into || into->EndArray(n); }
};

// An absent member is written as what it stands for: only the intent may be
// left out of a request, and then it is the empty object (writing `null` would
// read back as a request whose intent was `null`, which is decided otherwise).
void append_document(std::string& out, const rapidjson::StringBuffer& text) {
  if (text.GetSize() == 0) {
    out += "{}";
  } else {
    out.append(text.GetString(), text.GetSize());
  }
}

}  // namespace

std::string decision_line(const DecisionEvent& event, bool with_inputs) {
  std::string line;
  line.reserve(256 + event.request.size());
  line += "{\"time\":\"";
  line.append(kLineTimeSize, '0');
  line += "\",\"decision_id\":";
  append_json_string(line, event.decision_id);
  line += ",\"template_id\":";
  append_json_string(line, event.template_id);
  line += ",\"name\":";
  if (event.name.empty()) {
    line += "null";
  } else {
    append_json_string(line, event.name);
  }
  // The members of `eval --format json`'s object, spliced in.
  const std::size_t at = line.size();
  event.decision.append_json(line);
  line[at] = ',';
  line.pop_back();
  // Every line has outcomes or input_error, a pass an empty list.
  if (event.decision.pass) line += ",\"outcomes\":[]";
  if (with_inputs) {
    PickInputs pick;
    rapidjson::Reader reader;
    rapidjson::MemoryStream stream(event.request.data(), event.request.size());
    reader.Parse<rapidjson::kParseNumbersAsStringsFlag>(stream, pick);
    line += ",\"intent\":";
    append_document(line, pick.intent_text);
    line += ",\"evidence\":";
    append_document(line, pick.evidence_text);
  }
  line += "}\n";
  return line;
}

void stamp_line(std::string& line, std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto us = duration_cast<microseconds>(t.time_since_epoch()).count();
  const std::time_t secs = static_cast<std::time_t>(us / 1'000'000);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char text[64];  // room for any int the format could print
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                static_cast<int>(us % 1'000'000));
  line.replace(kLineTimeAt, kLineTimeSize, text, kLineTimeSize);
}

}  // namespace verdane::serve
