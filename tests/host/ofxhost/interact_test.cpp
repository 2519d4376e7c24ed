// Overlay interacts: their property sets, pen events, and real GL drawing read back.
#include "probe.h"

namespace {

using ofxhost::PenEvent;
using Overlay = probe::ProbeTest;

const OfxInteractSuiteV1* interacts() { return probe::suite<OfxInteractSuiteV1>(kOfxInteractSuite); }

TEST_F(Overlay, InteractPropertySetNamesItsInstance) {
  auto it = instance_->new_interact();
  ASSERT_NE(it, nullptr);
  OfxPropertySetHandle h = nullptr;
  ASSERT_EQ(interacts()->interactGetPropertySet(it->handle(), &h), kOfxStatOK);
  auto* p = reinterpret_cast<ofxhost::PropertySet*>(h);
  EXPECT_EQ(p->ptr(kOfxPropEffectInstance), static_cast<void*>(instance_->handle()));
  EXPECT_EQ(p->dimension(kOfxInteractPropPixelScale), 2);
  EXPECT_EQ(p->dimension(kOfxInteractPropBackgroundColour), 3);
  EXPECT_EQ(p->dimension(kOfxInteractPropSuggestedColour), 3);
  EXPECT_TRUE(p->has(kOfxInteractPropSlaveToParam));
  EXPECT_EQ(interacts()->interactRedraw(it->handle()), kOfxStatOK);
  EXPECT_EQ(interacts()->interactSwapBuffers(it->handle()), kOfxStatOK);

  OfxInteractHandle stale = it->handle();
  it.reset();
  EXPECT_EQ(interacts()->interactGetPropertySet(stale, &h), kOfxStatErrBadHandle);
}

TEST_F(Overlay, PenEventsCarryTheirArguments) {
  auto it = instance_->new_interact();
  PenEvent e;
  e.x = 100;
  e.y = 50;
  e.pixel_scale_x = 2;
  e.pixel_scale_y = 2;
  e.time = 3;
  e.pressure = 0.5;
  ASSERT_EQ(it->pen_down(e), kOfxStatOK);
  e.x = 120.5;
  ASSERT_EQ(it->pen_motion(e), kOfxStatOK);
  e.pressure = 0;
  ASSERT_EQ(it->pen_up(e), kOfxStatOK);
  EXPECT_EQ(instance_->string_history("stroke"), (std::vector<std::string>{
                                                     "down 100,50 view 50,25 scale 2,2 p 0.5 t 3 same",
                                                     "motion 120.5,50 view 60,25 scale 2,2 p 0.5 t 3 same",
                                                     "up 120.5,50 view 60,25 scale 2,2 p 0 t 3 same",
                                                 }));
  // Drawing without a GL context still reaches the overlay.
  EXPECT_EQ(it->draw(), kOfxStatOK);
}

TEST_F(Overlay, DrawnPixelsComeBack) {
  auto it = instance_->new_interact();
  // The probe fills the canonical rectangle (10,10)-(30,20) with opaque red.
  struct Case {
    OfxRectD view;
    int width, height;
    int in_x, in_y, out_x, out_y;  // a pixel inside the quad and one outside
  };
  const Case cases[] = {
      {{0, 0, 64, 48}, 64, 48, 15, 12, 5, 5},
      {{0, 0, 128, 96}, 64, 48, 10, 7, 16, 7},  // zoomed out: the quad covers pixels 5..15 x 5..10
      {{10, 0, 74, 48}, 64, 48, 1, 15, 25, 15},
  };
  for (const Case& c : cases) {
    OfxStatus st = -1;
    std::vector<unsigned char> px = it->draw_pixels(c.width, c.height, c.view, &st);
    ASSERT_EQ(st, kOfxStatOK);
    ASSERT_EQ(px.size(), static_cast<size_t>(c.width * c.height * 4));
    const unsigned char* in = &px[(c.in_y * c.width + c.in_x) * 4];
    const unsigned char* out = &px[(c.out_y * c.width + c.out_x) * 4];
    EXPECT_EQ(in[0], 255);
    EXPECT_EQ(in[1], 0);
    EXPECT_EQ(in[3], 255);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[3], 0);
    size_t lit = 0;
    for (size_t i = 0; i < px.size(); i += 4) lit += px[i] == 255;
    const double scale = (c.view.x2 - c.view.x1) / c.width;
    EXPECT_NEAR(static_cast<double>(lit), 200.0 / (scale * scale), 40.0 / scale);
  }
  OfxStatus st = -1;
  EXPECT_TRUE(it->draw_pixels(0, 10, {0, 0, 1, 1}, &st).empty());
  EXPECT_EQ(st, kOfxStatErrMissingHostFeature);
}

TEST(OverlayAbsent, InteractActionsAnswerReplyDefault) {
  std::string error;
  auto plugin = ofxhost::Plugin::load(PROBE_NO_OVERLAY_BUNDLE, &error);
  ASSERT_NE(plugin, nullptr) << error;
  auto inst = plugin->create_instance();
  ASSERT_NE(inst, nullptr);
  auto it = inst->new_interact();
  EXPECT_EQ(it->pen_down({}), kOfxStatReplyDefault);
  EXPECT_EQ(it->draw(), kOfxStatReplyDefault);
  OfxStatus st = -1;
  auto px = it->draw_pixels(8, 8, {0, 0, 8, 8}, &st);
  EXPECT_EQ(st, kOfxStatReplyDefault);
  EXPECT_EQ(px.size(), 8u * 8 * 4);
  EXPECT_TRUE(inst->string_history("stroke").empty());
}

}  // namespace
