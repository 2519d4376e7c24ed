// What the overlay draws, read back as pixels from the host's off-screen GL
// context. The view maps canonical coordinates onto the pixels at half scale,
// rows bottom first, so a canonical point (X, Y) lands on pixel (X / 2, Y / 2).
#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../plugin/plugin_testing.h"
#include "ofxhost/ofx_host.h"

namespace {

using ofxhost::Instance;
using Rgba = std::array<int, 4>;

// Colours as GL writes them: no blending, so a dab's alpha lands in the buffer.
constexpr Rgba kOrange{230, 157, 39, 255};
constexpr Rgba kCyan{0, 229, 255, 89};
constexpr Rgba kRed{255, 69, 58, 89};
constexpr Rgba kNothing{0, 0, 0, 0};

struct Canvas {
  OfxRectD view{0, 0, 1920, 1080};
  double scale = 0.5;  // pixels per canonical unit
  int width = 0;
  int height = 0;
  std::vector<unsigned char> pixels;
  OfxStatus status = -1;

  Rgba at(double x, double y) const {
    const int px = int((x - view.x1) * scale);
    const int py = int((y - view.y1) * scale);
    if (px < 0 || py < 0 || px >= width || py >= height) return {-1, -1, -1, -1};
    const unsigned char* p = &pixels[(std::size_t(py) * width + px) * 4];
    return {p[0], p[1], p[2], p[3]};
  }
};

bool same(const Rgba& a, const Rgba& b) {
  for (int i = 0; i < 4; ++i)
    if (std::abs(a[i] - b[i]) > 2) return false;
  return true;
}

std::string show(const Rgba& c) {
  return "(" + std::to_string(c[0]) + "," + std::to_string(c[1]) + "," + std::to_string(c[2]) + "," +
         std::to_string(c[3]) + ")";
}

// Lines may fall on either pixel next to their exact position: look around.
bool near(const Canvas& c, double x, double y, const Rgba& colour) {
  for (double dy = -4; dy <= 4; dy += 1)
    for (double dx = -4; dx <= 4; dx += 1)
      if (same(c.at(x + dx, y + dy), colour)) return true;
  return false;
}

#define EXPECT_LINE(canvas, x, y) \
  EXPECT_TRUE(near(canvas, x, y, kOrange)) << "no outline near canonical (" << (x) << ", " << (y) << ")"

#define EXPECT_COLOUR(canvas, x, y, colour)                                                          \
  EXPECT_TRUE(same((canvas).at(x, y), colour)) << "at canonical (" << (x) << ", " << (y) << ") got " \
                                               << show((canvas).at(x, y)) << " want " << show(colour)

class OverlayDrawTest : public plugin_testing::PluginSuite {
 protected:
  void SetUp() override {
    PluginSuite::SetUp();
    instance_ = instance();
    ASSERT_NE(instance_, nullptr);
    instance_->set_project(1920, 1080);
  }

  Canvas draw(OfxRectD view = {0, 0, 1920, 1080}, double time = 0) {
    Canvas c;
    c.view = view;
    c.width = int((view.x2 - view.x1) * c.scale);
    c.height = int((view.y2 - view.y1) * c.scale);
    auto viewer = instance_->new_interact();
    c.pixels = viewer->draw_pixels(c.width, c.height, view, &c.status, time);
    // An empty read-back means no GL context: that is a failure, never a skip.
    EXPECT_EQ(c.pixels.size(), std::size_t(c.width) * c.height * 4) << "no GL context";
    if (c.pixels.size() != std::size_t(c.width) * c.height * 4)
      c.pixels.assign(std::size_t(c.width) * c.height * 4, 0);
    return c;
  }

  static int count(const Canvas& c, const Rgba& colour) {
    int n = 0;
    for (std::size_t i = 0; i + 3 < c.pixels.size(); i += 4)
      if (same({c.pixels[i], c.pixels[i + 1], c.pixels[i + 2], c.pixels[i + 3]}, colour)) ++n;
    return n;
  }

