// The launcher's side of a pull, on the host's thread: its checks, the grab
// of every frame into the upload folder, and every way a launch can stop.
#include <signal.h>
#include <stb/stb_image.h>
#include <sys/resource.h>

#include <fstream>
#include <iterator>
#include <mutex>

#include "pull_fixture.h"

namespace testpull {
namespace {

using Script = ScriptedBackend::Script;
using PullLaunch = PullTest;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files may grow to `bytes` at most while it lives; writes beyond fail
// (EFBIG) instead of raising SIGXFSZ.
struct FileSizeLimit {
  rlimit saved{};
  explicit FileSizeLimit(rlim_t bytes) {
    ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
};

TEST_F(PullLaunch, BackendUrlMustBeginWithHttp) {
  ScriptedBackend backend;
  set_clip(*instance_, 0.0, 2);
  for (const char* url : {"", "ftp://127.0.0.1/", " http://127.0.0.1/", "HTTP://127.0.0.1/", "htt"}) {
    SCOPED_TRACE(url);
    plugin_->clear_messages();
    instance_->set_string("backend_url", url);
    EXPECT_EQ(instance_->press("pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: paste your Backend URL first."});
  }
  EXPECT_EQ(instance_->string_history("status"), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(root()));
  // The refusals took nothing: a good URL starts a pull at once.
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");
}

TEST_F(PullLaunch, SecondPressWhilePullingIsRefusedAndChangesNothing) {
  ScriptedBackend backend;
  backend.hold("poll", true);
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend.waiting("poll") == 1; }));

  auto other = create(*plugin_);
  ASSERT_TRUE(other);
  set_clip(*other, 0.0, 2);
  other->set_string("backend_url", backend.url());
  const auto history = instance_->string_history("status");
  for (ofxhost::Instance* inst : {instance_.get(), other.get()}) {
    plugin_->clear_messages();
    EXPECT_EQ(inst->press("pull_alpha"), kOfxStatOK);
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: a matte is already being pulled."});
  }
  EXPECT_EQ(instance_->string_history("status"), history);
  EXPECT_EQ(other->string_history("status"), std::vector<std::string>{});
  EXPECT_EQ(creates(backend), 1u);
  EXPECT_EQ(upload_dirs().size(), 1u);

  backend.hold("poll", false);
  EXPECT_EQ(wait_for_end(*instance_), "ready: 2 frames matted");
}

TEST_F(PullLaunch, EveryFrameOfTheRangeIsGrabbedInOrder) {
  ScriptedBackend backend;
  // The first upload is refused, so the grabbed frames stay on disk to be looked at.
  backend.set([](Script& s) { s.upload = [](int, int) { return 500; }; });
  std::vector<double> times;
  std::mutex mu;
  instance_->set_frame_range(10.0, 19.0);
  instance_->set_source([&](double t) -> std::optional<ofxhost::Image> {
    std::lock_guard<std::mutex> lock(mu);
    times.push_back(t);
    return source_frame(static_cast<int>(t), 16, 9);
  });
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_, 15.0), "failed: upload failed at frame 0");
  EXPECT_EQ(times, (std::vector<double>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 10, ".jpg"));
  EXPECT_EQ(instance_->string_history("status").front(), "grabbing 10 frames...");
  EXPECT_EQ(instance_->get_string("clip_start"), "10.000000");
  // A refused frame stays on disk exactly as it was sent.
  EXPECT_EQ(read_all(upload_dir() + "000000.jpg"), backend.frame(0));
}

TEST_F(PullLaunch, RangeEndsRoundHalvesAway) {
  ScriptedBackend backend;
  instance_->set_frame_range(0.0, 9.5);
  instance_->set_source([](double t) -> std::optional<ofxhost::Image> { return source_frame(int(t), 4, 4); });
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_), "ready: 11 frames matted");
}

TEST_F(PullLaunch, BigFloatFramesAreScaledToTheWorkingSize) {
  ScriptedBackend backend;
  instance_->set_frame_range(0.0, 0.0);
  instance_->set_pixel_depth(kOfxBitDepthFloat);
  instance_->set_source(
      [](double) -> std::optional<ofxhost::Image> { return source_frame(0, 2148, 1000, kOfxBitDepthFloat); });
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_), "ready: 1 frames matted");

  const std::string jpeg = backend.frame(0);
  int w = 0, h = 0, n = 0;
  unsigned char* rgb = stbi_load_from_memory(reinterpret_cast<const unsigned char*>(jpeg.data()),
                                             static_cast<int>(jpeg.size()), &w, &h, &n, 3);
  ASSERT_NE(rgb, nullptr);
  EXPECT_EQ(w, 1919);
  EXPECT_EQ(h, 893);
  // Top-left is black-ish green 0, bottom-left full green: the picture is upright.
  EXPECT_LT(rgb[1], 16);
  EXPECT_GT(rgb[(static_cast<size_t>(h - 1) * w) * 3 + 1], 239);
  stbi_image_free(rgb);
}

