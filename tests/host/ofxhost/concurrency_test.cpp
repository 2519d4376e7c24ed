// Renders on many threads at once while other threads write parameters, post
// messages and drive the overlay: results stay per thread and nothing races.
#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "probe.h"

namespace {

using ofxhost::Image;
using Concurrency = probe::ProbeTest;

const OfxParameterSuiteV1* params() { return probe::suite<OfxParameterSuiteV1>(kOfxParameterSuite); }

// Each frame time gets its own source colour, so a render that received
// another thread's image would be caught.
Image frame_for(double time) {
  Image img = ofxhost::make_image({0, 0, 32, 24}, kOfxBitDepthByte, true);
  const auto v = static_cast<unsigned char>(static_cast<int>(time) * 3 % 256);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) {
      unsigned char* p = img.pixel8(x, y);
      p[0] = v;
      p[1] = static_cast<unsigned char>(x);
      p[2] = static_cast<unsigned char>(y);
      p[3] = 255;
    }
  return img;
}

TEST_F(Concurrency, RendersOnEightThreadsWhileParametersChange) {
  plugin_->clear_messages();
  instance_->set_int("invert", 1);
  instance_->set_source([](double t) { return std::optional<Image>(frame_for(t)); });
  OfxParamSetHandle set = nullptr;
  probe::suite<OfxImageEffectSuiteV1>(kOfxImageEffectSuite)->getParamSet(instance_->handle(), &set);
  OfxParamHandle note = nullptr;
  ASSERT_EQ(params()->paramGetHandle(set, "note", &note, nullptr), kOfxStatOK);

  constexpr int kThreads = 8, kFrames = 12, kWrites = 200;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int f = 0; f < kFrames; ++f) {
        const double time = t * kFrames + f;
        const bool floating = (t + f) % 2 == 1;
        Image out =
            ofxhost::make_image({0, 0, 32, 24}, floating ? kOfxBitDepthFloat : kOfxBitDepthByte, f % 3 == 0);
        if (instance_->render(time, out) != kOfxStatOK) ++failures;
        const int v = static_cast<int>(time) * 3 % 256;
        if (floating) {
          if (std::abs(out.pixelf(5, 7)[0] - (1.f - v / 255.f)) > 1e-6f) ++failures;
        } else if (out.pixel8(5, 7)[0] != 255 - v || out.pixel8(31, 23)[1] != 255 - 31) {
          ++failures;
        }
      }
    });
  }
  // A plug-in thread writing and reading a string parameter through the suite.
  threads.emplace_back([&] {
    for (int i = 0; i < kWrites; ++i) {
      params()->paramSetValue(note, ("plug-in " + std::to_string(i)).c_str());
      const char* text = nullptr;
      params()->paramGetValue(note, &text);
      // Whoever wrote last, the text read is one whole value.
      const std::string got = text ? text : "";
      if (got.rfind("plug-in ", 0) != 0 && got.rfind("host ", 0) != 0) ++failures;
    }
  });
  // The host side writing the same and other parameters.
  threads.emplace_back([&] {
    for (int i = 0; i < kWrites; ++i) {
      instance_->set_string("note", "host " + std::to_string(i));
      instance_->set_int("count", i);
      (void)instance_->get_string("note");
    }
  });
  // Buttons whose workers write "status" and post messages from their own threads.
  threads.emplace_back([&] {
    for (int i = 0; i < 5; ++i) instance_->press("go");
  });
  // Two viewers' overlays fed from two threads.
  auto a = instance_->new_interact();
  auto b = instance_->new_interact();
  for (ofxhost::Interact* it : {a.get(), b.get()}) {
    threads.emplace_back([it] {
      ofxhost::PenEvent e;
      for (int i = 0; i < 50; ++i) {
        e.x = i;
        it->pen_down(e);
        it->pen_up(e);
      }
    });
  }
  for (auto& th : threads) th.join();

  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(instance_->outstanding_images(), 0);
  EXPECT_EQ(instance_->string_history("note").size(), static_cast<size_t>(2 * kWrites));
  EXPECT_EQ(instance_->string_history("stroke").size(), 200u);
  EXPECT_EQ(instance_->get_int("count"), kWrites - 1);
  a.reset();
  b.reset();
  instance_.reset();  // joins the last button worker
  size_t done = 0;
  for (const auto& m : plugin_->messages()) done += m.text == "probe: 100% done";
  EXPECT_EQ(done, 5u);
}

TEST_F(Concurrency, InstancesComeAndGoWhileAPlugInThreadWrites) {
  // A plug-in thread that outlives its instance must meet refusals, not freed memory.
  for (int round = 0; round < 20; ++round) {
    auto inst = plugin_->create_instance();
    ASSERT_NE(inst, nullptr);
    OfxParamSetHandle set = nullptr;
    probe::suite<OfxImageEffectSuiteV1>(kOfxImageEffectSuite)->getParamSet(inst->handle(), &set);
    OfxParamHandle note = nullptr;
    ASSERT_EQ(params()->paramGetHandle(set, "note", &note, nullptr), kOfxStatOK);
    std::atomic<bool> started{false};
    std::thread writer([&] {
      started = true;
      for (int i = 0; i < 200; ++i) params()->paramSetValue(note, "late");
    });
    while (!started) std::this_thread::yield();
    inst.reset();
    writer.join();
    EXPECT_EQ(params()->paramSetValue(note, "after"), kOfxStatErrBadHandle);
  }
}

}  // namespace
