// Render through the headless host, with matte files written where a pull
// would leave them: modes, bounds, row order, the time-to-index rule, the
// matte cache, faults, and concurrent renders.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <thread>

#include "plugin_testing.h"
#include "testing/png_testing.h"

namespace {

using ofxhost::Image;
using ofxhost::make_image;

class PluginRender : public plugin_testing::PluginSuite {
 protected:
  void SetUp() override {
    PluginSuite::SetUp();
    mkdir(root().c_str(), 0700);
  }

  static std::string matte_path(const std::string& session, int index) {
    char name[32];
    std::snprintf(name, sizeof name, "%06d.png", index);
    return root() + session + "/" + name;
  }
  static void write_matte(const std::string& session, int index, int w, int h,
                          const std::vector<unsigned char>& values) {
    mkdir((root() + session).c_str(), 0700);
    ASSERT_TRUE(testing_png::write_png(matte_path(session, index), w, h, 1, values));
  }
  static void write_flat_matte(const std::string& session, int index, unsigned char value) {
    write_matte(session, index, 3, 2, std::vector<unsigned char>(6, value));
  }

  // An instance showing `session`, whose source is `source` at every time.
  std::unique_ptr<ofxhost::Instance> showing(const std::string& session, const Image& source,
                                             const std::string& clip_start = "0") {
    auto inst = instance();
    if (inst) {
      inst->set_source([source](double) { return std::optional<Image>(source); });
      inst->set_string("session_id", session);
      inst->set_string("clip_start", clip_start);
      inst->set_pixel_depth(source.depth);
    }
    return inst;
  }
};

Image flat_source(OfxRectI bounds, std::array<unsigned char, 4> pixel, bool top_down = false) {
  Image image = make_image(bounds, kOfxBitDepthByte, top_down);
  for (int y = bounds.y1; y < bounds.y2; ++y) {
    for (int x = bounds.x1; x < bounds.x2; ++x) {
      std::memcpy(image.pixel8(x, y), pixel.data(), 4);
    }
  }
  return image;
}

std::array<int, 4> px(Image& image, int x, int y) {
  const unsigned char* p = image.pixel8(x, y);
  return {p[0], p[1], p[2], p[3]};
}

using Px = std::array<int, 4>;

// Alpha of the output's first pixel after rendering at `time`.
int alpha_at(ofxhost::Instance& inst, double time) {
  Image out = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
  EXPECT_EQ(inst.render(time, out), kOfxStatOK);
  return out.pixel8(0, 0)[3];
}

TEST_F(PluginRender, ModesOnHandComputedPixels) {
  write_flat_matte("hand", 0, 128);
  auto inst = showing("hand", flat_source({0, 0, 2, 2}, {200, 100, 50, 255}));
  ASSERT_TRUE(inst);
  const Px expected[] = {{100, 50, 25, 128}, {128, 128, 128, 255}, {200, 100, 50, 255}};
  for (int mode : {0, 1, 2}) {
    inst->set_int("output_mode", mode);
    Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
    ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
    EXPECT_EQ(px(out, 1, 1), expected[mode]) << "mode " << mode;
  }
  // No session: the source whatever the mode.
  inst->set_string("session_id", "");
  inst->set_int("output_mode", 1);
  Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
  ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
  EXPECT_EQ(px(out, 0, 0), (Px{200, 100, 50, 255}));
  EXPECT_EQ(inst->outstanding_images(), 0);
}

// A project saved before "Cancel pull" was added carries values for the
// sixteen parameters it knew of: it opens with them all and renders its matte.
TEST_F(PluginRender, ProjectSavedBeforeTheCancelButtonLoadsAndRenders) {
  write_flat_matte("saved", 3, 64);
  const std::map<std::string, std::string> saved = {
      {"backend_url", ""},
      {"text_hint", "the dancer"},
      {"status", "ready: 4 frames matted"},
      {"bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})"},
      {"brush_json", "[]"},
      {"session_id", "saved"},
      {"clip_start", "10.000000"},
  };
  OfxStatus status = -1;
  auto inst = plugin().create_instance(&status, saved);
  ASSERT_TRUE(inst);
  EXPECT_EQ(status, kOfxStatOK);
  for (const auto& [name, value] : saved) {
    EXPECT_EQ(inst->get_string(name), value) << name;
  }
  const Image source = flat_source({0, 0, 2, 2}, {200, 100, 50, 255});
  inst->set_source([source](double) { return std::optional<Image>(source); });
  inst->set_int("output_mode", 1);
  Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
  ASSERT_EQ(inst->render(13.0, out), kOfxStatOK);
  EXPECT_EQ(px(out, 0, 0), (Px{64, 64, 64, 255}));
  // The new button does nothing to an instance with no pull running.
  EXPECT_EQ(inst->press("cancel_pull"), kOfxStatOK);
  EXPECT_EQ(inst->get_string("status"), "ready: 4 frames matted");
  EXPECT_EQ(inst->get_string("session_id"), "saved");
}

// A host that takes the output as unpremultiplied gets straight colour with
// the matte as alpha; "Matte only" and the bypass are the same either way.
TEST_F(PluginRender, StraightColourWhenTheHostForcesUnpremultipliedOutput) {
  write_flat_matte("straight", 0, 128);
  auto inst = showing("straight", flat_source({0, 0, 2, 2}, {200, 100, 50, 255}));
  ASSERT_TRUE(inst);
  inst->force_output_premultiplication(kOfxImageUnPreMultiplied);
  const Px expected[] = {{200, 100, 50, 128}, {128, 128, 128, 255}, {200, 100, 50, 255}};
  for (int mode : {0, 1, 2}) {
    inst->set_int("output_mode", mode);
    Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
    ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
    EXPECT_EQ(px(out, 1, 1), expected[mode]) << "mode " << mode;
  }
  inst->force_output_premultiplication(kOfxImagePreMultiplied);
  inst->set_int("output_mode", 0);
  Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
  ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
  EXPECT_EQ(px(out, 1, 1), (Px{100, 50, 25, 128}));
}

TEST_F(PluginRender, BypassOpensNoMatte) {
  // Garbage where the matte would be: bypass must not care, and must not cache it.
  mkdir((root() + "bypass").c_str(), 0700);
  testing_png::write_bytes(matte_path("bypass", 0), {1, 2, 3});
  auto inst = showing("bypass", flat_source({0, 0, 1, 1}, {9, 8, 7, 6}));
  inst->set_int("output_mode", 2);
  Image out = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
  ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
  EXPECT_EQ(px(out, 0, 0), (Px{9, 8, 7, 6}));
}

TEST_F(PluginRender, OutputLargerThanTheSource) {
  write_flat_matte("larger", 0, 128);
  auto inst = showing("larger", flat_source({0, 0, 2, 2}, {200, 100, 50, 255}));
  for (int mode : {0, 1}) {
    inst->set_int("output_mode", mode);
    Image out = make_image({-1, -1, 3, 3}, kOfxBitDepthByte);
    ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
    EXPECT_EQ(px(out, -1, -1), (mode == 0 ? Px{0, 0, 0, 128} : Px{128, 128, 128, 255}));
    EXPECT_EQ(px(out, 2, 0), (mode == 0 ? Px{0, 0, 0, 128} : Px{128, 128, 128, 255}));
    EXPECT_EQ(px(out, 0, 1), (mode == 0 ? Px{100, 50, 25, 128} : Px{128, 128, 128, 255}));
  }
  inst->set_string("session_id", "");
  Image out = make_image({-1, -1, 3, 3}, kOfxBitDepthByte);
  ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
  EXPECT_EQ(px(out, -1, 0), (Px{0, 0, 0, 0}));
  EXPECT_EQ(px(out, 1, 2), (Px{0, 0, 0, 0}));
  EXPECT_EQ(px(out, 1, 1), (Px{200, 100, 50, 255}));
}

TEST_F(PluginRender, MatteRowsMapTopToTopWhateverTheRowOrder) {
  write_matte("rows", 0, 2, 2, {10, 20, 30, 40});  // top row 10 20, bottom row 30 40
  const int expected[4][4] = {{30, 30, 40, 40}, {30, 30, 40, 40}, {10, 10, 20, 20}, {10, 10, 20, 20}};
  for (bool top_down : {false, true}) {
    auto inst = showing("rows", flat_source({0, 0, 4, 4}, {255, 255, 255, 255}, top_down));
    Image out = make_image({0, 0, 4, 4}, kOfxBitDepthByte, top_down, top_down ? 8 : 0);
    ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
    for (int y = 0; y < 4; ++y) {
      for (int x = 0; x < 4; ++x) {
        EXPECT_EQ(px(out, x, y), (Px{expected[y][x], expected[y][x], expected[y][x], expected[y][x]}))
            << x << "," << y << " top_down " << top_down;
      }
    }
  }
}

TEST_F(PluginRender, FloatChannelsAreNeitherClampedNorRounded) {
  write_flat_matte("float", 0, 255);
  write_flat_matte("float", 1, 51);
  Image source = make_image({0, 0, 1, 1}, kOfxBitDepthFloat);
  const float pixel[4] = {1.5f, -0.25f, 0.3f, 0.5f};
  std::memcpy(source.pixelf(0, 0), pixel, sizeof pixel);
  auto inst = showing("float", source);
  Image out = make_image({0, 0, 1, 1}, kOfxBitDepthFloat);
  ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
  EXPECT_EQ(out.pixelf(0, 0)[0], 1.5f);
  EXPECT_EQ(out.pixelf(0, 0)[1], -0.25f);
  EXPECT_EQ(out.pixelf(0, 0)[3], 1.0f);
  ASSERT_EQ(inst->render(1.0, out), kOfxStatOK);
  EXPECT_EQ(out.pixelf(0, 0)[0], 1.5f * (51 / 255.0f));
  EXPECT_EQ(out.pixelf(0, 0)[3], 51 / 255.0f);
  inst->set_int("output_mode", 1);
  ASSERT_EQ(inst->render(1.0, out), kOfxStatOK);
  EXPECT_EQ(out.pixelf(0, 0)[2], 51 / 255.0f);
  EXPECT_EQ(out.pixelf(0, 0)[3], 1.0f);
}

TEST_F(PluginRender, TimeRoundsToTheNearestMatteIndex) {
  write_flat_matte("index", 0, 5);
  write_flat_matte("index", 2, 20);
  write_flat_matte("index", 3, 30);
  auto inst = showing("index", flat_source({0, 0, 1, 1}, {255, 255, 255, 255}), "10.000000");
  EXPECT_EQ(alpha_at(*inst, 12.5), 30);
  EXPECT_EQ(alpha_at(*inst, 12.4), 20);
  EXPECT_EQ(alpha_at(*inst, 11.5), 20);
  EXPECT_EQ(alpha_at(*inst, 9.6), 5) << "-0.4 rounds to index 0";
  EXPECT_EQ(alpha_at(*inst, 9.5), 255) << "-0.5 rounds to -1: no matte";
  EXPECT_EQ(alpha_at(*inst, 9.0), 255);
  EXPECT_EQ(alpha_at(*inst, 14.0), 255) << "no file for index 4";
}

// A clip pulled over its frames 0 to 29, then trimmed to 10 to 24. A host
// that counts render times from the in-point and rebuilds the effect for
// every frame (RenderOnlyHost) gets each frame's own matte, as straight
// colour since it takes the output as unpremultiplied; a host that renders at
// the clip's own numbers gets the same mattes; frames past the pulled range
// show the source.
TEST_F(PluginRender, TrimmedClipReadsEachFramesOwnMatte) {
  for (int i = 0; i < 30; ++i) {
    write_flat_matte("trim", i, static_cast<unsigned char>(100 + i));
  }
  const Image source = flat_source({0, 0, 2, 2}, {200, 100, 50, 255});
  ofxhost::RenderOnlyHost farm;
  farm.strings = {{"backend_url", ""}, {"session_id", "trim"}, {"clip_start", "0.000000"}};
  farm.source = [source](double) { return std::optional<Image>(source); };
  farm.first = 10;
  farm.last = 24;
  for (int t : {0, 1, 7, 14}) {
    Image out = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
    ASSERT_EQ(ofxhost::render_only(plugin(), farm, t, out), kOfxStatOK);
    EXPECT_EQ(px(out, 1, 0), (Px{200, 100, 50, 110 + t})) << "time " << t;
  }
  // The clip lengthened past the pulled frames: those show the source.
  farm.first = 20;
  farm.last = 34;
  Image past = make_image({0, 0, 2, 2}, kOfxBitDepthByte);
  ASSERT_EQ(ofxhost::render_only(plugin(), farm, 12, past), kOfxStatOK);
  EXPECT_EQ(px(past, 0, 0), (Px{200, 100, 50, 255}));

  // The same trim where times are the clip's own frame numbers, as before.
  auto inst = showing("trim", source, "0.000000");
  inst->set_frame_range(10, 24);
  EXPECT_EQ(alpha_at(*inst, 17), 117);
}

TEST_F(PluginRender, LargeIndexesKeepAllTheirDigits) {
  write_flat_matte("digits", 1234567, 77);
  auto inst = showing("digits", flat_source({0, 0, 1, 1}, {255, 255, 255, 255}), "1");
  EXPECT_EQ(alpha_at(*inst, 1234568.0), 77);
}

TEST_F(PluginRender, CacheKeepsTheEightMostRecentlyDecoded) {
  for (int i = 0; i < 9; ++i) {
    write_flat_matte("cache", i, static_cast<unsigned char>(10 + i));
  }
  auto inst = showing("cache", flat_source({0, 0, 1, 1}, {255, 255, 255, 255}));
  // Decode 0, then 1..7 with a hit on 0 after each: hits do not refresh it.
  EXPECT_EQ(alpha_at(*inst, 0), 10);
  for (int i = 1; i < 8; ++i) {
    EXPECT_EQ(alpha_at(*inst, i), 10 + i);
    EXPECT_EQ(alpha_at(*inst, 0), 10);
  }
  EXPECT_EQ(alpha_at(*inst, 8), 18);  // the ninth decode evicts the first
  for (int i = 0; i < 9; ++i) {
    ASSERT_EQ(unlink(matte_path("cache", i).c_str()), 0);
  }
  EXPECT_EQ(alpha_at(*inst, 0), 255) << "evicted, and its file is gone";
  for (int i = 1; i < 9; ++i) {
    EXPECT_EQ(alpha_at(*inst, i), 10 + i) << "still cached: " << i;
  }
}

TEST_F(PluginRender, UnreadableMattesPassTheSourceAndAreRetried) {
  mkdir((root() + "broken").c_str(), 0700);
  testing_png::write_bytes(matte_path("broken", 0), {});
  testing_png::write_bytes(matte_path("broken", 1), std::vector<unsigned char>(100, 0x42));
  auto inst = showing("broken", flat_source({0, 0, 1, 1}, {1, 2, 3, 4}));
  for (double t : {0.0, 1.0, 2.0}) {  // empty, garbage, missing
    Image out = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
    ASSERT_EQ(inst->render(t, out), kOfxStatOK);
    EXPECT_EQ(px(out, 0, 0), (Px{1, 2, 3, 4})) << t;
  }
  write_flat_matte("broken", 1, 90);  // written later: found on the next render
  EXPECT_EQ(alpha_at(*inst, 1.0), 90);
}

TEST_F(PluginRender, SessionIdsNeverLeaveTheWorkingRoot) {
  // A matte planted next to the working root, reachable through "..".
  const std::string outside = tmp() + "/escape";
  mkdir(outside.c_str(), 0700);
  ASSERT_TRUE(testing_png::write_png(outside + "/000000.png", 1, 1, 1, {50}));
  for (const char* session : {"../escape", "..", ".", "a/b", "/abs", "x\\y"}) {
    auto inst = showing(session, flat_source({0, 0, 1, 1}, {1, 2, 3, 4}));
    Image out = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
    ASSERT_EQ(inst->render(0.0, out), kOfxStatOK);
    EXPECT_EQ(px(out, 0, 0), (Px{1, 2, 3, 4})) << session;
  }
}

TEST_F(PluginRender, LinkedWorkingRootIsNotRead) {
  write_flat_matte("linked", 0, 66);
  const std::string real = tmp() + "/real_root";
  ASSERT_EQ(rename(root().substr(0, root().size() - 1).c_str(), real.c_str()), 0);
  ASSERT_EQ(symlink(real.c_str(), root().substr(0, root().size() - 1).c_str()), 0);
  auto inst = showing("linked", flat_source({0, 0, 1, 1}, {255, 255, 255, 255}));
  EXPECT_EQ(alpha_at(*inst, 0), 255);
  ASSERT_EQ(unlink(root().substr(0, root().size() - 1).c_str()), 0);
  ASSERT_EQ(rename(real.c_str(), root().substr(0, root().size() - 1).c_str()), 0);
  EXPECT_EQ(alpha_at(*inst, 0), 66);
}

TEST_F(PluginRender, MissingImagesOrPixelsFailTheRender) {
  auto inst = showing("", flat_source({0, 0, 1, 1}, {1, 2, 3, 4}));
  Image out = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
  out.null_data = true;
  EXPECT_EQ(inst->render(0.0, out), kOfxStatFailed);
  EXPECT_EQ(inst->outstanding_images(), 0) << "both images released";

  Image null_source = flat_source({0, 0, 1, 1}, {1, 2, 3, 4});
  null_source.null_data = true;
  inst->set_source([null_source](double) { return std::optional<Image>(null_source); });
  Image out2 = make_image({0, 0, 1, 1}, kOfxBitDepthByte);
  EXPECT_EQ(inst->render(0.0, out2), kOfxStatFailed);
  EXPECT_EQ(inst->outstanding_images(), 0);

  inst->set_source([](double) { return std::optional<Image>(); });
  EXPECT_EQ(inst->render(0.0, out2), kOfxStatFailed);
  EXPECT_EQ(inst->outstanding_images(), 0);
}

TEST_F(PluginRender, SourceOfAnotherDepthIsRefused) {
  // Reading a byte source as float would run far past its rows.
  auto inst = showing("", flat_source({0, 0, 8, 8}, {1, 2, 3, 4}));
  inst->set_pixel_depth(kOfxBitDepthFloat);
  Image out = make_image({0, 0, 8, 8}, kOfxBitDepthFloat);
  EXPECT_EQ(inst->render(0.0, out), kOfxStatFailed);
  EXPECT_EQ(inst->outstanding_images(), 0);
}

// The render formulas one pixel at a time, on host images.
void reference(Image& src, Image& out, const std::vector<unsigned char>* matte, int mw, int mh, int mode) {
  const bool f = out.depth == kOfxBitDepthFloat;
  const int W = out.width(), H = out.height();
  for (int y = out.bounds.y1; y < out.bounds.y2; ++y) {
    for (int x = out.bounds.x1; x < out.bounds.x2; ++x) {
      float p[4] = {0, 0, 0, 0};
      if (x >= src.bounds.x1 && x < src.bounds.x2 && y >= src.bounds.y1 && y < src.bounds.y2) {
        for (int c = 0; c < 4; ++c) {
          p[c] = f ? src.pixelf(x, y)[c] : static_cast<float>(src.pixel8(x, y)[c] / 255.0);
        }
      }
      if (matte && mode != 2) {
        const int r = std::clamp(
            static_cast<int>(static_cast<double>((H - 1) - (y - out.bounds.y1)) * mh / H), 0, mh - 1);
        const int c =
            std::clamp(static_cast<int>(static_cast<double>(x - out.bounds.x1) * mw / W), 0, mw - 1);
        const float m = (*matte)[r * mw + c] / 255.0f;
        if (mode == 1) {
          p[0] = p[1] = p[2] = m;
          p[3] = 1.0f;
        } else {
          p[0] *= m, p[1] *= m, p[2] *= m, p[3] = m;
        }
      }
      for (int c = 0; c < 4; ++c) {
        if (f) {
          out.pixelf(x, y)[c] = p[c];
        } else {
          out.pixel8(x, y)[c] = p[c] < 0 ? 0
                                : p[c] > 1.0f
                                    ? 255
                                    : static_cast<unsigned char>(static_cast<int>(p[c] * 255.0f + 0.5f));
        }
      }
    }
  }
}

TEST_F(PluginRender, RandomFramesMatchTheFormulas) {
  std::mt19937 rng(7);
  auto pick = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto inst = instance();
  ASSERT_TRUE(inst);
  for (int round = 0; round < 40; ++round) {
    const std::string session = "random" + std::to_string(round);
    const int mw = pick(1, 50), mh = pick(1, 50);
    std::vector<unsigned char> values(static_cast<size_t>(mw) * mh);
    for (auto& v : values) v = static_cast<unsigned char>(rng());
    write_matte(session, 0, mw, mh, values);
    const char* depth = round % 2 ? kOfxBitDepthFloat : kOfxBitDepthByte;
    const int sx = pick(-10, 10), sy = pick(-10, 10);
    Image src = make_image({sx, sy, sx + pick(1, 40), sy + pick(1, 30)}, depth, pick(0, 1), pick(0, 2) * 16);
    for (int y = src.bounds.y1; y < src.bounds.y2; ++y) {
      for (int x = src.bounds.x1; x < src.bounds.x2; ++x) {
        for (int c = 0; c < 4; ++c) {
          if (round % 2) {
            src.pixelf(x, y)[c] = std::uniform_real_distribution<float>(-1.0f, 2.0f)(rng);
          } else {
            src.pixel8(x, y)[c] = static_cast<unsigned char>(rng());
          }
        }
      }
    }
    inst->set_source([src](double) { return std::optional<Image>(src); });
    inst->set_string("session_id", session);
    inst->set_pixel_depth(depth);
    const int mode = pick(0, 2);
    inst->set_int("output_mode", mode);
    const int ox = pick(-12, 12), oy = pick(-12, 12);
    const OfxRectI ob{ox, oy, ox + pick(1, 45), oy + pick(1, 35)};
    const bool top_down = pick(0, 1);
    Image fast = make_image(ob, depth, top_down);
    Image slow = make_image(ob, depth, top_down);
    ASSERT_EQ(inst->render(0.0, fast), kOfxStatOK);
    reference(src, slow, &values, mw, mh, mode);
    for (int y = ob.y1; y < ob.y2; ++y) {
      for (int x = ob.x1; x < ob.x2; ++x) {
        const size_t n = round % 2 ? 16 : 4;
        const void* a = round % 2 ? static_cast<void*>(fast.pixelf(x, y)) : fast.pixel8(x, y);
        const void* b = round % 2 ? static_cast<void*>(slow.pixelf(x, y)) : slow.pixel8(x, y);
        ASSERT_EQ(std::memcmp(a, b, n), 0) << "round " << round << " at " << x << "," << y;
      }
    }
  }
}

TEST_F(PluginRender, ConcurrentRendersOfDifferentFrames) {
  const int frames = 24;
  for (int i = 0; i < frames; ++i) {
    write_matte("threads", i, 16, 9,
                std::vector<unsigned char>(16 * 9, static_cast<unsigned char>(5 + 10 * i)));
  }
  auto inst = showing("threads", flat_source({0, 0, 32, 18}, {200, 100, 50, 255}));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int k = 0; k < 3 * frames; ++k) {
        const int frame = (t * 5 + k) % frames;
        Image out = make_image({0, 0, 32, 18}, kOfxBitDepthByte);
        if (inst->render(frame, out) != kOfxStatOK) {
          ++wrong;
          continue;
        }
        const int m = 5 + 10 * frame;
        const unsigned char* p = out.pixel8(31, 17);
        if (p[3] != m || p[0] != (200 * m + 127) / 255) {
          ++wrong;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(inst->outstanding_images(), 0);
}

}  // namespace
