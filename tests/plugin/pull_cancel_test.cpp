// The "Cancel pull" button, pressed while the host hands over frames, while
// frames go up, while the backend tracks and while mattes come down. The test
// holds each stage until its cancel is in, so no outcome depends on timing.
// Every cancel must end the same way: "cancelled" as the last status, one
// host message, no thread left, nothing sent or written after it, and the
// next press starting a pull at once.
#include <condition_variable>
#include <future>
#include <mutex>

#include "pull_fixture.h"

namespace testpull {
namespace {

using Script = ScriptedBackend::Script;

const char* kCancelNotice = "POST /api/matte/sessions/sess-1/cancel";

class PullCancel : public PullTest {
 protected:
  void SetUp() override {
    PullTest::SetUp();
    set_clip(*instance_, 0.0, 3);
  }

  // Presses Cancel (twice, as an impatient user does) and checks the ending.
  void cancel_and_expect_clean_end(int threads_before) {
    instance_->press("cancel_pull");
    instance_->press("cancel_pull");
    ASSERT_TRUE(eventually([&] { return instance_->get_string("status") == "cancelled"; }));
    const auto working_folder = snapshot();
    // The worker ends straight after its last write, transfers aborted.
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }))
        << thread_count() << " threads, " << threads_before << " before the pull";
    EXPECT_EQ(instance_->string_history("status").back(), "cancelled");
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: pull cancelled."});
    EXPECT_EQ(snapshot(), working_folder);
    EXPECT_EQ(instance_->get_string("session_id"), "");
  }

  // Presses Pull again with every hold released: the busy flag is free.
  void expect_next_pull_runs(ScriptedBackend& backend) {
    backend.release_all();
    backend.set([](Script& s) {
      s.create = {201, R"({"session_id":"sess-2"})"};
      s.polls = {{200, R"({"status":"COMPLETED"})"}};
    });
    plugin_->clear_messages();
    EXPECT_EQ(pull(*instance_), "ready: 3 frames matted");
    EXPECT_FALSE(busy_message());
  }

  // Every file under the working root, with its size.
  std::vector<std::string> snapshot() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root(), ec); !ec && it != fs::end(it); it.increment(ec)) {
      if (it->is_regular_file()) {
        files.push_back(it->path().string() + " " + std::to_string(it->file_size()));
      }
    }
    std::sort(files.begin(), files.end());
    return files;
  }

  ScriptedBackend backend_;
};

TEST_F(PullCancel, DuringTheGrabNoFrameAfterItIsFetchedAndNothingIsSent) {
  std::mutex mu;
  std::condition_variable changed;
  bool reached = false, go_on = false;
  instance_->set_frame_range(0, 9);
  instance_->set_source([&](double t) -> std::optional<ofxhost::Image> {
    const int index = static_cast<int>(t);
    if (index == 2) {
      std::unique_lock<std::mutex> lock(mu);
      reached = true;
      changed.notify_all();
      changed.wait(lock, [&] { return go_on; });
    }
    return source_frame(index, 64, 36);
  });
  instance_->set_string("backend_url", backend_.url());
  const int threads_before = thread_count();

  // Hosts that run the button on another thread let the user press Cancel mid-grab.
  auto pulling = std::async(std::launch::async, [&] { instance_->press("pull_alpha"); });
  {
    std::unique_lock<std::mutex> lock(mu);
    changed.wait(lock, [&] { return reached; });
  }
  instance_->press("cancel_pull");
  {
    std::lock_guard<std::mutex> lock(mu);
    go_on = true;
  }
  changed.notify_all();
  pulling.get();

  EXPECT_EQ(instance_->get_string("status"), "cancelled");
  EXPECT_EQ(instance_->string_history("status"),
            (std::vector<std::string>{"grabbing 10 frames...", "cancelled"}));
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: pull cancelled."});
  // The frame being fetched is finished; none after it is asked for.
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 3, ".jpg"));
  EXPECT_TRUE(backend_.lines().empty());
  EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
  EXPECT_EQ(instance_->outstanding_images(), 0);

  set_clip(*instance_, 0.0, 3);
  expect_next_pull_runs(backend_);
}

