#include "analysis/analyze.h"

#include <z3++.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "analysis/check.h"
#include "analysis/watchdog.h"

namespace verdane::analysis {

namespace {

// What the solver said about one query.
struct Answer {
  Verdict verdict = Verdict::Unknown;  // Yes: satisfiable
  std::string note;
  std::optional<Request> request;
};

// Queries about the whole template go to one solver for the whole analysis,
// which turns the background into clauses once and keeps what it learns;
// what it cannot settle in a quarter of the time limit (at most half a
// second) goes to a fresh solver, whose preprocessing of the whole problem
// copes better with hard products, for the rest of the limit. In a template
// of many constraints with large terms (big sets), a query about one
// constraint goes to a fresh solver that sees only that constraint, so that
// each of the many such queries stays small (a fresh solver costs some
// milliseconds to set up, more than the shared one needs when the terms are
// small, however many constraints there are).
class Solver {
 public:
  // Some half a second of work on this machine.
  static constexpr unsigned kSharedWork = 2'000'000;

  Solver(z3::context& ctx, const Encoding& encoding)
      : ctx_(ctx), encoding_(encoding), shared_(ctx) {
    add(shared_, encoding.background());
  }

  // `focus`: the constraint the query is about alone, if any. `work`: a
  // bound in the solver's units of work for the fresh solver as well.
  // Throws z3::exception when the library fails; the solver may then be in
  // any state and is given up.
  Answer check(const z3::expr& query, std::uint32_t timeout_ms,
               const std::optional<std::size_t>& focus, unsigned work = 0) {
    {
      if (focus) return fresh(query, timeout_ms, encoding_.background(0, *focus), work);
      // The shared solver's share is counted in the solver's own units of
      // work, not in time, so that which solver answers, and so the witness,
      // does not depend on how busy the machine is.
      const auto start = std::chrono::steady_clock::now();
      z3::params params = limit(timeout_ms);
      params.set("rlimit", kSharedWork);
      shared_.set(params);
      // The query is asked in a scope, which leaves nothing of it behind for
      // the next one (queries kept under assumptions made every later check
      // slower). A first check outside any scope turns the background into
      // clauses there, where leaving a scope does not drop them.
      if (!primed_) {
        shared_.check();
        primed_ = true;
      }
      shared_.push();
      shared_.add(query);
      Answer answer = decide(shared_);
      shared_.pop();
      const auto spent =
          static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start)
                                         .count());
      if (answer.verdict != Verdict::Unknown || spent >= timeout_ms) return answer;
      return fresh(query, timeout_ms - spent, encoding_.background(), work);
    }
  }

  // A witness is easier to read with small numbers, so a query is first
  // tried with every integer of the request within +-1000, briefly; only the
  // answer of the unrestricted query can be no or unknown. The try is bounded
  // by work alone (about a second on this machine), within the query's time
  // limit: a bound in time would make a busy machine give up on it, and so
  // print another witness than an idle one.
  Answer try_small(const z3::expr& query, std::uint32_t timeout_ms,
                   const std::optional<std::size_t>& focus) {
    return check(query && encoding_.small_ints(1000), timeout_ms, focus, 2 * kSharedWork);
  }

 private:
  Answer decide(z3::solver& solver) {
    switch (solver.check()) {
      case z3::sat:
        return {Verdict::Yes, "", encoding_.request(solver.get_model())};
      case z3::unsat:
        return {Verdict::No, "", std::nullopt};
      case z3::unknown:
        break;
    }
    const std::string reason = solver.reason_unknown();
    if (reason == "timeout" || reason == "canceled") return {Verdict::Unknown, "timeout", {}};
    return {Verdict::Unknown, "solver gave up: " + reason, {}};
  }

  z3::params limit(std::uint32_t ms) {
    z3::params params(ctx_);
    params.set("timeout", static_cast<unsigned>(ms));
    return params;
  }

  Answer fresh(const z3::expr& query, std::uint32_t timeout_ms, const z3::expr_vector& background,
               unsigned work) {
    z3::solver solver(ctx_);
    z3::params params = limit(timeout_ms);
    if (work > 0) params.set("rlimit", work);
    solver.set(params);
    add(solver, background);
    solver.add(query);
    return decide(solver);
  }

  static void add(z3::solver& solver, const z3::expr_vector& terms) {
    for (unsigned i = 0; i < terms.size(); ++i) solver.add(terms[i]);
  }

  z3::context& ctx_;
  const Encoding& encoding_;
  z3::solver shared_;
  bool primed_ = false;  // the background is in clauses
};

using Decisions = std::vector<api::Decision>;