TEST_F(PullLaunch, FrameThatCannotBeFetchedEndsTheLaunch) {
  ScriptedBackend backend;
  instance_->set_string("backend_url", backend.url());
  set_clip(*instance_, 0.0, 10, 16, 9, {4});

  EXPECT_EQ(instance_->press("pull_alpha"), kOfxStatOK);
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: could not read frame 4"});
  EXPECT_EQ(instance_->get_string("status"), "grabbing 10 frames...");
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 4, ".jpg"));
  EXPECT_EQ(creates(backend), 0u);
  EXPECT_EQ(instance_->outstanding_images(), 0);

  // The flag was released at once: the next press starts a pull.
  plugin_->clear_messages();
  set_clip(*instance_, 0.0, 10, 16, 9);
  instance_->press("pull_alpha");
  EXPECT_FALSE(busy_message());
  EXPECT_EQ(wait_for_end(*instance_), "ready: 10 frames matted");
}

TEST_F(PullLaunch, ImagesWithoutPixelsCountAsUnreadable) {
  ScriptedBackend backend;
  instance_->set_string("backend_url", backend.url());
  instance_->set_frame_range(0.0, 3.0);
  std::vector<std::function<ofxhost::Image()>> faults = {
      [] {
        return ofxhost::make_image({5, 5, 5, 9}, kOfxBitDepthByte);
      },  // no width
      [] {
        return ofxhost::make_image({0, 7, 4, 3}, kOfxBitDepthByte);
      },  // upside-down bounds
      [] {
        ofxhost::Image image = source_frame(2, 4, 4);
        image.null_data = true;
        return image;
      },
  };
  for (auto& fault : faults) {
    plugin_->clear_messages();
    instance_->set_source([&fault](double t) -> std::optional<ofxhost::Image> {
      return t == 2.0 ? fault() : source_frame(int(t), 4, 4);
    });
    instance_->press("pull_alpha");
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: could not read frame 2"});
    EXPECT_EQ(instance_->outstanding_images(), 0);
  }
  EXPECT_EQ(creates(backend), 0u);
}

TEST_F(PullLaunch, FrameFileThatCannotBeWrittenEndsTheLaunch) {
  ScriptedBackend backend;
  instance_->set_string("backend_url", backend.url());
  set_clip(*instance_, 0.0, 6, 64, 36);
  {
    FileSizeLimit limit(200);  // far below one JPEG frame
    instance_->press("pull_alpha");
  }
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: could not write frame 0"});
  EXPECT_EQ(creates(backend), 0u);
  // No short file is left to pass for a frame.
  EXPECT_TRUE(files_in(upload_dir()).empty());

  plugin_->clear_messages();
  EXPECT_EQ(pull(*instance_), "ready: 6 frames matted");
}

TEST_F(PullLaunch, MatteThatCannotBeSavedFailsThePull) {
  ScriptedBackend backend;
  backend.set([](Script& s) {
    s.matte = [](int) { return Answer{200, std::string(4000, 'm'), "image/png"}; };
  });
  backend.hold("download", true);
  instance_->set_string("session_id", "old-session");
  instance_->set_string("backend_url", backend.url());
  set_clip(*instance_, 0.0, 3, 16, 9);
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend.waiting("download") == 1; }));
  {
    FileSizeLimit limit(1000);
    backend.hold("download", false);
    EXPECT_EQ(wait_for_end(*instance_), "failed: could not save matte of frame 0");
  }
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: could not save matte of frame 0"});
  EXPECT_EQ(instance_->get_string("session_id"), "old-session");
  EXPECT_TRUE(files_in(root() + "sess-1").empty());
}

TEST_F(PullLaunch, UnsafeWorkingRootIsRefusedWithAMessage) {
  ScriptedBackend backend;
  instance_->set_string("backend_url", backend.url());
  set_clip(*instance_, 0.0, 2);
  fs::create_directory(tmp_ + "/elsewhere");
  fs::create_directory_symlink(tmp_ + "/elsewhere", tmp_ + "/corvane");

  instance_->press("pull_alpha");
  const auto texts = messages();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0].rfind("Corvane: working folder ", 0), 0u) << texts[0];
  EXPECT_NE(texts[0].find("symbolic link"), std::string::npos) << texts[0];
  EXPECT_TRUE(files_in(tmp_ + "/elsewhere").empty());
  EXPECT_EQ(instance_->string_history("status"), std::vector<std::string>{});

  fs::remove(tmp_ + "/corvane");
  plugin_->clear_messages();
  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");
}

TEST_F(PullLaunch, HintThatIsNotUtf8IsSentRepaired) {
  ScriptedBackend backend;
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("text_hint", std::string("a\xff"
                                                 "b"));
  instance_->set_string("bbox_json", R"({"h":0.2,"w":"wide","x":0.1,"y":0.1})");
  instance_->set_string("brush_json", "[[0.5,0.25,0.03]]");
  instance_->set_int("quality", 1);
  instance_->set_double("edge_softness", 0.5);
  set_clip(*instance_, 0.0, 4);
  EXPECT_EQ(pull(*instance_, 2.0), "ready: 4 frames matted");
  std::string start;
  for (const testnet::Recorded& r : backend.requests()) {
    if (r.path == "/api/matte/sessions/sess-1/start") {
      start = r.body;
    }
  }
  EXPECT_EQ(start,
            "{\"anchor_frame\":2,\"edge_softness\":0.5,\"quality\":\"fast\",\"strokes\":[[0.5,0.25,0.03]],"
            "\"text_prompt\":\"a\xEF\xBF\xBD"
            "b\"}");
}

}  // namespace
}  // namespace testpull
