// Renders through the image effect suite: layouts, depths, failures, clip
// properties, and the bookkeeping of images the plug-in holds.
#include <cmath>

#include "probe.h"

namespace {

using ofxhost::Image;
using probe::suite;
using Render = probe::ProbeTest;

const OfxImageEffectSuiteV1* effects() { return suite<OfxImageEffectSuiteV1>(kOfxImageEffectSuite); }

// A recognisable value per pixel, channel and time, in 0..1 (exact in 8 bits).
float pattern(int x, int y, int c, double time) {
  return static_cast<float>(((x * 7 + y * 13 + c * 29 + static_cast<int>(time) * 3) & 0xff) / 255.0);
}

Image source_frame(OfxRectI b, const std::string& depth, bool top_down, int pad, double time) {
  Image img = ofxhost::make_image(b, depth, top_down, pad);
  for (int y = b.y1; y < b.y2; ++y)
    for (int x = b.x1; x < b.x2; ++x)
      for (int c = 0; c < 4; ++c) {
        if (depth == kOfxBitDepthFloat)
          img.pixelf(x, y)[c] = pattern(x, y, c, time);
        else
          img.pixel8(x, y)[c] = static_cast<unsigned char>(std::lround(pattern(x, y, c, time) * 255));
      }
  return img;
}

float value_at(Image& img, int x, int y, int c) {
  if (img.depth == kOfxBitDepthFloat) return img.pixelf(x, y)[c];
  return img.pixel8(x, y)[c] / 255.f;
}

TEST_F(Render, InvertsEveryLayoutAndDepth) {
  struct Case {
    const char* depth;
    bool top_down;
    int pad;
    OfxRectI bounds;
  };
  const Case cases[] = {
      {kOfxBitDepthByte, false, 0, {0, 0, 16, 9}}, {kOfxBitDepthByte, true, 0, {-3, 5, 14, 12}},
      {kOfxBitDepthByte, true, 12, {7, -4, 8, 1}}, {kOfxBitDepthFloat, false, 4, {-3, 5, 14, 12}},
      {kOfxBitDepthFloat, true, 0, {0, 0, 5, 3}},  {kOfxBitDepthFloat, true, 20, {101, 33, 118, 40}},
  };
  instance_->set_int("invert", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.depth) + (c.top_down ? " top-down" : " bottom-up") + " pad " +
                 std::to_string(c.pad));
    double asked = -1;
    instance_->set_source([&](double t) {
      asked = t;
      return std::optional<Image>(source_frame(c.bounds, c.depth, c.top_down, c.pad, t));
    });
    // The output has its own layout, the other row order.
    Image out = ofxhost::make_image(c.bounds, c.depth, !c.top_down, c.pad / 2);
    ASSERT_EQ(instance_->render(4, out), kOfxStatOK);
    EXPECT_EQ(asked, 4.0);
    const float tolerance = c.depth == std::string(kOfxBitDepthFloat) ? 1e-6f : 0.5f / 255;
    for (int y = c.bounds.y1; y < c.bounds.y2; ++y)
      for (int x = c.bounds.x1; x < c.bounds.x2; ++x) {
        for (int ch = 0; ch < 3; ++ch)
          ASSERT_NEAR(value_at(out, x, y, ch), 1.f - pattern(x, y, ch, 4), tolerance) << x << "," << y;
        ASSERT_NEAR(value_at(out, x, y, 3), pattern(x, y, 3, 4), tolerance);
      }
    EXPECT_EQ(instance_->outstanding_images(), 0);
  }
}

TEST_F(Render, OutputLargerThanSourceAndGain) {
  const OfxRectI src_bounds{2, 2, 6, 5};
  instance_->set_source([&](double t) {
    return std::optional<Image>(source_frame(src_bounds, kOfxBitDepthFloat, false, 0, t));
  });
  instance_->set_double("gain", 2.0);
  Image out = ofxhost::make_image({0, 0, 8, 8}, kOfxBitDepthFloat);
  for (auto& b : out.storage) b = 0x7f;  // the plug-in must overwrite every pixel
  ASSERT_EQ(instance_->render(0, out), kOfxStatOK);
  EXPECT_EQ(out.pixelf(0, 0)[3], 0.f);
  EXPECT_EQ(out.pixelf(6, 4)[0], 0.f);
  EXPECT_FLOAT_EQ(out.pixelf(5, 4)[1], 2.f * pattern(5, 4, 1, 0));
  EXPECT_FLOAT_EQ(out.pixelf(2, 2)[3], pattern(2, 2, 3, 0));
}

TEST_F(Render, FailsCleanlyWithoutASourceImage) {
  Image out = ofxhost::make_image({0, 0, 4, 4}, kOfxBitDepthByte);
  EXPECT_EQ(instance_->render(0, out), kOfxStatFailed);  // no provider at all
  instance_->set_source([](double) { return std::optional<Image>(); });
  EXPECT_EQ(instance_->render(0, out), kOfxStatFailed);
  instance_->set_source([](double) {
    Image img = ofxhost::make_image({0, 0, 4, 4}, kOfxBitDepthByte);
    img.null_data = true;
    return std::optional<Image>(img);
  });
  // The probe gives up on a null data pointer and must still release both images.
  EXPECT_EQ(instance_->render(0, out), kOfxStatFailed);
  EXPECT_EQ(instance_->outstanding_images(), 0);
}

