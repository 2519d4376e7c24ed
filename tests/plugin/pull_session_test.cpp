// Whole pulls through the plug-in's C interface against a scripted backend:
// what goes over the wire, what the user sees, what lands on disk, and the
// renders that follow.
#include <stb/stb_image.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "pull_fixture.h"

// Built into the Debian stb library; its header declares it only for the implementation.
extern "C" unsigned char* stbi_write_png_to_mem(const unsigned char* pixels, int stride_bytes, int x, int y,
                                                int n, int* out_len);

namespace testpull {
namespace {

constexpr int kW = 64;
constexpr int kH = 36;

// A grey matte whose every pixel names its frame, column and row.
unsigned char matte_value(int frame, int x, int y_from_top) {
  return static_cast<unsigned char>((frame * 7 + x * 3 + y_from_top) % 256);
}

std::string matte_png(int frame) {
  std::vector<unsigned char> grey(kW * kH);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      grey[y * kW + x] = matte_value(frame, x, y);
    }
  }
  int length = 0;
  unsigned char* png = stbi_write_png_to_mem(grey.data(), kW, kW, kH, 1, &length);
  std::string bytes(reinterpret_cast<char*>(png), static_cast<size_t>(length));
  std::free(png);
  return bytes;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> statuses(ofxhost::Instance& inst) { return inst.string_history("status"); }

using PullSession = PullTest;

TEST_F(PullSession, ThirtyFramesGoOverTheWireAsTheProtocolSays) {
  ScriptedBackend backend;
  backend.set([](ScriptedBackend::Script& s) {
    s.polls = {{200, R"({"status":"RUNNING","progress":{"stage":"tracking 3/30"}})"},
               {200, R"({"status":"RUNNING","progress":{}})"},
               {200, R"({"status":"RUNNING"})"},
               {200, R"({"status":"COMPLETED"})"}};
    s.matte = [](int i) { return Answer{200, matte_png(i), "image/png"}; };
  });
  set_clip(*instance_, 10.0, 30, kW, kH);
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("bbox_json", R"({"h":0.25,"w":0.5,"x":0.125,"y":0.3})");
  instance_->set_string("text_hint", "Zoë");

  EXPECT_EQ(pull(*instance_, 22.0), "ready: 30 frames matted");

  const std::vector<testnet::Recorded> seen = backend.requests();
  std::vector<std::string> expected = {"POST /api/matte/sessions"};
  for (int i = 0; i < 30; ++i) {
    expected.push_back("PUT /api/matte/sessions/sess-1/frames/" + std::to_string(i));
  }
  expected.push_back("POST /api/matte/sessions/sess-1/start");
  for (int i = 0; i < 4; ++i) {
    expected.push_back("GET /api/matte/sessions/sess-1");
  }
  for (int i = 0; i < 30; ++i) {
    expected.push_back("GET /api/matte/sessions/sess-1/alpha/" + std::to_string(i) + ".png");
  }
  std::vector<std::string> pulled;
  for (const std::string& line : backend.lines()) {
    if (line != "POST /api/beacon") {
      pulled.push_back(line);
    }
  }
  EXPECT_EQ(pulled, expected);

  for (const testnet::Recorded& r : seen) {
    EXPECT_EQ(r.header("User-Agent"), "CorvaneMattivo-OFX/1.1") << r.path;
    // One connection serves the whole session.
    EXPECT_EQ(r.remote_port, seen[0].remote_port) << r.method << " " << r.path;
  }
  auto find = [&](const std::string& method, const std::string& path) {
    for (const testnet::Recorded& r : seen) {
      if (r.method == method && r.path == path) {
        return r;
      }
    }
    ADD_FAILURE() << "no " << method << " " << path;
    return testnet::Recorded{};
  };
  const testnet::Recorded create = find("POST", "/api/matte/sessions");
  EXPECT_EQ(create.body, R"({"fps":24.0,"source":"plugin"})");
  EXPECT_EQ(create.header("Content-Type"), "application/json");
  EXPECT_EQ(create.header("Accept"), "application/json");

  const testnet::Recorded start = find("POST", "/api/matte/sessions/sess-1/start");
  EXPECT_EQ(start.body,
            R"({"anchor_frame":12,"bbox":{"h":0.25,"w":0.5,"x":0.125,"y":0.3},"edge_softness":0.35,)"
            R"("quality":"fine","strokes":[],"text_prompt":"Zoë"})");
  EXPECT_EQ(start.header("Content-Type"), "application/json");

  const testnet::Recorded upload = find("PUT", "/api/matte/sessions/sess-1/frames/7");
  EXPECT_EQ(upload.header("Content-Type"), "image/jpeg");
  EXPECT_FALSE(upload.has_header("Expect"));

  // Frame 7 arrives as a JPEG of the frame, top row first.
  const std::string jpeg = backend.frame(7);
  int w = 0, h = 0, n = 0;
  unsigned char* rgb = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(jpeg.data()),
                                             static_cast<int>(jpeg.size()), &w, &h, &n, 3);
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(w, kW);
  EXPECT_EQ(h, kH);
  for (int y : {0, kH / 2, kH - 1}) {
    for (int x : {0, kW / 2, kW - 1}) {
      unsigned char c[4];
      source_colour(7, x, y, kW, kH, c);
      const unsigned char* p = rgb + (y * kW + x) * 3;
      for (int k = 0; k < 3; ++k) {
        EXPECT_NEAR(p[k], c[k], 12) << "x " << x << " y " << y << " channel " << k;
      }
    }
  }
  stbi_image_free(rgb);