TEST_F(PullCancel, DuringUploadTheTransferIsAbortedAndTheBackendTold) {
  backend_.hold("upload", true);
  instance_->set_string("backend_url", backend_.url());
  const int threads_before = thread_count();
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend_.waiting("upload") == 1; }));

  cancel_and_expect_clean_end(threads_before);
  // Told once, and nothing after it: no retry of the aborted frame, no start.
  const auto lines = backend_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCancelNotice), 1);
  EXPECT_EQ(lines.back(), kCancelNotice);
  EXPECT_EQ(backend_.attempts(0), 1);
  // Frames not accepted stay where they were, as after a failure.
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 3, ".jpg"));

  expect_next_pull_runs(backend_);
}

TEST_F(PullCancel, DuringTrackingTheHeldPollIsAbortedAndPollingStops) {
  backend_.hold("poll", true);
  backend_.set([](Script& s) { s.polls = {{200, R"({"status":"RUNNING","progress":{"stage":"x"}})"}}; });
  instance_->set_string("backend_url", backend_.url());
  const int threads_before = thread_count();
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend_.waiting("poll") == 1; }));

  cancel_and_expect_clean_end(threads_before);
  EXPECT_EQ(backend_.lines().back(), kCancelNotice);
  expect_next_pull_runs(backend_);
}

TEST_F(PullCancel, BackendThatDoesNotKnowCancelIsSimplyNoLongerPolled) {
  for (int refusal : {404, 405}) {
    SCOPED_TRACE(refusal);
    backend_.set([refusal](Script& s) {
      s.create = {201, R"({"session_id":"sess-1"})"};
      s.polls = {{200, R"({"status":"RUNNING","progress":{"stage":"x"}})"}};
      s.cancel = {refusal, "not found", "text/plain"};
    });
    plugin_->clear_messages();
    instance_->set_string("backend_url", backend_.url());
    const int threads_before = thread_count();
    instance_->press("pull_alpha");
    // Between polls, most likely in the pause before the next one.
    ASSERT_TRUE(eventually([&] { return instance_->get_string("status") == "tracking: x"; }));

    cancel_and_expect_clean_end(threads_before);
    EXPECT_EQ(backend_.lines().back(), kCancelNotice);
  }
}

TEST_F(PullCancel, DuringDownloadNoMatteIsWrittenAndTheShownSessionStays) {
  backend_.hold("download", true);
  instance_->set_string("session_id", "earlier-session");
  instance_->set_string("backend_url", backend_.url());
  const int threads_before = thread_count();
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend_.waiting("download") == 1; }));

  instance_->press("cancel_pull");
  ASSERT_TRUE(eventually([&] { return instance_->get_string("status") == "cancelled"; }));
  EXPECT_TRUE(eventually([&] { return thread_count() == threads_before; }));
  backend_.release_all();
  EXPECT_EQ(instance_->get_string("session_id"), "earlier-session");
  EXPECT_EQ(files_in(root() + "sess-1"), std::vector<std::string>{});
  EXPECT_EQ(backend_.lines().back(), kCancelNotice);
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: pull cancelled."});
}

TEST_F(PullCancel, OnlyThePullOfItsOwnInstanceIsCancelled) {
  // Nothing to cancel: nothing happens.
  instance_->press("cancel_pull");
  EXPECT_EQ(instance_->string_history("status"), std::vector<std::string>{});
  EXPECT_TRUE(messages().empty());

  backend_.hold("poll", true);
  instance_->set_string("backend_url", backend_.url());
  instance_->press("pull_alpha");
  ASSERT_TRUE(eventually([&] { return backend_.waiting("poll") == 1; }));
  auto other = create(*plugin_);
  ASSERT_TRUE(other);
  other->press("cancel_pull");
  EXPECT_EQ(other->string_history("status"), std::vector<std::string>{});

  backend_.hold("poll", false);
  EXPECT_EQ(wait_for_end(*instance_), "ready: 3 frames matted");
  const auto lines = backend_.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), kCancelNotice), 0);
}

}  // namespace
}  // namespace testpull
