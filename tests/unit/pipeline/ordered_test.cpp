// The ordered pipeline under a mixed workload: some pieces take long to
// decide and most do not, so they finish out of order. Whatever the number
// of threads, the sink must see every piece it is owed, decided, in input
// order; no more than two pieces per thread may be read and not handed on;
// and a stop or an error must end the run where it says.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/ordered.h"

namespace verdane::pipeline {
namespace {

struct Piece {
  std::size_t index = 0;
  bool slow = false;
  std::size_t answer = 0;  // set by deciding
};

struct Counts {
  std::atomic<std::size_t> read{0};
  std::atomic<std::size_t> taken{0};
  std::atomic<std::size_t> most_in_flight{0};
};

struct Source {
  const std::vector<bool>& slow;
  std::size_t fail_at;  // the read that fails; slow.size() or more: none
  Counts& counts;

  Result<std::optional<Piece>, std::string> next() {
    // Read and not yet taken by the sink, as this read starts.
    const std::size_t in_flight = counts.read - counts.taken;
    if (in_flight > counts.most_in_flight) counts.most_in_flight = in_flight;
    const std::size_t i = counts.read;
    if (i == fail_at) return make_err(std::string("read failed"));
    if (i == slow.size()) return std::optional<Piece>();
    ++counts.read;
    return std::optional<Piece>(Piece{i, slow[i], 0});
  }
};

struct Sink {
  std::size_t stop_at;  // the piece whose take says stop
  bool fail_instead;    // ...or fails
  Counts& counts;
  std::vector<std::size_t> order;
  bool undecided = false;
  std::thread::id thread;
  bool one_thread = true;

  void note_thread() {
    if (thread == std::thread::id()) thread = std::this_thread::get_id();
    one_thread = one_thread && thread == std::this_thread::get_id();
  }
  Result<bool, std::string> take(const Piece& piece) {
    note_thread();
    order.push_back(piece.index);
    undecided = undecided || piece.answer != piece.index * 7 + 1;
    ++counts.taken;
    if (piece.index == stop_at) {
      if (fail_instead) return make_err(std::string("write failed"));
      return false;
    }
    return true;
  }
  Status<std::string> idle() {
    note_thread();
    return ok_status<std::string>();
  }
};

TEST(OrderedPipeline, HandsOnEveryPieceInOrderWithBoundedWork) {
  std::mt19937 random(29);
  for (int round = 0; round < 60; ++round) {
    const unsigned jobs = 1 + random() % 5;
    const std::size_t pieces = random() % 80;
    std::vector<bool> slow(pieces);
    for (std::size_t i = 0; i < pieces; ++i) slow[i] = random() % 5 == 0;
    // A third of the rounds end early: by a failed read, by the sink
    // stopping or by the sink failing.
    const int ending = static_cast<int>(random() % 6);
    const std::size_t at = pieces == 0 ? 0 : random() % pieces;
    const std::size_t fail_at = ending == 1 && pieces > 0 ? at : SIZE_MAX;
    const std::size_t stop_at = (ending == 2 || ending == 3) && pieces > 0 ? at : SIZE_MAX;
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(jobs) + " jobs, " +
                 std::to_string(pieces) + " pieces, ending " + std::to_string(ending));

    Counts counts;
    Source source{slow, fail_at, counts};
    Sink sink{stop_at, ending == 3, counts, {}, false, {}, true};
    const auto decide = [](Piece& piece) {
      if (piece.slow) std::this_thread::sleep_for(std::chrono::microseconds(300));
      piece.answer = piece.index * 7 + 1;
    };
    auto ran = run_ordered<Piece, std::string>(jobs, source, decide, sink);

    // What the sink is owed: every piece up to the end, the failed read or
    // the stop (included).
    std::size_t owed = pieces;
    if (fail_at < pieces) owed = fail_at;
    if (stop_at < pieces) owed = stop_at + 1;
    std::vector<std::size_t> expected(owed);
    for (std::size_t i = 0; i < owed; ++i) expected[i] = i;
    EXPECT_EQ(sink.order, expected);
    EXPECT_FALSE(sink.undecided);
    EXPECT_TRUE(sink.one_thread);
    EXPECT_LE(counts.most_in_flight.load(), 2 * std::size_t{jobs});
    if (stop_at < pieces) {
      // Reading stops soon after: what was in flight at the stop at most.
      EXPECT_LE(counts.read.load(), stop_at + 1 + 2 * std::size_t{jobs});
    }

    if (stop_at < pieces && ending == 3) {
      ASSERT_FALSE(ran);
      EXPECT_EQ(ran.error(), "write failed");
    } else if (fail_at < pieces) {
      ASSERT_FALSE(ran);
      EXPECT_EQ(ran.error(), "read failed");
    } else {
      ASSERT_TRUE(ran);
      EXPECT_EQ(*ran, stop_at < pieces ? Ended::Sink : Ended::Input);
    }
  }
}

}  // namespace
}  // namespace verdane::pipeline
