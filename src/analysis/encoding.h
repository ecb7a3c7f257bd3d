// Requests and constraint outcomes as solver terms.
//
// A request is the pair of JSON documents eval reads. The encoding describes
// every request that loads for one template (the analysis of a template), or
// every pair of documents built from the fields of two templates (a change),
// and what each constraint of each template decides for it, exactly as the
// evaluator does. Integers are 64-bit vectors with overflow checked on every
// `+`, `-` and `*`; texts and dates are 64-bit codes (analysis/codes.h);
// sets are finite, described by their members among finitely many element
// terms (see encoding.cpp). Every query over these terms is decidable.
#pragma once

#include <z3++.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/check.h"
#include "types/model.h"

namespace verdane::analysis {

// Values for cross-checks: when given, every field value and every set
// element of a request is one of these, so that the solver decides over the
// same finite space that an enumeration of requests walks.
struct Domain {
  std::vector<std::int64_t> ints;
  std::vector<std::string> texts;
  std::vector<types::DateLit> dates;
};

// A concrete request: the texts of the intent and evidence documents.
struct Request {
  std::string intent_json;
  std::string evidence_json;
};

// What one constraint decides, as terms over the request.
struct ConstraintTerms {
  z3::expr passed;
  z3::expr failed;
  z3::expr errored;
};

// One analysed template with the types check_template found for it.
struct Checked {
  const types::PolicyTemplate* tmpl;
  const NodeTypes* types;
};

class Encoding {
 public:
  // `templates` holds one template, or the new and the old one of a change;
  // they and `domain` (may be null) must outlive the encoding. Throws
  // z3::exception when the solver library fails.
  Encoding(z3::context& ctx, const std::vector<Checked>& templates, const Domain* domain);
  ~Encoding();
  Encoding(const Encoding&) = delete;
  Encoding& operator=(const Encoding&) = delete;

  // Whether the request loads for template `slot`: no member it does not
  // declare, a value of the declared type for every member it declares, and
  // every required field present.
  z3::expr loads(std::size_t slot) const;
  const std::vector<ConstraintTerms>& constraints(std::size_t slot) const;
  // What every request satisfies: the definitions of auxiliary terms and the
  // ranges of the values. Every query asserts it.
  z3::expr_vector background() const;
  // The part of it that queries about constraint `index` of `slot` alone
  // (and loads()) need.
  z3::expr_vector background(std::size_t slot, std::size_t index) const;
  // Whether the encoding outgrew its size limit: its terms are then
  // incomplete, and no answer built on them may be given.
  bool too_large() const;
  // How many terms relations, memberships and ranges made (what the size
  // limit counts): a measure of how large the encoding is.
  std::size_t size() const;
  // Every integer of the request (fields and set elements) within
  // -bound..bound: a restriction that makes witnesses easier to read.
  z3::expr small_ints(std::int64_t bound) const;

  // The request that a model of background() and a query describes.
  Request request(const z3::model& model) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace verdane::analysis
