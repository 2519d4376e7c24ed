#include "suites/clip_time.h"

#include <gtest/gtest.h>

namespace {

TEST(ClipTime, OffsetOnlyWhereTheRangesAreOneMovedByWholeFrames) {
  struct Case {
    const char* what;
    FrameRange source, output;
    double offset;
  };
  const FrameRange none;
  const Case cases[] = {
      {"no ranges", none, none, 0.0},
      {"only the source's", {20, 79, true}, none, 0.0},
      {"only the output's", none, {0, 59, true}, 0.0},
      {"the same range", {20, 79, true}, {20, 79, true}, 0.0},
      {"counted from the in-point", {20, 79, true}, {0, 59, true}, 20.0},
      {"on a timeline at 1000", {0, 99, true}, {1000, 1099, true}, -1000.0},
      {"retimed to another length", {20, 79, true}, {0, 119, true}, 0.0},
      {"moved by part of a frame", {20, 79, true}, {0.5, 59.5, true}, 0.0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(time_offset(c.source, c.output), c.offset) << c.what;
  }
}

}  // namespace
