// A session started again once its job has ended: a new job on the frames it
// holds, whose mattes replace the old ones; never while a job is under way.
#include "backend_fixture.h"
#include "testing/session_flow.h"

#include <filesystem>

namespace mattivo_test {
namespace {

using nlohmann::json;

class SecondStart : public ::testing::Test {
 protected:
  LocalBackend backend;
  PluginClient client;
  std::string clip = test_clip("walk");
  std::string sessions() const { return backend.url + "/api/matte/sessions"; }
  std::string box_request(int anchor) const {
    json request = parse(clip_request(clip, "fast", "box"));
    request["anchor_frame"] = anchor;
    return request.dump();
  }
};

TEST_F(SecondStart, AnEndedSessionRunsANewJobOnItsFramesAndItsMattesReplaceTheOld) {
  const std::string url = sessions() + "/" + create_session(client, backend.url);
  ASSERT_TRUE(upload_frames(client, url, clip, 3));
  ASSERT_EQ(client.post_json(url + "/start", box_request(0)).code, 200);
  json done = wait_done(client, url);
  ASSERT_EQ(done.value("status", ""), "COMPLETED") << done.dump();

  // Started again, on the very frames it holds: nothing is uploaded.
  Reply again = client.post_json(url + "/start", box_request(1));
  ASSERT_EQ(again.code, 200) << again.body;
  EXPECT_EQ(again.body, R"({"status":"QUEUED"})");
  // A start while that job is queued or runs is refused, as before.
  EXPECT_EQ(client.post_json(url + "/start", box_request(0)).code, 409);
  done = wait_done(client, url);
  ASSERT_EQ(done.value("status", ""), "COMPLETED") << done.dump();
  const std::string first = client.get(url + "/alpha/1.png").body;
  ASSERT_FALSE(first.empty());

  // A third job from another anchor replaces every matte; frames are still refused.
  ASSERT_EQ(client.post_json(url + "/start", box_request(2)).code, 200);
  EXPECT_EQ(client.put_bytes(url + "/frames/0", read_file(clip + "/frames/000000.jpg")).code, 409);
  done = wait_done(client, url);
  ASSERT_EQ(done.value("status", ""), "COMPLETED") << done.dump();
  EXPECT_EQ(done.value("frames", 0), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.get(url + "/alpha/" + std::to_string(i) + ".png").code, 200);
  EXPECT_EQ(client.get(url + "/alpha/3.png").code, 404);
  // Beyond its frames the anchor is refused, and the session keeps its mattes.
  Reply beyond = client.post_json(url + "/start", box_request(3));
  EXPECT_EQ(beyond.code, 400);
  EXPECT_EQ(beyond.body, "anchor_frame beyond the last frame (3 frames)\n");
  EXPECT_EQ(parse(client.get(url).body).value("status", ""), "COMPLETED");
}

// Driven by hand, so that each state is held exactly while the start comes.
TEST(SecondStartInStore, OldMattesGoFirstAndAJobStillStoppingKeepsTheSessionBusy) {
  TempDir data;
  tessel::SessionStore store(data.path, tessel::StoreLimits{});
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error)) << error;
  const std::string id = store_session_with_frames(&store, 2);
  ASSERT_FALSE(id.empty());
  const long long frames_bytes = store.stats().disk_bytes;
  ASSERT_EQ(store.start(id, tessel::EngineRequest{}).code, 200);
  tessel::JobSpec job;
  ASSERT_TRUE(store.claim(id, &job));
  EXPECT_EQ(store.start(id, tessel::EngineRequest{}).code, 409);  // running
  for (int i = 0; i < 2; ++i) {
    const std::string path = job.mattes_dir + six(i) + ".png";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("matte", f);
    std::fclose(f);
    ASSERT_TRUE(store.matte_written(id, i, 5));
  }
  tessel::EngineOutcome ok;
  ok.ok = true;
  store.finish(id, ok);
  EXPECT_EQ(store.stats().disk_bytes, frames_bytes + 10);
  EXPECT_EQ(store.stats().live, 0);

  ASSERT_EQ(store.start(id, tessel::EngineRequest{}).code, 200);
  tessel::SessionView view;
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.status, tessel::SessionStatus::Queued);
  EXPECT_EQ(view.frames, 2);
  EXPECT_EQ(store.stats().live, 1);
  // No matte of the last job can be downloaded as if it were the new one's.
  std::string path;
  EXPECT_EQ(store.matte_file(id, 0, &path).code, 404);
  EXPECT_FALSE(std::filesystem::exists(job.mattes_dir + six(0) + ".png"));
  EXPECT_EQ(store.stats().disk_bytes, frames_bytes);
  EXPECT_EQ(store.start(id, tessel::EngineRequest{}).code, 409);  // queued

  // Cancelled while it runs: until its worker lets go, no new job may start.
  ASSERT_TRUE(store.claim(id, &job));
  ASSERT_EQ(store.cancel(id).code, 200);
  tessel::Answer busy = store.start(id, tessel::EngineRequest{});
  EXPECT_EQ(busy.code, 409);
  EXPECT_EQ(busy.text, "the session's last job is still stopping");
  tessel::EngineOutcome stopped;
  stopped.cancelled = true;
  store.finish(id, stopped);
  ASSERT_EQ(store.start(id, tessel::EngineRequest{}).code, 200);
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.status, tessel::SessionStatus::Queued);
  // A failed job leaves its session as ready for another as a completed one.
  ASSERT_TRUE(store.claim(id, &job));
  tessel::EngineOutcome failed;
  failed.error = "no person found for the hint";
  store.finish(id, failed);
  ASSERT_TRUE(store.view(id, &view));
  ASSERT_EQ(view.status, tessel::SessionStatus::Failed);
  ASSERT_EQ(store.start(id, tessel::EngineRequest{}).code, 200);
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.error, "");
  // The frames stay with the session until its time to live, whatever its jobs did.
  EXPECT_EQ(store.expire(std::time(nullptr)), 0);
  EXPECT_TRUE(std::filesystem::exists(job.frames_dir + six(1) + ".jpg"));
}

}  // namespace
}  // namespace mattivo_test