  EXPECT_EQ(statuses(*instance_),
            (std::vector<std::string>{"grabbing 30 frames...", "uploading 1/30", "uploading 25/30",
                                      "tracking: tracking 3/30", "tracking: ...", "downloading matte 1/30",
                                      "downloading matte 25/30", "ready: 30 frames matted"}));
  EXPECT_EQ(instance_->get_string("session_id"), "sess-1");
  EXPECT_EQ(instance_->get_string("clip_start"), "10.000000");
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: alpha ready for 30 frames."});

  // Frames are kept for a correction round; every matte is on disk as served.
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 30, ".jpg"));
  EXPECT_EQ(files_in(root() + "sess-1"), numbered(0, 30, ".png"));
  EXPECT_EQ(read_all(root() + "sess-1/000029.png"), matte_png(29));

  // Renders of every frame now show that frame's matte.
  instance_->set_int("output_mode", 1);
  for (int i = 0; i < 30; ++i) {
    ofxhost::Image out = ofxhost::make_image({0, 0, kW, kH}, kOfxBitDepthByte);
    ASSERT_EQ(instance_->render(10.0 + i, out), kOfxStatOK);
    int wrong = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const unsigned char m = matte_value(i, x, kH - 1 - y);
        const unsigned char* p = out.pixel8(x, y);
        wrong += p[0] != m || p[1] != m || p[2] != m || p[3] != 255;
      }
    }
    EXPECT_EQ(wrong, 0) << "frame " << i;
  }
}

TEST_F(PullSession, OneFramePullHasNoSingularWording) {
  ScriptedBackend backend;
  instance_->set_source([](double t) -> std::optional<ofxhost::Image> { return source_frame(int(t), 8, 6); });
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_), "ready: 1 frames matted");
  EXPECT_EQ(statuses(*instance_),
            (std::vector<std::string>{"grabbing 1 frames...", "uploading 1/1", "downloading matte 1/1",
                                      "ready: 1 frames matted"}));
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: alpha ready for 1 frames."});
  // No frame range from the host: one frame at time 0, at 25 frames a second.
  EXPECT_EQ(backend.requests()[0].body, R"({"fps":25.0,"source":"plugin"})");
  EXPECT_EQ(instance_->get_string("clip_start"), "0.000000");
  EXPECT_EQ(files_in(root() + "sess-1"), numbered(0, 1, ".png"));
}

TEST_F(PullSession, PollsThatAreNotJsonObjectsAreSkipped) {
  ScriptedBackend backend;
  backend.set([](ScriptedBackend::Script& s) {
    s.polls = {{502, "<html>Bad gateway</html>", "text/html"},
               {200, "<html>maintenance</html>", "text/html"},
               {200, R"(["COMPLETED"])"},
               {200, R"({"status":"RUNNING","progress":"half"})"},
               {404, R"({"status":"COMPLETED"})"},
               {200, R"({"status":"COMPLETED"})"}};
  });
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");
  size_t polls = 0;
  for (const std::string& line : backend.lines()) {
    polls += line == "GET /api/matte/sessions/sess-1";
  }
  EXPECT_EQ(polls, 6u);
  // None of the skipped answers wrote a tracking text.
  for (const std::string& status : statuses(*instance_)) {
    EXPECT_EQ(status.rfind("tracking", 0), std::string::npos) << status;
  }
}

