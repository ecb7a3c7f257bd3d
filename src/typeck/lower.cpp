// The template as a whole: both schema maps first, then the constraints in
// source order, each lowered, checked to be bool and checked against the
// `optional:` rules.
#include "typeck/lower.h"

#include <utility>

#include "types/optional_reads.h"

namespace verdane::typeck {

namespace {

namespace ast = parser::ast;
using errors::CompileError;
using Kind = errors::CompileError::Kind;

Result<types::IntentSchema, CompileError> lower_intent_schema(
    const std::optional<ast::Schema>& schema, std::string_view src) {
  types::IntentSchema out;
  if (!schema) return out;
  for (const ast::SchemaField& field : schema->fields) {
    const bool inserted =
        out.fields.emplace(field.name, types::IntentFieldType{field.ty, field.optional}).second;
    if (!inserted) {
      return make_err(CompileError::at(
          Kind::DuplicateField, src, field.span.start,
          errors::detail::DuplicateName{field.name, errors::detail::Schema::Intent}));
    }
  }
  return out;
}

Result<types::EvidenceSchema, CompileError> lower_evidence_schema(const ast::Schema& schema,
                                                                  std::string_view src) {
  types::EvidenceSchema out;
  for (const ast::SchemaField& field : schema.fields) {
    // The parser already refuses the word in evidence blocks; this keeps the
    // model's invariant for trees built any other way.
    if (field.optional) {
      return make_err(CompileError::syntax(src, field.span.start,
                                           "`optional` is not allowed on evidence fields"));
    }
    if (!out.fields.emplace(field.name, types::EvidenceFieldType{field.ty}).second) {
      return make_err(CompileError::at(
          Kind::DuplicateField, src, field.span.start,
          errors::detail::DuplicateName{field.name, errors::detail::Schema::Evidence}));
    }
  }
  return out;
}

}  // namespace

Result<types::PolicyTemplate, CompileError> lower(const ast::File& file, std::string_view src) {
  auto intent = lower_intent_schema(file.intent, src);
  if (!intent) return make_err(std::move(intent).error());
  auto evidence = lower_evidence_schema(file.evidence, src);
  if (!evidence) return make_err(std::move(evidence).error());

  types::PolicyTemplate tmpl;
  tmpl.name = file.name;
  tmpl.intent_schema = std::move(intent).value();
  tmpl.evidence_schema = std::move(evidence).value();
  tmpl.constraints.reserve(file.constraints.size());

  LowerContext cx{tmpl.intent_schema, tmpl.evidence_schema, src};
  for (const ast::ConstraintAst& constraint : file.constraints) {
    auto lowered = lower_expr(cx, constraint.expr, std::nullopt);
    if (!lowered) return make_err(std::move(lowered).error());
    if (lowered->type != types::Type::Bool) {
      return make_err(CompileError::at(Kind::ConstraintNotBool, src, constraint.expr.span().start));
    }
    const bool uses_optional =
        !types::optional_fields_read(tmpl.intent_schema, lowered->expr).empty();
    if (!constraint.optional && uses_optional) {
      return make_err(CompileError::at(Kind::OptionalPrefixRequired, src, constraint.span.start));
    }
    if (constraint.optional && !uses_optional) {
      return make_err(
          CompileError::at(Kind::OptionalWithoutOptionalField, src, constraint.span.start));
    }
    tmpl.constraints.push_back(types::Constraint{constraint.optional, std::move(lowered->expr)});
  }
  return tmpl;
}

}  // namespace verdane::typeck
