// Block reductions: partial results reach the merge in block order on any number of threads, and
// a failure in one block stops the pass and reaches the caller.
#include "data/case_blocks.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TEST(ReduceBlocks, MergesEveryBlockOnceInBlockOrder) {
  for (int threads : {1, 2, 3, 8}) {
    std::string order;
    long cases = 0;
    qv::reduceBlocks(
        23, 4, threads,
        [](qv::CaseRange r) { return std::to_string(r.begin) + "-" + std::to_string(r.end) + " "; },
        [&](std::string part) {
          order += part;
          cases += 1;
        });
    EXPECT_EQ(order, "0-4 4-8 8-12 12-16 16-20 20-23 ") << threads << " threads";
    EXPECT_EQ(cases, 6);
  }
}

TEST(ReduceBlocks, AFailingBlockStopsThePassAndReachesTheCaller) {
  for (int threads : {1, 2, 3}) {
    long merged = 0;
    auto map = [](qv::CaseRange r) {
      if (r.begin == 12) throw std::runtime_error("block 3");
      return r.size();
    };
    EXPECT_THROW(qv::reduceBlocks(40, 4, threads, map, [&](long) { ++merged; }), std::runtime_error);
    EXPECT_LE(merged, 3) << threads << " threads";
    EXPECT_THROW(qv::reduceBlocks(
                     40, 4, threads, [](qv::CaseRange r) { return r.size(); },
                     [&](long) { throw std::runtime_error("merge"); }),
                 std::runtime_error);
  }
}

}  // namespace
