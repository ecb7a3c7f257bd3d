// The public API as a consumer sees it: values in, values or errors out, with
// the texts the command line prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/reference/json_tree.h"
#include "verdane/verdane.h"

namespace {

namespace api = verdane::api;

constexpr const char* kSource = R"(name transfer

intent {
  amount: int
  payee: string
  limit: optional int
}

evidence {
  balance: int
  blocked: set<string>
}

requires {
  0 < intent.amount <= evidence.balance;
  intent.payee not in evidence.blocked;
  optional: intent.amount <= intent.limit
}
)";

api::Template compiled() {
  auto t = api::compile(kSource);
  EXPECT_TRUE(t) << t.error().to_string();
  return *t;
}

std::span<const std::uint8_t> bytes_of(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// --- compile -------------------------------------------------------------

TEST(ApiCompile, GivesTemplateWithItsName) {
  const api::Template t = compiled();
  EXPECT_EQ(t.name(), "transfer");
}

struct CompileErrorCase {
  const char* label;
  std::string source;
  std::size_t line;
  std::size_t column;
  std::string message;
};

class ApiCompileError : public ::testing::TestWithParam<CompileErrorCase> {};

TEST_P(ApiCompileError, HasPositionAndMessage) {
  const CompileErrorCase& c = GetParam();
  const auto t = api::compile(c.source);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().kind, api::Error::Kind::Compile);
  EXPECT_EQ(t.error().line, c.line);
  EXPECT_EQ(t.error().column, c.column);
  EXPECT_EQ(t.error().message, c.message);
  EXPECT_EQ(t.error().to_string(), "error at " + std::to_string(c.line) + ":" +
                                       std::to_string(c.column) + ": " + c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApiCompileError,
    ::testing::Values(
        CompileErrorCase{"lexical", "name x\nevidence { a: int }\nrequires { evidence.a $ 1 }\n", 3,
                         23, "unexpected character '$'"},
        CompileErrorCase{"syntax", "name\n", 1, 5, "expected an identifier after 'name'"},
        CompileErrorCase{"undeclared", "name x\nevidence { a: int }\nrequires { evidence.b > 1 }\n",
                         3, 12, "the field 'b' has not been declared in the schema"},
        CompileErrorCase{"not_bool", "name x\nevidence { a: int }\nrequires { evidence.a + 1 }\n",
                         3, 12, "constraints must evaluate to bool"},
        CompileErrorCase{"empty", "", 1, 1, "expected 'name'"},
        // Invalid UTF-8 is refused at its first bad byte, even inside a
        // string literal (the bytecode could not hold it).
        CompileErrorCase{
            "utf8_in_string",
            "name x\nevidence { a: string }\nrequires { evidence.a == \"\xC3\xA9\xFF\" }\n", 3, 28,
            "the source is not valid UTF-8"},
        CompileErrorCase{"utf8_truncated", "name \xE2\x82", 1, 6, "the source is not valid UTF-8"}),
    [](const auto& info) { return std::string(info.param.label); });

// --- bytecode and ids ----------------------------------------------------

TEST(ApiBytecode, RoundTripsThroughEncodeAndDecode) {
  const api::Template t = compiled();
  const auto bytes = api::encode(t);
  ASSERT_TRUE(bytes);
  const auto back = api::decode(*bytes);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(api::render(*back), api::render(t));
  const auto again = api::encode(*back);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *bytes);
}

TEST(ApiBytecode, IdIsStableAndParsesBack) {
  const api::Template t = compiled();
  const auto a = api::id(t);
  const auto b = api::id(*api::decode(*api::encode(t)));
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_EQ(*a, *b);
  const auto parsed = api::parse_id(a->to_string());
  ASSERT_TRUE(parsed) << parsed.error().to_string();
  EXPECT_EQ(*parsed, *a);

  const api::Template other =
      *api::compile("name y\nevidence { a: int }\nrequires { evidence.a > 1 }");
  EXPECT_NE(*api::id(other), *a);
}

struct DecodeErrorCase {
  const char* label;
  std::string bytes;
  std::string message;
};

class ApiDecodeError : public ::testing::TestWithParam<DecodeErrorCase> {};