TEST_F(PullSession, UploadAcceptedAtTheThirdAttemptLeavesNoTrace) {
  ScriptedBackend backend;
  backend.set([](ScriptedBackend::Script& s) {
    s.upload = [](int index, int attempt) { return index == 1 && attempt < 3 ? 503 : 200; };
  });
  set_clip(*instance_, 0.0, 3);
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_), "ready: 3 frames matted");
  EXPECT_EQ(backend.attempts(0), 1);
  EXPECT_EQ(backend.attempts(1), 3);
  EXPECT_EQ(backend.attempts(2), 1);
  EXPECT_EQ(statuses(*instance_),
            (std::vector<std::string>{"grabbing 3 frames...", "uploading 1/3", "downloading matte 1/3",
                                      "ready: 3 frames matted"}));
}

// A host that counts times from the clip's in-point: the pull grabs the
// clip's own frames and anchors on the one shown; after the clip is trimmed,
// a render-only host of that kind still finds each frame's own matte.
TEST_F(PullSession, TrimmedClipCountedFromItsInPointKeepsEveryFrameOnItsMatte) {
  ScriptedBackend backend;
  backend.set([](ScriptedBackend::Script& s) {
    s.matte = [](int i) { return Answer{200, matte_png(i), "image/png"}; };
  });
  set_clip(*instance_, 40.0, 12, kW, kH);
  instance_->count_time_from_in_point();
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_, 3.0), "ready: 12 frames matted");
  EXPECT_EQ(instance_->get_string("clip_start"), "40.000000");
  bool anchored = false;
  for (const testnet::Recorded& r : backend.requests()) {
    if (r.path == "/api/matte/sessions/sess-1/start") {
      anchored = r.body.find(R"("anchor_frame":3,)") != std::string::npos;
    }
  }
  EXPECT_TRUE(anchored) << "the frame shown at time 3 is matte 3";
  // Upload 7 is the clip's frame 47, the eighth of the grab.
  const std::string jpeg = backend.frame(7);
  int w = 0, h = 0, n = 0;
  unsigned char* rgb = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(jpeg.data()),
                                             static_cast<int>(jpeg.size()), &w, &h, &n, 3);
  ASSERT_NE(rgb, nullptr);
  unsigned char expected[4];
  source_colour(7, 0, 0, kW, kH, expected);
  EXPECT_NEAR(rgb[2], expected[2], 12);
  stbi_image_free(rgb);

  // Trimmed to the clip's frames 44 to 49 and rendered frame by frame.
  ofxhost::RenderOnlyHost farm;
  farm.strings = {{"backend_url", ""},
                  {"session_id", instance_->get_string("session_id")},
                  {"clip_start", instance_->get_string("clip_start")}};
  farm.ints = {{"output_mode", 1}};
  farm.first = 44;
  farm.last = 49;
  farm.source = [](double t) { return std::optional<ofxhost::Image>(source_frame(int(t) - 40, kW, kH)); };
  instance_.reset();
  for (int t = 0; t < 6; ++t) {
    ofxhost::Image out = ofxhost::make_image({0, 0, kW, kH}, kOfxBitDepthByte);
    ASSERT_EQ(ofxhost::render_only(*plugin_, farm, t, out), kOfxStatOK);
    int wrong = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        const unsigned char m = matte_value(4 + t, x, kH - 1 - y);
        const unsigned char* p = out.pixel8(x, y);
        wrong += p[0] != m || p[3] != 255;
      }
    }
    EXPECT_EQ(wrong, 0) << "time " << t << " is the clip's frame " << 44 + t;
  }
}

TEST_F(PullSession, ASecondPullKeepsTheFirstSessionOnDisk) {
  ScriptedBackend backend;
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");

  // A backend that keeps no frames refuses to start sess-1 again: a new session it is.
  backend.set([](ScriptedBackend::Script& s) {
    s.create = {201, R"({"session_id":"sess-2"})"};
    s.start_of["sess-1"] = {409, "session already started"};
  });
  instance_->set_string("status", "idle");
  ASSERT_TRUE(press_when_idle(*instance_));
  EXPECT_EQ(wait_for_end(*instance_), "ready: 2 frames matted");
  EXPECT_EQ(instance_->get_string("session_id"), "sess-2");
  EXPECT_EQ(files_in(root() + "sess-1"), numbered(0, 2, ".png"));
  EXPECT_EQ(files_in(root() + "sess-2"), numbered(0, 2, ".png"));
  // The frames were grabbed once and kept: the new session got them from there.
  EXPECT_EQ(upload_dirs().size(), 1u);
}

}  // namespace
}  // namespace testpull
