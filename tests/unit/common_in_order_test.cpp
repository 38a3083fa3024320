// Pieces made on two threads and used in order: every piece once, in order,
// never more than the bound made ahead, and an error from either thread
// reaches the caller.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

#include "host/common/in_order.h"

namespace {

TEST(MakeInOrder, UsesEveryPieceOnceInOrderWithinTheBound) {
  for (const bool helper : {false, true}) {
    constexpr std::size_t kCount = 500;
    constexpr std::size_t kAhead = 3;
    std::vector<int> made(kCount, 0);
    std::vector<std::size_t> used;
    std::atomic<std::size_t> usedCount{0};
    std::atomic<bool> beyond{false};
    host::MakeInOrder(
        kCount, helper, kAhead,
        [&](std::size_t k) {
          if (k >= usedCount.load() + kAhead) beyond = true;
          made[k] += 1;
        },
        [&](std::size_t k) {
          EXPECT_EQ(made[k], 1) << "piece " << k << " used before it was made, or made twice";
          used.push_back(k);
          usedCount.store(used.size());
        });
    ASSERT_EQ(used.size(), kCount);
    for (std::size_t k = 0; k < kCount; ++k) EXPECT_EQ(used[k], k);
    EXPECT_FALSE(beyond) << "a piece was made more than the bound ahead of the ones used";
  }
}

TEST(MakeInOrder, AnErrorInAPieceReachesTheCaller) {
  for (const std::size_t failing : {std::size_t{0}, std::size_t{1}, std::size_t{57}}) {
    std::size_t used = 0;
    EXPECT_THROW(host::MakeInOrder(
                     100, true, 4,
                     [failing](std::size_t k) {
                       if (k == failing) throw std::runtime_error("no room");
                     },
                     [&used](std::size_t) { ++used; }),
                 std::runtime_error);
    EXPECT_LE(used, failing);
  }
  EXPECT_THROW(host::MakeInOrder(
                   100, true, 4, [](std::size_t) {},
                   [](std::size_t k) {
                     if (k == 10) throw std::runtime_error("the stream failed");
                   }),
               std::runtime_error);
}

}  // namespace