  std::unique_ptr<Instance> instance_;
};

// Each frame shows its own marks only: the edited frame's documents, another
// frame's stored marks, or nothing.
TEST_F(OverlayDrawTest, EachFrameShowsOnlyItsOwnMarks) {
  instance_->set_frame_range(0, 20);
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.5,"x":0.25,"y":0.25})");
  instance_->set_string("frame_marks", R"({"editing":3,"frames":{"8":{"strokes":[[0.5,0.5,-0.05]]}}})");
  const Canvas edited = draw({0, 0, 1920, 1080}, 3.0);
  EXPECT_LINE(edited, 480, 700);
  EXPECT_EQ(count(edited, kRed), 0);
  const Canvas other = draw({0, 0, 1920, 1080}, 8.0);
  EXPECT_COLOUR(other, 960, 540, kRed);
  EXPECT_EQ(count(other, kOrange), 0);
  const Canvas unmarked = draw({0, 0, 1920, 1080}, 5.0);
  EXPECT_EQ(count(unmarked, kOrange) + count(unmarked, kRed), 0);
  // A project saved before marks had frames shows its box on every frame.
  instance_->set_string("frame_marks", "{}");
  EXPECT_LINE(draw({0, 0, 1920, 1080}, 5.0), 480, 700);
}

TEST_F(OverlayDrawTest, BoxOutlineHandlesAndDabsLandWhereTheDocumentsSay) {
  // Box from canonical (480, 270) to (1440, 810); y of the documents grows downwards.
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.5,"x":0.25,"y":0.25})");
  instance_->set_string("brush_json",
                        "[[0.5,0.5,0.05],[0.5,0.8,-0.03],[0.25,0.5,0.02],[0.9,0.9,0],"
                        "[0.8,0.1],\"skip\"]");
  const Canvas c = draw();
  EXPECT_EQ(c.status, kOfxStatOK);

  // Outline: the four edges, and nothing filled inside.
  EXPECT_LINE(c, 480, 700);
  EXPECT_LINE(c, 1440, 400);
  EXPECT_LINE(c, 1200, 270);
  EXPECT_LINE(c, 700, 810);
  EXPECT_COLOUR(c, 700, 700, kNothing);
  EXPECT_COLOUR(c, 470, 700, kNothing);
  // Corner handles are 10 x 10 canonical units around each corner.
  for (const auto& corner : {std::array<double, 2>{480, 810}, {480, 270}, {1440, 810}, {1440, 270}}) {
    const double sx = corner[0] < 960 ? -1 : 1;  // step away from the box's inside
    const double sy = corner[1] < 540 ? -1 : 1;
    EXPECT_COLOUR(c, corner[0] + 3 * sx, corner[1] + 3 * sy, kOrange);
    EXPECT_COLOUR(c, corner[0] + 13 * sx, corner[1] + 13 * sy, kNothing);
  }

  // Add dab at the centre: cyan, radius 0.05 x 1920 = 96 on both axes.
  EXPECT_COLOUR(c, 960, 540, kCyan);
  EXPECT_COLOUR(c, 960 + 88, 540, kCyan);
  EXPECT_COLOUR(c, 960, 540 + 88, kCyan);
  EXPECT_COLOUR(c, 960 + 106, 540, kNothing);
  EXPECT_COLOUR(c, 960, 540 - 106, kNothing);
  // Exclude dab: red.
  EXPECT_COLOUR(c, 960, 216, kRed);
  // Dabs are drawn over the box: the dab on the left edge hides the outline there.
  EXPECT_COLOUR(c, 481, 540, kCyan);
  // r of 0 is an exclude dab of no size: no pixel, and surely no cyan.
  EXPECT_COLOUR(c, 1728, 108, kNothing);
  // The two-element entry and the string are skipped.
  EXPECT_COLOUR(c, 1536, 972, kNothing);
}