// A question: a query over the request, what it means when it has a
// solution, and what the evaluator must decide for that solution.
// The query is built when the question is asked, within its time limit.
struct Question {
  std::string subject;
  std::string question;
  std::function<z3::expr(z3::context&, const Encoding&)> query;
  std::string witness;                    // the name of its witness
  bool yes_when_solved = true;            // false for "redundant", where a solution means no
  std::string note;                       // shown with a yes, e.g. the kind of error
  std::optional<std::size_t> constraint;  // the one constraint the query is about
  std::function<bool(const Decisions&)> confirms;
};

std::string one_line(std::string report) {
  while (!report.empty() && report.back() == '\n') report.pop_back();
  for (std::size_t at = report.find('\n'); at != std::string::npos; at = report.find('\n', at)) {
    report.replace(at, 1, "; ");
  }
  return report;
}

// The request as eval reads it: parsed and loaded for the template, then
// evaluated.
Result<api::Decision, std::string> decide(const Target& target, const Witness& witness) {
  auto intent = api::parse_intent(*target.tmpl, witness.request.intent_json);
  auto evidence = api::parse_evidence(*target.tmpl, witness.request.evidence_json);
  if (!intent || !evidence) {
    return make_err("internal error: witness `" + witness.name +
                    "` is not JSON: " + (!intent ? intent.error() : evidence.error()).to_string());
  }
  return api::evaluate(*target.tmpl, *intent, *evidence);
}

class Session {
 public:
  Session(const std::vector<Target>& targets, const Options& options, const Emit& emit)
      : targets_(targets), options_(options), emit_(emit) {}

  // Checks the templates; the solver's terms are built by the first
  // question, within its time limit.
  Status<std::string> prepare() {
    for (const Target& t : targets_) {
      auto checked = check_template(*t.model);
      if (!checked) return make_err("cannot analyse `" + t.label + "`: " + checked.error());
      types_.push_back(std::move(checked).value());
    }
    limit_memory(options_.max_memory_mib);
    return ok_status<std::string>();
  }

  // Every witness the evaluator has decided tells the outcome of every
  // constraint on its request, so a question that one of them answers needs
  // no solver. Witnesses are kept in the order they were found and the
  // first that fits is taken, so that the answer depends only on the
  // questions before. A witness with only small integers may answer at
  // once; any other only once the question's own try for small integers
  // found none, as the solver's answer would then not be small either.
  //
  // Whatever the solver library does for the question (building terms,
  // asserting, checking, reading a model) is bounded by the time limit, and
  // any failure of it is the question's unknown answer; the context is then
  // given up and the next question starts afresh.
  Status<std::string> ask(const Question& q) {
    std::optional<std::string> failed;
    std::optional<Watchdog> watchdog;  // outlives the handlers below
    Result<Finding, std::string> found = Finding{};
    try {
      if (!ctx_) ctx_ = std::make_unique<z3::context>();
      watchdog.emplace(*ctx_, backstop_ms());
      found = find(q, *watchdog);
    } catch (const z3::exception& e) {
      failed = std::string("solver failed: ") + e.msg();
    } catch (const std::bad_alloc&) {
      failed = "solver failed: out of memory";
    } catch (const std::exception& e) {
      failed = std::string("solver failed: ") + e.what();
    } catch (...) {
      // The library's own out-of-memory error (no std::exception) escapes
      // a few of its calls instead of becoming a z3::exception.
      failed = "solver failed: out of memory";
    }
    const bool fired = watchdog && watchdog->fired();
    watchdog.reset();
    if (failed || fired) {
      // Past its limit the library fails every allocation, even those it
      // makes while freeing a solver, where the failure cannot be caught;
      // so the limit is lifted while the context is given up (which frees
      // its memory).
      limit_memory(0);
      discard();
      limit_memory(options_.max_memory_mib);
    }
    if (fired) failed = "timeout";
    if (failed) return emit_({q.subject, q.question, Verdict::Unknown, *failed, {}});
    if (!found) return make_err(std::move(found).error());
    return emit_(*found);
  }

 private:
  // The library counts its memory for the whole process; 0 lifts the limit.
  static void limit_memory(std::uint32_t mib) {
    z3::set_param("memory_max_size", std::to_string(mib).c_str());
  }