TEST_F(Render, CountsImagesThePlugInKeeps) {
  instance_->set_source([](double) {
    return std::optional<Image>(ofxhost::make_image({0, 0, 4, 4}, kOfxBitDepthByte));
  });
  instance_->set_int("leak", 1);
  Image out = ofxhost::make_image({0, 0, 4, 4}, kOfxBitDepthByte);
  ASSERT_EQ(instance_->render(0, out), kOfxStatOK);
  ASSERT_EQ(instance_->render(1, out), kOfxStatOK);
  EXPECT_EQ(instance_->outstanding_images(), 2);
  // Destroying the instance frees what the plug-in forgot (the leak checker watches).
}

TEST_F(Render, ImagesSeenThroughTheSuite) {
  instance_->set_source([](double t) {
    Image img = ofxhost::make_image({-2, 3, 5, 7}, kOfxBitDepthFloat, true, 8);
    img.pixelf(-2, 3)[0] = static_cast<float>(t);
    return std::optional<Image>(img);
  });
  OfxImageClipHandle src = nullptr, out = nullptr;
  OfxPropertySetHandle clip_props = nullptr;
  ASSERT_EQ(effects()->clipGetHandle(instance_->handle(), "Source", &src, &clip_props), kOfxStatOK);
  ASSERT_EQ(effects()->clipGetHandle(instance_->handle(), "Output", &out, nullptr), kOfxStatOK);
  OfxImageClipHandle none = nullptr;
  EXPECT_EQ(effects()->clipGetHandle(instance_->handle(), "Matte", &none, nullptr), kOfxStatErrUnknown);
  EXPECT_EQ(none, nullptr);

  OfxPropertySetHandle a = nullptr, b = nullptr;
  ASSERT_EQ(effects()->clipGetImage(src, 9, nullptr, &a), kOfxStatOK);
  ASSERT_EQ(effects()->clipGetImage(src, 9, nullptr, &b), kOfxStatOK);
  EXPECT_EQ(instance_->outstanding_images(), 2);
  auto* p = reinterpret_cast<ofxhost::PropertySet*>(a);
  auto* data = static_cast<float*>(p->ptr(kOfxImagePropData));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data[0], 9.f);  // the data pointer addresses pixel (x1, y1)
  EXPECT_EQ(p->integer(kOfxImagePropRowBytes), -(7 * 16 + 8));
  EXPECT_EQ(p->integer(kOfxImagePropBounds, 0), -2);
  EXPECT_EQ(p->integer(kOfxImagePropBounds, 3), 7);
  EXPECT_EQ(p->integer(kOfxImagePropRegionOfDefinition, 1), 3);
  EXPECT_EQ(p->str(kOfxImageEffectPropPixelDepth), kOfxBitDepthFloat);
  EXPECT_EQ(p->str(kOfxImageEffectPropComponents), kOfxImageComponentRGBA);
  EXPECT_EQ(p->str(kOfxImageEffectPropPreMultiplication), kOfxImagePreMultiplied);
  EXPECT_EQ(p->dbl(kOfxImagePropPixelAspectRatio), 1.0);
  EXPECT_EQ(p->str(kOfxImagePropField), kOfxImageFieldNone);
  EXPECT_NE(p->str(kOfxImagePropUniqueIdentifier),
            reinterpret_cast<ofxhost::PropertySet*>(b)->str(kOfxImagePropUniqueIdentifier));
  EXPECT_EQ(effects()->clipReleaseImage(a), kOfxStatOK);
  EXPECT_EQ(effects()->clipReleaseImage(a), kOfxStatErrBadHandle);
  EXPECT_EQ(effects()->clipReleaseImage(b), kOfxStatOK);
  EXPECT_EQ(instance_->outstanding_images(), 0);

  // Outside a render there is no output image.
  OfxPropertySetHandle o = nullptr;
  EXPECT_EQ(effects()->clipGetImage(out, 0, nullptr, &o), kOfxStatFailed);
  OfxRectD rod{};
  EXPECT_EQ(effects()->clipGetRegionOfDefinition(out, 0, &rod), kOfxStatOK);
  EXPECT_EQ(rod.x1, -2.0);
  EXPECT_EQ(rod.y2, 7.0);
}

