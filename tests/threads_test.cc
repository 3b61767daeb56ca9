#include "common/threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace qzr {
namespace {

// Every item in order, the producer never further ahead than the ring holds.
TEST(ProduceAhead, ConsumesEachItemInOrderWithinTheDepth) {
  for (uint64_t depth : {1, 2, 3}) {
    for (uint64_t count : {0, 1, 2, 7}) {
      std::atomic<uint64_t> consumed{0};
      std::vector<uint64_t> ring(depth, ~uint64_t{0}), seen;
      bool overran = false;
      produce_ahead(
          count, depth,
          [&](uint64_t k) {
            if (k >= consumed.load() + depth) overran = true;
            ring[k % depth] = k;
          },
          [&](uint64_t k) {
            seen.push_back(ring[k % depth]);
            consumed.store(k + 1);
          });
      EXPECT_FALSE(overran) << depth << " " << count;
      std::vector<uint64_t> expected;
      for (uint64_t k = 0; k < count; ++k) expected.push_back(k);
      EXPECT_EQ(seen, expected) << depth << " " << count;
    }
  }
}

// A failure on either side ends the run (no wait on the other for ever)
// and reaches the caller.
TEST(ProduceAhead, AFailureOnEitherSideReachesTheCaller) {
  std::vector<uint64_t> consumed;
  EXPECT_THROW(produce_ahead(
                   100, 2, [](uint64_t) {},
                   [&](uint64_t k) {
                     if (k == 3) throw std::runtime_error("consumer");
                     consumed.push_back(k);
                   }),
               std::runtime_error);
  EXPECT_EQ(consumed, (std::vector<uint64_t>{0, 1, 2}));

  consumed.clear();
  EXPECT_THROW(produce_ahead(
                   100, 2,
                   [](uint64_t k) {
                     if (k == 5) throw std::runtime_error("producer");
                   },
                   [&](uint64_t k) { consumed.push_back(k); }),
               std::runtime_error);
  EXPECT_EQ(consumed, (std::vector<uint64_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace qzr