  // The solver's own time limit ends its checks cleanly; the watchdog
  // stops, later, what that limit does not cover (and costs the context).
  std::uint32_t backstop_ms() const {
    constexpr std::uint32_t kSlack = 1'000;
    const std::uint64_t ms = 2 * std::uint64_t{options_.timeout_ms} + kSlack;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(ms, UINT32_MAX));
  }

  // The terms and solvers of the context, built when first needed.
  void build() {
    if (encoding_) return;
    std::vector<Checked> checked;
    for (std::size_t i = 0; i < targets_.size(); ++i) {
      checked.push_back({targets_[i].model, &types_[i]});
    }
    encoding_ = std::make_unique<Encoding>(*ctx_, checked, options_.domain);
    if (encoding_->too_large()) return;
    solver_ = std::make_unique<Solver>(*ctx_, *encoding_);
    // In a template of many constraints with large terms, a query about
    // one constraint sees only that constraint.
    constexpr std::size_t kFocusFrom = 8;     // constraints
    constexpr std::size_t kFocusTerms = 100;  // per constraint, in Encoding::size()
    const std::size_t count = targets_[0].model->constraints.size();
    focused_ = count >= kFocusFrom && encoding_->size() >= kFocusTerms * count;
  }

  // Solvers before the encoding, and both before their context.
  void discard() {
    solver_.reset();
    encoding_.reset();
    ctx_.reset();
  }

  Result<Finding, std::string> find(const Question& q, const Watchdog& watchdog) {
    build();
    if (encoding_->too_large()) {
      return Finding{q.subject, q.question, Verdict::Unknown, "too large to analyse", {}};
    }
    const std::optional<std::size_t> focus = focused_ ? q.constraint : std::nullopt;
    const auto left = [&] {
      return std::clamp<std::uint32_t>(watchdog.remaining_ms(), 1, options_.timeout_ms);
    };
    const bool prefer_small = options_.domain == nullptr;
    std::optional<z3::expr> query;
    if (prefer_small) {
      if (const Seen* s = reusable(q, true)) return reused(q, *s);
      query = q.query(*ctx_, *encoding_);
      Answer small = solver_->try_small(*query, left(), focus);
      if (small.verdict == Verdict::Yes) return answer(q, small, true);
    }
    if (const Seen* s = reusable(q, false)) return reused(q, *s);
    if (!query) query = q.query(*ctx_, *encoding_);
    return answer(q, solver_->check(*query, left(), focus), false);
  }

  // A confirmed witness and what each target decided for it.
  struct Seen {
    Request request;
    Decisions decisions;
    bool small;  // found under the restriction to small integers
  };

  const Seen* reusable(const Question& q, bool small_only) const {
    for (const Seen& s : seen_) {
      if ((s.small || !small_only) && q.confirms(s.decisions)) return &s;
    }
    return nullptr;
  }

  Finding reused(const Question& q, const Seen& s) const {
    return {q.subject, q.question, q.yes_when_solved ? Verdict::Yes : Verdict::No,
            q.yes_when_solved ? q.note : "", Witness{q.witness, s.request}};
  }

  Result<Finding, std::string> answer(const Question& q, const Answer& answer, bool small) {
    Finding f{q.subject, q.question, Verdict::Unknown, "", std::nullopt};
    if (answer.verdict == Verdict::Unknown) {
      f.note = answer.note;
    } else if (answer.verdict == Verdict::No) {
      f.verdict = q.yes_when_solved ? Verdict::No : Verdict::Yes;
    } else {
      f.verdict = q.yes_when_solved ? Verdict::Yes : Verdict::No;
      if (q.yes_when_solved) f.note = q.note;
      f.witness = Witness{q.witness, *answer.request};
      Decisions decisions;
      for (const Target& t : targets_) {
        auto d = decide(t, *f.witness);
        if (!d) return make_err(std::move(d).error());
        decisions.push_back(std::move(d).value());
      }
      if (!q.confirms(decisions)) {
        std::string seen;
        for (std::size_t i = 0; i < decisions.size(); ++i) {
          seen += (i ? "; and for `" : " for `") + targets_[i].label +
                  "`: " + one_line(decisions[i].report());
        }
        return make_err("internal error: the evaluator does not confirm `" + q.subject + ": " +
                        q.question + "` on witness `" + q.witness + "`; it decides" + seen);
      }
      seen_.push_back({*answer.request, std::move(decisions), small});
    }
    return f;
  }

  std::vector<Target> targets_;
  Options options_;
  const Emit& emit_;
  std::vector<NodeTypes> types_;
  // The context outlives every term of the encoding; see discard().
  std::unique_ptr<z3::context> ctx_;
  std::unique_ptr<Encoding> encoding_;
  std::unique_ptr<Solver> solver_;
  bool focused_ = false;
  std::vector<Seen> seen_;
};

bool has_outcome(const api::Decision& d, std::size_t index, api::Outcome::Kind kind) {
  for (const api::Outcome& o : d.outcomes) {
    if (o.index == index && o.kind == kind) {
      return kind == api::Outcome::Kind::Failed || o.reason.rfind("integer overflow", 0) == 0;
    }
  }
  return false;
}

bool loaded(const api::Decision& d) { return !d.input_error; }