TEST_F(OverlayDrawTest, GeometryFollowsProjectSizeAndOffset) {
  const struct {
    double width, height, offsetX, offsetY;
    double cornerX, cornerY;  // canonical top-left corner of the box x 0.25, y 0.25
  } cases[] = {
      {1920, 1080, 0, 0, 480, 810},
      {0, 0, 0, 0, 480, 810},  // no usable project size: 1920 x 1080
      {1000, 500, 100, 50, 350, 425},
  };
  instance_->set_string("bbox_json", R"({"h":0.25,"w":0.25,"x":0.25,"y":0.25})");
  for (const auto& k : cases) {
    instance_->set_project(k.width, k.height, k.offsetX, k.offsetY);
    const Canvas c = draw();
    EXPECT_EQ(c.status, kOfxStatOK);
    EXPECT_COLOUR(c, k.cornerX - 3, k.cornerY + 3, kOrange) << k.width << "x" << k.height;
    EXPECT_COLOUR(c, k.cornerX - 30, k.cornerY + 30, kNothing) << k.width << "x" << k.height;
  }
}

TEST_F(OverlayDrawTest, ClampedBoxStaysInsideTheProject) {
  // A drag from far outside one corner to far outside the opposite one.
  auto viewer = instance_->new_interact();
  ofxhost::PenEvent from, to;
  from.x = -900;
  from.y = 3000;
  to.x = 4000;
  to.y = -700;
  viewer->pen_down(from);
  viewer->pen_motion(to);
  viewer->pen_up(to);

  const OfxRectD view{-200, -200, 2120, 1280};
  const Canvas c = draw(view);
  EXPECT_EQ(c.status, kOfxStatOK);
  EXPECT_LINE(c, 960, 0);
  EXPECT_LINE(c, 960, 1080);
  EXPECT_LINE(c, 0, 540);
  EXPECT_LINE(c, 1920, 540);
  // Nothing beyond the project area but the handles' outer halves (5 units).
  for (int py = 0; py < c.height; ++py)
    for (int px = 0; px < c.width; ++px) {
      const double x = view.x1 + (px + 0.5) / c.scale;
      const double y = view.y1 + (py + 0.5) / c.scale;
      if (x > -8 && x < 1928 && y > -8 && y < 1088) continue;
      const unsigned char* p = &c.pixels[(std::size_t(py) * c.width + px) * 4];
      ASSERT_EQ(p[0] | p[1] | p[2] | p[3], 0) << "drawn at canonical (" << x << ", " << y << ")";
    }
}

TEST_F(OverlayDrawTest, NothingIsDrawnWithoutAPresentSelection) {
  const struct {
    const char* bbox;
    const char* brush;
  } cases[] = {
      {"", "[]"},
      {R"({"h":0.5,"w":0.0,"x":0.25,"y":0.25})", "[]"},  // a click's zero-width box
      {"{}", "{}"},
      {"[0.1,0.1,0.5,0.5]", "[[0.5,0.5],[\"a\",0.5,0.1],7,null]"},
      {R"({"h":0.5,"w":"0.5","x":0.25,"y":0.25})", "[[0.5,0.5,true]]"},
      {"{broken", "[[0.5,0.5,0.1]"},
  };
  for (const auto& k : cases) {
    instance_->set_string("bbox_json", k.bbox);
    instance_->set_string("brush_json", k.brush);
    const Canvas c = draw();
    EXPECT_EQ(c.status, kOfxStatOK) << k.bbox << " " << k.brush;
    EXPECT_EQ(count(c, kNothing), c.width * c.height) << k.bbox << " " << k.brush;
  }
}

TEST_F(OverlayDrawTest, CheckboxOffDrawsNothing) {
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.5,"x":0.25,"y":0.25})");
  instance_->set_string("brush_json", "[[0.5,0.5,0.05]]");
  instance_->set_int("draw_mask", 0);
  const Canvas c = draw();
  EXPECT_EQ(c.status, kOfxStatReplyDefault);
  EXPECT_EQ(count(c, kNothing), c.width * c.height);
  // And the same documents do draw once it is back on.
  instance_->set_int("draw_mask", 1);
  const Canvas on = draw();
  EXPECT_EQ(on.status, kOfxStatOK);
  EXPECT_GT(count(on, kOrange), 0);
  EXPECT_GT(count(on, kCyan), 0);
}

}  // namespace
