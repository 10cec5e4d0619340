#include "host/output/labels.h"

#include <gtest/gtest.h>

using qv::out::lColumnLabel;
using qv::out::splitGroupCaption;

TEST(Labels, SplitGroupCaption) {
  EXPECT_EQ(splitGroupCaption({{"sex", "1"}}), "sex=1");
  EXPECT_EQ(splitGroupCaption({{"sex", "1"}, {"region", "North"}}), "sex=1, region=North");
  EXPECT_EQ(splitGroupCaption({{"sex", "1"}, {"region", "North"}, {"year", "2024"}}),
            "sex=1, region=North, year=2024");
  EXPECT_EQ(splitGroupCaption({}), "");
  // Values are shown as given, template characters included.
  EXPECT_EQ(splitGroupCaption({{"code", "^1 [x]"}}), "code=^1 [x]");
}

TEST(Labels, LColumnLabel) {
  EXPECT_EQ(lColumnLabel(1), "L1");
  EXPECT_EQ(lColumnLabel(12), "L12");
  EXPECT_EQ(lColumnLabel(100000), "L100000");
}