TEST_P(ApiDecodeError, IsABytecodeErrorValue) {
  const auto t = api::decode(bytes_of(GetParam().bytes));
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().kind, api::Error::Kind::Bytecode);
  EXPECT_EQ(t.error().line, 0u);
  EXPECT_EQ(t.error().column, 0u);
  EXPECT_EQ(
      t.error().to_string(),
      "error at 0:0: bytecode: Deserialization failed, using lib bincode: " + GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApiDecodeError,
    ::testing::Values(DecodeErrorCase{"empty", "", "UnexpectedEnd { additional: 1 }"},
                      DecodeErrorCase{"truncated", "\x01", "UnexpectedEnd { additional: 1 }"},
                      DecodeErrorCase{"huge_length", "\xFC\xFF\xFF\xFF\xFF",
                                      "UnexpectedEnd { additional: 4294967295 }"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ApiBytecode, TrailingByteIsRejected) {
  auto bytes = *api::encode(compiled());
  bytes.push_back(0);
  const auto t = api::decode(bytes);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().message,
            "bytecode: Deserialization failed, using lib bincode: Other(\"input too long\")");
}

struct IdErrorCase {
  const char* label;
  std::string text;
  std::string message;
};

class ApiParseIdError : public ::testing::TestWithParam<IdErrorCase> {};

TEST_P(ApiParseIdError, IsAnIdErrorValue) {
  const auto parsed = api::parse_id(GetParam().text);
  ASSERT_FALSE(parsed);
  EXPECT_EQ(parsed.error().kind, api::Error::Kind::Id);
  EXPECT_EQ(parsed.error().to_string(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApiParseIdError,
    ::testing::Values(
        IdErrorCase{"empty", "",
                    "Wrong number of bytes for hash digest: could not convert slice to array"},
        IdErrorCase{"short", "FmXSiR",
                    "Wrong number of bytes for hash digest: could not convert slice to array"},
        IdErrorCase{"bad_char", "0OIl",
                    "Cannot parse hash digest from base58: provided string contained invalid "
                    "character '0' at byte 0"},
        IdErrorCase{"non_ascii", "FmXSiR\xC3\xA9",
                    "Cannot parse hash digest from base58: provided string contained non-ascii "
                    "character starting at byte 6"}),
    [](const auto& info) { return std::string(info.param.label); });

// --- rendering -----------------------------------------------------------

TEST(ApiRender, RecompilesToTheSameTemplate) {
  const api::Template t = compiled();
  const std::string text = api::render(t);
  EXPECT_EQ(text.rfind("name transfer\n", 0), 0u);
  const auto again = api::compile(text);
  ASSERT_TRUE(again) << again.error().to_string();
  EXPECT_EQ(*api::id(*again), *api::id(t));
}

// --- evaluation ----------------------------------------------------------

constexpr const char* kEvidence = R"({"balance": 100, "blocked": ["mallory"]})";

struct EvalCase {
  const char* label;
  std::string intent;
  std::string evidence;
  std::string report;
};

class ApiEvaluate : public ::testing::TestWithParam<EvalCase> {};

TEST_P(ApiEvaluate, GivesTheDecisionAndItsReport) {
  const EvalCase& c = GetParam();
  const auto decision = api::evaluate_json(compiled(), c.intent, c.evidence);
  ASSERT_TRUE(decision) << decision.error().to_string();
  EXPECT_EQ(decision->report(), c.report);
  EXPECT_EQ(decision->pass, c.report == "decision=pass\n");
  // Input errors and outcomes exclude each other; a fail always says why.
  if (!decision->pass) {
    EXPECT_NE(decision->input_error.has_value(), !decision->outcomes.empty());
  }
  // Every way of evaluating gives the same decision.
  const api::Template t = compiled();
  const auto intent_doc = api::parse_json(c.intent);
  const auto evidence_doc = api::parse_json(c.evidence);
  ASSERT_TRUE(intent_doc && evidence_doc);
  EXPECT_EQ(api::evaluate(t, *intent_doc, *evidence_doc), *decision);
  const auto intent = api::parse_intent(t, c.intent);
  const auto evidence = api::parse_evidence(t, c.evidence);
  ASSERT_TRUE(intent && evidence);
  EXPECT_EQ(api::evaluate(t, *intent, *evidence), *decision);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApiEvaluate,
    ::testing::Values(
        EvalCase{"pass", R"({"amount": 50, "payee": "bob"})", kEvidence, "decision=pass\n"},
        EvalCase{"pass_with_optional", R"({"amount": 50, "payee": "bob", "limit": 60})", kEvidence,
                 "decision=pass\n"},
        EvalCase{"fail_two", R"({"amount": 500, "payee": "mallory", "limit": 600})", kEvidence,
                 "decision=fail\n"
                 "constraint[0] failed: ((0 < intent.amount) and (intent.amount <= "
                 "evidence.balance)) (constraint evaluated to False)\n"
                 "constraint[1] failed: (not (intent.payee in evidence.blocked)) (constraint "
                 "evaluated to False)\n"},
        EvalCase{"mistyped_intent", R"({"amount": "50", "payee": "bob"})", kEvidence,
                 "decision=fail\ninput validation error: intent: field `amount`: expected JSON "
                 "integer\n"},
        EvalCase{"undeclared_evidence", R"({"amount": 50, "payee": "bob"})",
                 R"({"balance": 100, "blocked": [], "extra": 1})",
                 "decision=fail\ninput validation error: evidence: field `extra`: is not "
                 "declared in the evidence schema\n"},
        EvalCase{"missing_required", R"({"payee": "bob"})", kEvidence,
                 "decision=fail\ninput validation error: intent is missing required field "
                 "`amount`\n"},
        EvalCase{"not_an_object", "[]", kEvidence,
                 "decision=fail\ninput validation error: intent: input JSON must be an object\n"},
        // A member name holding control characters cannot break the report
        // into more lines.
        EvalCase{"escaped_name", R"({"a\nb\u001b": 1})", kEvidence,
                 "decision=fail\ninput validation error: intent: field `a\\nb\\u{1b}`: is not "
                 "declared in the intent schema\n"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ApiEvaluate, OutcomesAsData) {
  const auto decision = api::evaluate_json(
      compiled(), R"({"amount": 9223372036854775807, "payee": "bob", "limit": 1})",
      R"({"balance": 9223372036854775807, "blocked": []})");
  ASSERT_TRUE(decision);
  ASSERT_EQ(decision->outcomes.size(), 1u);
  const api::Outcome& o = decision->outcomes[0];
  EXPECT_EQ(o.kind, api::Outcome::Kind::Failed);
  EXPECT_EQ(o.index, 2u);
  EXPECT_EQ(o.expression, "(intent.amount <= intent.limit)");
  EXPECT_EQ(o.reason, "constraint evaluated to False");
  EXPECT_FALSE(decision->input_error);
}

TEST(ApiEvaluate, EvaluationErrorsAreErroredOutcomes) {
  const api::Template t =
      *api::compile("name t\nevidence { a: int }\nrequires { evidence.a + 1 > 0; evidence.a > 0 }");
  const auto decision = api::evaluate_json(t, "{}", R"({"a": 9223372036854775807})");
  ASSERT_TRUE(decision);
  ASSERT_EQ(decision->outcomes.size(), 1u);
  EXPECT_EQ(decision->outcomes[0].kind, api::Outcome::Kind::Errored);
  EXPECT_EQ(decision->outcomes[0].index, 0u);
  EXPECT_EQ(decision->report(),
            "decision=fail\nconstraint[0] error: ((evidence.a + 1) > 0) (integer overflow in "
            "`9223372036854775807 + 1`)\n");
}

TEST(ApiEvaluate, ParsedDocumentsCanBeReused) {
  const api::Template t = compiled();
  const auto intent = api::parse_json(R"({"amount": 50, "payee": "bob"})");
  const auto evidence = api::parse_json(kEvidence);
  ASSERT_TRUE(intent);
  ASSERT_TRUE(evidence);
  const api::Decision first = api::evaluate(t, *intent, *evidence);
  EXPECT_TRUE(first.pass);
  EXPECT_EQ(api::evaluate(t, *intent, *evidence), first);
}

TEST(ApiEvaluate, ParsedInputsCanBeReused) {
  const api::Template t = compiled();
  const auto intent = api::parse_intent(t, R"({"amount": 50, "payee": "mallory"})");
  const auto evidence = api::parse_evidence(t, kEvidence);
  ASSERT_TRUE(intent && evidence);
  const api::Decision first = api::evaluate(t, *intent, *evidence);
  EXPECT_FALSE(first.pass);
  const api::Input copy = *evidence;
  EXPECT_EQ(api::evaluate(t, *intent, copy), first);
}

TEST(ApiEvaluate, InputsOfAnotherTemplateAreCheckedAgain) {
  const auto other_compiled = api::compile(
      "name o\nintent { amount: string }\nevidence { balance: int }\nrequires { True }");
  ASSERT_TRUE(other_compiled) << other_compiled.error().to_string();
  const api::Template other = *other_compiled;
  const auto intent = api::parse_intent(other, R"({"amount": "50"})");
  const auto evidence = api::parse_evidence(compiled(), kEvidence);
  ASSERT_TRUE(intent && evidence);
  EXPECT_EQ(api::evaluate(compiled(), *intent, *evidence).report(),
            "decision=fail\ninput validation error: intent field `amount` has type `string`, "
            "expected `int`\n");
}

struct JsonErrorCase {
  const char* label;
  std::string intent;
  std::string evidence;
  std::size_t line;
  std::size_t column;
  std::string message;
};

class ApiJsonError : public ::testing::TestWithParam<JsonErrorCase> {};

TEST_P(ApiJsonError, IsAJsonErrorValueNamingTheDocument) {
  const JsonErrorCase& c = GetParam();
  const auto decision = api::evaluate_json(compiled(), c.intent, c.evidence);
  ASSERT_FALSE(decision);
  const api::Error& e = decision.error();
  EXPECT_EQ(e.kind, api::Error::Kind::Json);
  EXPECT_EQ(e.line, c.line);
  EXPECT_EQ(e.column, c.column);
  EXPECT_EQ(e.message, c.message);
  EXPECT_EQ(e.to_string(), c.message + " at line " + std::to_string(c.line) + " column " +
                               std::to_string(c.column));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ApiJsonError,
    ::testing::Values(
        JsonErrorCase{"empty_intent", "", kEvidence, 1, 1,
                      "failed to parse intent JSON: the document is empty"},
        // The intent is parsed first: its error wins over the evidence's.
        JsonErrorCase{"both_broken", "{", "", 1, 2,
                      "failed to parse intent JSON: expected a member name in double quotes"},
        JsonErrorCase{"evidence_second_line", "{}", "{\n  \"balance\": 1,}", 2, 16,
                      "failed to parse evidence JSON: expected a member name in double quotes"}),
    [](const auto& info) { return std::string(info.param.label); });

// The API splits the JSON parser's positions out of its text; to_string must
// give that text back unchanged, since the command line prints it.
class ApiJsonErrorText : public ::testing::TestWithParam<std::string> {};

TEST_P(ApiJsonErrorText, MatchesTheParserText) {
  const auto api_result = api::parse_json(GetParam());
  const auto internal = verdane::runtime_input::parse_json(GetParam());
  ASSERT_FALSE(api_result);
  ASSERT_FALSE(internal);
  EXPECT_EQ(api_result.error().to_string(), internal.error().message());
  EXPECT_GT(api_result.error().line, 0u);
  // Parsing against a schema fails with the same error.
  for (const auto& input :
       {api::parse_intent(compiled(), GetParam()), api::parse_evidence(compiled(), GetParam())}) {
    ASSERT_FALSE(input);
    EXPECT_EQ(input.error().kind, api_result.error().kind);
    EXPECT_EQ(input.error().line, api_result.error().line);
    EXPECT_EQ(input.error().column, api_result.error().column);
    EXPECT_EQ(input.error().message, api_result.error().message);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ApiJsonErrorText,
                         ::testing::Values("", "   ", "{", "[1,]", "{\"a\" 1}", "\"\xFF\"", "1 2",
                                           "{\"a\":\n\n   tru}", "\"\\u12\"", "\"caf\xC3\xA9\nx",
                                           std::string("{}\0", 3), "1e", "NaN"));

// --- handles -------------------------------------------------------------

TEST(ApiHandles, MovedFromTemplateStillHoldsIt) {
  api::Template t = compiled();
  api::Template moved = std::move(t);
  EXPECT_EQ(t.name(), "transfer");  // NOLINT(bugprone-use-after-move): documented to stay usable
  EXPECT_EQ(api::render(t), api::render(moved));
}

TEST(ApiHandles, ExpectedMisuseThrowsInsteadOfReadingGarbage) {
  const auto t = api::compile("");
  ASSERT_FALSE(t);
  EXPECT_THROW((void)t.value(), std::bad_variant_access);
}

}  // namespace
