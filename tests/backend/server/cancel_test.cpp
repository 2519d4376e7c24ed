// Cancelling a session: over HTTP while its frames come in, and in the store
// while a worker runs its job. A cancelled session takes nothing more, keeps
// its word when the job ends, and gives its slot and its disk back.
#include "backend_fixture.h"

#include "server/session_store.h"
#include "testing/session_flow.h"

#include <filesystem>

namespace mattivo_test {
namespace {

using nlohmann::json;

class Cancel : public ::testing::Test {
 protected:
  LocalBackend backend;
  PluginClient client;
  std::string clip = test_clip("walk");
  std::string sessions() const { return backend.url + "/api/matte/sessions"; }
};

TEST_F(Cancel, ASessionCancelledDuringUploadTakesNothingMore) {
  const std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  ASSERT_TRUE(upload_frames(client, url, clip, 2));
  ASSERT_EQ(parse(client.get(backend.url + "/healthz").body).value("live", -1), 1);

  Reply cancelled = client.post_json(url + "/cancel", "{}");
  EXPECT_EQ(cancelled.code, 200);
  EXPECT_EQ(cancelled.body, R"({"status":"CANCELLED"})");
  EXPECT_EQ(client.get(url).body, R"({"frames":2,"progress":{"stage":"cancelled"},"status":"CANCELLED"})");
  // A second cancel, as a client retrying after a lost answer sends it, is no error.
  EXPECT_EQ(client.post_json(url + "/cancel", "").code, 200);

  Reply upload = client.put_bytes(url + "/frames/2", read_file(clip + "/frames/000002.jpg"));
  EXPECT_EQ(upload.code, 409);
  EXPECT_EQ(upload.body, "session cancelled\n");
  Reply start = client.post_json(url + "/start", clip_request(clip, "fast", "box"));
  EXPECT_EQ(start.code, 409);
  EXPECT_EQ(start.body, "session cancelled\n");
  // The slot it held is free for the next pull at once.
  EXPECT_EQ(parse(client.get(backend.url + "/healthz").body).value("live", -1), 0);
}

TEST_F(Cancel, OnlyUnfinishedSessionsCanBeCancelled) {
  const std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  ASSERT_TRUE(upload_frames(client, url, clip, 2));
  json request = parse(clip_request(clip, "fast", "box"));
  request["anchor_frame"] = 0;
  ASSERT_EQ(client.post_json(url + "/start", request.dump()).code, 200);
  ASSERT_EQ(wait_done(client, url).value("status", ""), "COMPLETED");

  Reply late = client.post_json(url + "/cancel", "{}");
  EXPECT_EQ(late.code, 409);
  EXPECT_EQ(late.body, "session already finished\n");
  EXPECT_EQ(parse(client.get(url).body).value("status", ""), "COMPLETED");
  EXPECT_EQ(client.get(url + "/alpha/1.png").code, 200);

  Reply unknown = client.post_json(sessions() + "/0123456789abcdef0123456789abcdef/cancel", "{}");
  EXPECT_EQ(unknown.code, 404);
  EXPECT_EQ(unknown.body, "unknown session\n");
  EXPECT_EQ(client.get(url + "/cancel").code, 405);
}

// The worker side, driven by hand so that the job is running when the cancel
// comes, whatever the machine's speed.
TEST(CancelInStore, ARunningJobEndsCancelledAndItsFolderGoes) {
  TempDir data;
  tessel::SessionStore store(data.path, tessel::StoreLimits{});
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error)) << error;
  const std::string id = store_session_with_frames(&store, 2);
  ASSERT_FALSE(id.empty());
  ASSERT_EQ(store.start(id, tessel::EngineRequest{}).code, 200);
  tessel::JobSpec job;
  ASSERT_TRUE(store.claim(id, &job));

  ASSERT_EQ(store.cancel(id).code, 200);
  // The job has not noticed yet: its folder stays while it may still read frames.
  store.set_stage(id, "tracking 1/2");
  EXPECT_EQ(store.expire(std::time(nullptr)), 0);
  tessel::EngineOutcome outcome;
  outcome.cancelled = true;  // it stopped between frames
  store.finish(id, outcome);

  tessel::SessionView view;
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.status, tessel::SessionStatus::Cancelled);  // not queued again, as a shutdown would be
  EXPECT_EQ(view.stage, "cancelled");
  EXPECT_EQ(store.stats().live, 0);
  // Nobody will ever read what it left: the janitor's next round removes it.
  EXPECT_EQ(store.expire(std::time(nullptr)), 1);
  EXPECT_FALSE(std::filesystem::exists(data.path + "/" + id));
  EXPECT_EQ(store.stats().disk_bytes, 0);
}

TEST(CancelInStore, ACancelledSessionSurvivesARestartOnlyToBeRemoved) {
  TempDir data;
  std::string id;
  {
    tessel::SessionStore store(data.path, tessel::StoreLimits{});
    std::vector<std::string> requeue;
    std::string error;
    ASSERT_TRUE(store.open(&requeue, &error)) << error;
    ASSERT_EQ(store.create(24.0, &id).code, 200);
    ASSERT_EQ(store.cancel(id).code, 200);
  }
  tessel::SessionStore store(data.path, tessel::StoreLimits{});
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error)) << error;
  EXPECT_TRUE(requeue.empty());
  tessel::SessionView view;
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.status, tessel::SessionStatus::Cancelled);
  EXPECT_EQ(store.expire(std::time(nullptr)), 1);
  EXPECT_FALSE(std::filesystem::exists(data.path + "/" + id));
}

}  // namespace
}  // namespace mattivo_test
