#include "overlay/selection.h"

#include <cmath>

#include <gtest/gtest.h>

namespace {

using protocol::Box;
using tessel::Point;
using tessel::Project;

TEST(ProjectGeometry, NonPositiveOrNonFiniteSizeFallsBackToHd) {
  const double nan = std::nan("");
  const struct {
    double w, h;
  } bad[] = {{0, 0}, {0, 720}, {1280, 0}, {-5, 720}, {1280, -1}, {nan, 720}, {INFINITY, 720}};
  for (const auto& c : bad) {
    const Project p = tessel::project_from(c.w, c.h, 10, 20);
    EXPECT_EQ(p.width, 1920.0) << c.w << "x" << c.h;
    EXPECT_EQ(p.height, 1080.0) << c.w << "x" << c.h;
    EXPECT_EQ(p.offsetX, 10.0);  // the offset stays as reported
    EXPECT_EQ(p.offsetY, 20.0);
  }
  const Project ok = tessel::project_from(1280, 720, nan, 3);
  EXPECT_EQ(ok.width, 1280.0);
  EXPECT_EQ(ok.height, 720.0);
  EXPECT_EQ(ok.offsetX, 0.0);
  EXPECT_EQ(ok.offsetY, 3.0);
}

TEST(ProjectGeometry, CanonicalAndNormalisedRoundTripWithYFlipped) {
  const Project p = tessel::project_from(1000, 500, 100, 50);
  // Canonical origin is bottom-left, normalised origin top-left.
  const Point topLeft = tessel::to_normalised(p, {100, 550});
  EXPECT_DOUBLE_EQ(topLeft.x, 0.0);
  EXPECT_DOUBLE_EQ(topLeft.y, 0.0);
  const Point n = tessel::to_normalised(p, {350, 425});
  EXPECT_DOUBLE_EQ(n.x, 0.25);
  EXPECT_DOUBLE_EQ(n.y, 0.25);
  const Point back = tessel::to_canonical(p, n);
  EXPECT_DOUBLE_EQ(back.x, 350);
  EXPECT_DOUBLE_EQ(back.y, 425);
}

TEST(ProjectGeometry, PenOutsideTheProjectIsClampedPerAxis) {
  const Project p = tessel::project_from(1920, 1080, 0, 0);
  const struct {
    Point canonical;
    Point expected;
  } cases[] = {
      {{-50, 540}, {0.0, 0.5}}, {{2500, 540}, {1.0, 0.5}},     {{960, 5000}, {0.5, 0.0}},
      {{960, -10}, {0.5, 1.0}}, {{-1e300, 1e300}, {0.0, 0.0}}, {{std::nan(""), std::nan("")}, {0.0, 0.0}},
  };
  for (const auto& c : cases) {
    const Point n = tessel::to_normalised(p, c.canonical);
    EXPECT_DOUBLE_EQ(n.x, c.expected.x) << c.canonical.x << "," << c.canonical.y;
    EXPECT_DOUBLE_EQ(n.y, c.expected.y) << c.canonical.x << "," << c.canonical.y;
  }
}

TEST(BoxDocument, DragInEveryDirectionGivesTopLeftOriginAndPositiveExtent) {
  const Point a{0.6, 0.7};
  const Point b{0.2, 0.1};
  const Point corners[][2] = {{a, b}, {b, a}, {{0.2, 0.7}, {0.6, 0.1}}, {{0.6, 0.1}, {0.2, 0.7}}};
  for (const auto& c : corners) {
    const Box box = tessel::box_from_drag(c[0], c[1]);
    EXPECT_DOUBLE_EQ(box.x, 0.2);
    EXPECT_DOUBLE_EQ(box.y, 0.1);
    EXPECT_NEAR(box.w, 0.4, 1e-15);
    EXPECT_NEAR(box.h, 0.6, 1e-15);
  }
}

}  // namespace