z3::expr all_passed(z3::context& ctx, const std::vector<ConstraintTerms>& terms,
                    std::size_t except = SIZE_MAX) {
  z3::expr_vector passed(ctx);
  for (std::size_t i = 0; i < terms.size(); ++i) {
    if (i != except) passed.push_back(terms[i].passed);
  }
  return z3::mk_and(passed);
}

}  // namespace

std::string Finding::line() const {
  static const char* kVerdicts[] = {"yes", "no", "unknown"};
  std::string out = subject + ": " + question + ": " + kVerdicts[static_cast<int>(verdict)];
  std::string detail = note;
  if (witness) detail += (detail.empty() ? "" : "; ") + ("example " + witness->name);
  if (!detail.empty()) out += " (" + detail + ")";
  return out;
}

Status<std::string> analyze_template(const Target& target, const Options& options,
                                     const Emit& emit) {
  Session session({target}, options, emit);
  if (auto ready = session.prepare(); !ready) return ready;
  const std::size_t count = target.model->constraints.size();
  using Terms = const std::vector<ConstraintTerms>&;
  const auto pass = [](z3::context& ctx, const Encoding& e) {
    return all_passed(ctx, e.constraints(0));
  };

  std::vector<Question> questions;
  questions.push_back(
      {"template", "can pass",
       [&](z3::context& ctx, const Encoding& e) { return e.loads(0) && pass(ctx, e); }, "can_pass",
       true, "", std::nullopt, [](const Decisions& d) { return d[0].pass; }});
  questions.push_back(
      {"template", "can fail",
       [&](z3::context& ctx, const Encoding& e) { return e.loads(0) && !pass(ctx, e); }, "can_fail",
       true, "", std::nullopt, [](const Decisions& d) { return !d[0].pass && loaded(d[0]); }});
  for (std::size_t i = 0; i < count; ++i) {
    // Appended, not `"c" + std::to_string(i)`: that draws a false
    // -Wrestrict warning from g++ 12.
    const std::string index = std::to_string(i);
    const std::string subject = std::string("constraint[").append(index).append("]");
    const std::string prefix = std::string("c").append(index);
    const auto c = [i](const Encoding& e) -> const ConstraintTerms& {
      Terms terms = e.constraints(0);
      return terms[i];
    };
    questions.push_back(
        {subject, "can fail",
         [c](z3::context&, const Encoding& e) { return e.loads(0) && c(e).failed; },
         prefix + "_fail", true, "", i,
         [i](const Decisions& d) { return has_outcome(d[0], i, api::Outcome::Kind::Failed); }});
    questions.push_back(
        {subject, "can error",
         [c](z3::context&, const Encoding& e) { return e.loads(0) && c(e).errored; },
         prefix + "_error", true, "integer overflow", i,
         [i](const Decisions& d) { return has_outcome(d[0], i, api::Outcome::Kind::Errored); }});
    // Redundant when no request passes every other constraint and not this
    // one; a request that does shows what the constraint alone refuses.
    questions.push_back(
        {subject, "redundant",
         [c, i](z3::context& ctx, const Encoding& e) {
           return e.loads(0) && all_passed(ctx, e.constraints(0), i) && !c(e).passed;
         },
         prefix + "_needed", false, "", std::nullopt,
         [i](const Decisions& d) {
           return loaded(d[0]) && d[0].outcomes.size() == 1 && d[0].outcomes[0].index == i;
         }});
  }
  for (const Question& q : questions) {
    if (auto done = session.ask(q); !done) return done;
  }
  return ok_status<std::string>();
}

Status<std::string> analyze_change(const Target& next, const Target& old, const Options& options,
                                   const Emit& emit) {
  Session session({next, old}, options, emit);
  if (auto ready = session.prepare(); !ready) return ready;
  const auto passes = [](z3::context& ctx, const Encoding& e, std::size_t slot) {
    return e.loads(slot) && all_passed(ctx, e.constraints(slot));
  };
  const Question widens{
      "change",
      "widens",
      [&](z3::context& ctx, const Encoding& e) { return passes(ctx, e, 0) && !passes(ctx, e, 1); },
      "widens",
      true,
      "",
      std::nullopt,
      [](const Decisions& d) { return d[0].pass && !d[1].pass; }};
  const Question narrows{
      "change",
      "narrows",
      [&](z3::context& ctx, const Encoding& e) { return passes(ctx, e, 1) && !passes(ctx, e, 0); },
      "narrows",
      true,
      "",
      std::nullopt,
      [](const Decisions& d) { return !d[0].pass && d[1].pass; }};
  if (auto done = session.ask(widens); !done) return done;
  return session.ask(narrows);
}

}  // namespace verdane::analysis