TEST_F(Render, ClipPropertiesFollowTheHostSettings) {
  OfxImageClipHandle src = nullptr;
  OfxPropertySetHandle h = nullptr;
  ASSERT_EQ(effects()->clipGetHandle(instance_->handle(), "Source", &src, nullptr), kOfxStatOK);
  ASSERT_EQ(effects()->clipGetPropertySet(src, &h), kOfxStatOK);
  auto* p = reinterpret_cast<ofxhost::PropertySet*>(h);
  EXPECT_FALSE(p->has(kOfxImageEffectPropFrameRange));
  EXPECT_FALSE(p->has(kOfxImageEffectPropFrameRate));
  EXPECT_EQ(p->str(kOfxImageEffectPropPixelDepth), kOfxBitDepthByte);
  EXPECT_EQ(p->str(kOfxImageEffectPropComponents), kOfxImageComponentRGBA);
  EXPECT_EQ(p->integer(kOfxImageClipPropConnected), 1);
  EXPECT_EQ(p->str(kOfxPropName), "Source");
  instance_->set_frame_range(10, 19);
  instance_->set_frame_rate(24);
  instance_->set_pixel_depth(kOfxBitDepthFloat);
  EXPECT_EQ(p->dbl(kOfxImageEffectPropFrameRange, 0), 10.0);
  EXPECT_EQ(p->dbl(kOfxImageEffectPropFrameRange, 1), 19.0);
  EXPECT_EQ(p->dbl(kOfxImageEffectPropFrameRate), 24.0);
  EXPECT_EQ(p->str(kOfxImageEffectPropPixelDepth), kOfxBitDepthFloat);
}

// A trimmed clip counted from its in-point: the Source keeps its own frame
// numbers, the Output's range and the times start at 0, and the image asked
// for at time t is the clip's frame first + t.
TEST_F(Render, TimesCountedFromTheInPoint) {
  std::vector<double> asked;
  instance_->set_source([&](double t) {
    asked.push_back(t);
    return std::optional<Image>(source_frame({0, 0, 4, 2}, kOfxBitDepthByte, false, 0, t));
  });
  instance_->set_frame_range(20, 79);
  instance_->count_time_from_in_point();
  OfxImageClipHandle src = nullptr, out = nullptr;
  OfxPropertySetHandle src_props = nullptr, out_props = nullptr;
  ASSERT_EQ(effects()->clipGetHandle(instance_->handle(), "Source", &src, &src_props), kOfxStatOK);
  ASSERT_EQ(effects()->clipGetHandle(instance_->handle(), "Output", &out, &out_props), kOfxStatOK);
  auto* sp = reinterpret_cast<ofxhost::PropertySet*>(src_props);
  auto* op = reinterpret_cast<ofxhost::PropertySet*>(out_props);
  EXPECT_EQ(sp->dbl(kOfxImageEffectPropFrameRange, 0), 20.0);
  EXPECT_EQ(sp->dbl(kOfxImageEffectPropFrameRange, 1), 79.0);
  EXPECT_EQ(op->dbl(kOfxImageEffectPropFrameRange, 0), 0.0);
  EXPECT_EQ(op->dbl(kOfxImageEffectPropFrameRange, 1), 59.0);

  OfxPropertySetHandle image = nullptr;
  ASSERT_EQ(effects()->clipGetImage(src, 9, nullptr, &image), kOfxStatOK);
  EXPECT_EQ(effects()->clipReleaseImage(image), kOfxStatOK);
  OfxRectD rod{};
  EXPECT_EQ(effects()->clipGetRegionOfDefinition(src, 4, &rod), kOfxStatOK);
  Image frame = ofxhost::make_image({0, 0, 4, 2}, kOfxBitDepthByte);
  ASSERT_EQ(instance_->render(3, frame), kOfxStatOK);
  EXPECT_EQ(asked, (std::vector<double>{29, 24, 23}));
  EXPECT_EQ(frame.pixel8(1, 1)[3], std::lround(pattern(1, 1, 3, 23) * 255));

  // Moved ranges follow, and switched off the times are the clip's own again.
  instance_->set_frame_range(10, 14);
  EXPECT_EQ(op->dbl(kOfxImageEffectPropFrameRange, 1), 4.0);
  instance_->count_time_from_in_point(false);
  EXPECT_EQ(op->dbl(kOfxImageEffectPropFrameRange, 0), 10.0);
  asked.clear();
  ASSERT_EQ(instance_->render(12, frame), kOfxStatOK);
  EXPECT_EQ(asked, (std::vector<double>{12}));
}

// The render-only mode: a fresh instance per frame with the saved values in
// place, and times from the in-point.
TEST_F(Render, RenderOnlyHostRendersFromTheInPointWithTheSavedValues) {
  ofxhost::RenderOnlyHost farm;
  farm.ints = {{"invert", 1}};
  farm.first = 100;
  farm.last = 109;
  std::vector<double> asked;
  farm.source = [&](double t) {
    asked.push_back(t);
    return std::optional<Image>(source_frame({0, 0, 3, 3}, kOfxBitDepthByte, false, 0, t));
  };
  for (int t : {0, 7}) {
    Image out = ofxhost::make_image({0, 0, 3, 3}, kOfxBitDepthByte);
    ASSERT_EQ(ofxhost::render_only(*plugin_, farm, t, out), kOfxStatOK);
    EXPECT_NEAR(value_at(out, 2, 1, 0), 1.f - pattern(2, 1, 0, 100 + t), 0.5f / 255);
  }
  EXPECT_EQ(asked, (std::vector<double>{100, 107}));
}

}  // namespace
