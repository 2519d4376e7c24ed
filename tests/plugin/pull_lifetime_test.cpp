// Background threads against the host's lifetimes: the usage beacon, an
// instance destroyed while its pull runs, and the plug-in unloaded while
// transfers are under way. Nothing may crash, write through a dead handle,
// or leave a thread running in an unloaded library.
#include <future>

#include "pull_fixture.h"

namespace testpull {
namespace {

using Script = ScriptedBackend::Script;

size_t count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class PullLifetime : public PullTest {
 protected:
  // Destroys the plug-in on another thread; false when that did not end in time.
  bool unload_within(std::chrono::seconds limit) {
    instance_.reset();
    auto done = std::async(std::launch::async, [this] { plugin_.reset(); });
    return done.wait_for(limit) == std::future_status::ready;
  }
};

TEST_F(PullLifetime, BeaconPostsThePlatformOncePerCreatedInstance) {
  ScriptedBackend backend;
  auto beaconing = create(*plugin_, backend.url());
  ASSERT_TRUE(beaconing);
  ASSERT_TRUE(eventually([&] { return count(backend.lines(), "POST /api/beacon") == 1; }));
  const testnet::Recorded beacon = backend.requests()[0];
  EXPECT_EQ(beacon.body, R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})");
  EXPECT_EQ(beacon.header("Content-Type"), "application/json");
  EXPECT_EQ(beacon.header("User-Agent"), "CorvaneMattivo-OFX/1.1");

  // Other schemes, an empty URL, or a later change of the URL send nothing.
  auto ftp = create(*plugin_, "ftp://127.0.0.1/");
  auto empty = create(*plugin_, "");
  instance_->set_string("backend_url", backend.url());
  instance_->changed("backend_url");
  // Nothing the user sees depends on the beacon.
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(beaconing->string_history("status"), std::vector<std::string>{});
  // Unloading waits for every beacon thread, so after it nothing more can arrive.
  beaconing.reset();
  ftp.reset();
  empty.reset();
  ASSERT_TRUE(unload_within(std::chrono::seconds(20)));
  EXPECT_EQ(backend.lines(), std::vector<std::string>{"POST /api/beacon"});
}

TEST_F(PullLifetime, FreshInstancePerFrameSendsOneBeacon) {
  ScriptedBackend backend;
  // A path of its own, so no other test's beacon to this port counts for it.
  const std::string url = backend.url() + "/fresh-frames";
  const ofxhost::Image source = ofxhost::make_image({0, 0, 8, 8}, kOfxBitDepthByte);
  for (int frame = 0; frame < 25; ++frame) {
    ofxhost::Image out = ofxhost::make_image({0, 0, 8, 8}, kOfxBitDepthByte);
    const OfxStatus status = ofxhost::render_in_fresh_instance(
        *plugin_, frame, {{"backend_url", url}},
        [&](ofxhost::Instance& inst) {
          inst.set_source([source](double) { return std::optional<ofxhost::Image>(source); });
          inst.set_frame_range(0, 24);
        },
        out);
    ASSERT_EQ(status, kOfxStatOK) << "frame " << frame;
  }
  // A beacon of an earlier test may still be on its way: this one waits for it.
  ASSERT_TRUE(eventually([&] { return count(backend.lines(), "POST /fresh-frames/api/beacon") >= 1; }));
  ASSERT_TRUE(unload_within(std::chrono::seconds(20)));
  EXPECT_EQ(count(backend.lines(), "POST /fresh-frames/api/beacon"), 1u);
}

TEST_F(PullLifetime, RefusedBeaconIsSilent) {
  ScriptedBackend backend;
  auto refused = create(*plugin_, backend.url() + "/nowhere");
  auto unreachable = create(*plugin_, "http://127.0.0.1:" + std::to_string(testnet::closed_port()));
  ASSERT_TRUE(refused && unreachable);
  ASSERT_TRUE(eventually([&] { return count(backend.lines(), "POST /nowhere/api/beacon") == 1; }));
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(refused->string_history("status"), std::vector<std::string>{});
}

TEST_F(PullLifetime, DestroyedInstanceEndsItsPullQuietly) {
  ScriptedBackend backend;
  backend.set([](Script& s) { s.polls = {{200, R"({"status":"RUNNING","progress":{"stage":"x"}})"}}; });
  set_clip(*instance_, 0.0, 3);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return count(backend.lines(), "GET /api/matte/sessions/sess-1") >= 2; }));

  instance_.reset();
  // The worker stops polling for an instance that is gone...
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const size_t polls = count(backend.lines(), "GET /api/matte/sessions/sess-1");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(count(backend.lines(), "GET /api/matte/sessions/sess-1"), polls);
  EXPECT_TRUE(messages().empty());

  // ...and frees the pull for the next instance.
  backend.set([](Script& s) {
    s.create = {201, R"({"session_id":"sess-2"})"};
    s.polls = {{200, R"({"status":"COMPLETED"})"}};
  });
  auto next = create(*plugin_);
  ASSERT_TRUE(next);
  set_clip(*next, 0.0, 3);
  next->set_string("backend_url", backend.url());
  ASSERT_TRUE(press_when_idle(*next));
  EXPECT_EQ(wait_for_end(*next), "ready: 3 frames matted");
}

TEST_F(PullLifetime, DestroyedInstanceCancelsATransferInFlight) {
  ScriptedBackend backend;
  backend.hold("download", true);
  set_clip(*instance_, 0.0, 3);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend.waiting("download") == 1; }));

  instance_.reset();
  // The download is still held by the server: only a cancelled transfer frees the pull.
  auto next = create(*plugin_);
  ASSERT_TRUE(next);
  set_clip(*next, 0.0, 1);
  next->set_string("backend_url", backend.url());
  ASSERT_TRUE(press_when_idle(*next));
  EXPECT_EQ(backend.waiting("download"), 1);
  EXPECT_FALSE(fs::exists(root() + "sess-1/000000.png"));
  backend.hold("download", false);
  EXPECT_EQ(wait_for_end(*next), "ready: 1 frames matted");
}

TEST_F(PullLifetime, InstanceThePlugInDidNotSeeCreatedStillGetsItsPull) {
  ScriptedBackend backend;
  // The plug-in forgets the instance, as if the host had never sent the create action.
  ASSERT_EQ(plugin_->main_entry(kOfxActionDestroyInstance, instance_->handle(), nullptr, nullptr),
            kOfxStatOK);
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");
}

TEST_F(PullLifetime, UnloadStopsTransfersAndWaitsForEveryThread) {
  // A clean start: the fixture's own plug-in and its beacon threads are gone.
  instance_.reset();
  plugin_.reset();
  ScriptedBackend backend;
  const int baseline = thread_count();

  plugin_ = load();
  ASSERT_TRUE(plugin_);
  // One beacon and one pull upload, both held by the server mid-transfer.
  backend.hold("beacon", true);
  backend.hold("upload", true);
  instance_ = create(*plugin_, backend.url());
  ASSERT_TRUE(instance_);
  set_clip(*instance_, 0.0, 4);
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend.waiting("beacon") == 1 && backend.waiting("upload") == 1; }));

  ASSERT_TRUE(unload_within(std::chrono::seconds(10)));
  EXPECT_EQ(thread_count(), baseline);
  const size_t seen = backend.lines().size();
  backend.release_all();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(backend.lines().size(), seen);
}

TEST_F(PullLifetime, UnloadDuringPollingEndsTheWorker) {
  instance_.reset();
  plugin_.reset();
  ScriptedBackend backend;
  backend.set([](Script& s) { s.polls = {{200, R"({"status":"RUNNING"})"}}; });
  const int baseline = thread_count();

  plugin_ = load();
  instance_ = create(*plugin_);
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return count(backend.lines(), "GET /api/matte/sessions/sess-1") >= 1; }));

  ASSERT_TRUE(unload_within(std::chrono::seconds(10)));
  EXPECT_EQ(thread_count(), baseline);

  // Loaded again, the plug-in starts afresh: no pull is left marked as running.
  plugin_ = load();
  instance_ = create(*plugin_);
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  backend.set([](Script& s) { s.polls = {{200, R"({"status":"COMPLETED"})"}}; });
  EXPECT_EQ(pull(*instance_), "ready: 2 frames matted");
}

}  // namespace
}  // namespace testpull
