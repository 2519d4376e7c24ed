// The session store: folders on disk, restarts that lose nothing, and the
// time to live.
#include "backend_fixture.h"

#include <opencv2/imgcodecs.hpp>

#include <fstream>
#include <regex>
#include <set>

namespace mattivo_test {
namespace {

using nlohmann::json;

const char* kBox =
    R"({"anchor_frame":2,"bbox":{"h":0.9,"w":0.4,"x":0.3,"y":0.05},"quality":"fast","strokes":[],"text_prompt":""})";

// mattivo-backend is killed outright with sessions in every state, then
// started again on the same folder: each session carries on where it was.
TEST(Restart, SessionsInEveryStateSurviveAKill) {
  TempDir data;
  std::string clip = test_clip("walk");
  PluginClient client;
  std::vector<std::string> args{"--data-dir", data.path, "--workers", "1"};
  tessel::BackendProcess first;
  std::string error;
  ASSERT_TRUE(start_backend(args, data.path + "/../backend-first.log", &first, &error)) << error;
  const std::string base = first.url + "/api/matte/sessions/";

  std::string uploading = create_session(client, first.url);
  ASSERT_TRUE(upload_frames(client, base + uploading, clip, 3));

  std::string completed = create_session(client, first.url);
  ASSERT_TRUE(upload_frames(client, base + completed, clip, 4));
  ASSERT_EQ(client.post_json(base + completed + "/start", kBox).code, 200);
  ASSERT_EQ(wait_done(client, base + completed).value("status", ""), "COMPLETED");
  std::string matte_before = client.get(base + completed + "/alpha/3.png").body;

  std::string failed = create_session(client, first.url);
  ASSERT_TRUE(upload_frames(client, base + failed, clip, 2));
  ASSERT_EQ(
      client
          .post_json(
              base + failed + "/start",
              R"({"anchor_frame":0,"bbox":{"h":0.1,"w":0.1,"x":0.0,"y":0.0},"strokes":[[0.05,0.05,-0.2]]})")
          .code,
      200);
  json failed_before = wait_done(client, base + failed);
  ASSERT_EQ(failed_before.value("status", ""), "FAILED");

  // Two more started back to back: with one worker, the second is still
  // waiting (and the first probably running) when the process dies.
  std::string running = create_session(client, first.url);
  std::string queued = create_session(client, first.url);
  for (const std::string& id : {running, queued}) {
    ASSERT_TRUE(upload_frames(client, base + id, clip, 12));
  }
  for (const std::string& id : {running, queued})
    ASSERT_EQ(client.post_json(base + id + "/start", kBox).code, 200);
  ASSERT_NE(parse(client.get(base + queued).body).value("status", ""), "COMPLETED");
  tessel::stop_backend(&first, true);

  tessel::BackendProcess second;
  ASSERT_TRUE(start_backend(args, data.path + "/../backend-second.log", &second, &error)) << error;
  const std::string base2 = second.url + "/api/matte/sessions/";

  json u = parse(client.get(base2 + uploading).body);
  EXPECT_EQ(u.value("status", ""), "UPLOADING");
  EXPECT_EQ(u["frames"], 3);
  ASSERT_TRUE(upload_frames(client, base2 + uploading, clip, 4));
  ASSERT_EQ(client.post_json(base2 + uploading + "/start", kBox).code, 200);

  EXPECT_EQ(parse(client.get(base2 + completed).body).value("status", ""), "COMPLETED");
  EXPECT_EQ(client.get(base2 + completed + "/alpha/3.png").body, matte_before);
  EXPECT_EQ(parse(client.get(base2 + failed).body), failed_before);

  for (const std::string& id : {running, queued, uploading}) {
    SCOPED_TRACE(id);
    json done = wait_done(client, base2 + id);
    EXPECT_EQ(done.value("status", ""), "COMPLETED");
    int frames = done.value("frames", 0);
    for (int i = 0; i < frames; ++i)
      EXPECT_EQ(client.get(base2 + id + "/alpha/" + std::to_string(i) + ".png").code, 200);
  }
  EXPECT_EQ(tessel::stop_backend(&second, false, 120),
            0);  // an orderly stop exits cleanly (and leak-free under ASan)
  remove_tree(data.path + "/../backend-first.log");
  remove_tree(data.path + "/../backend-second.log");
}

TEST(Store, SessionsAreFoldersOfFramesAndMattes) {
  LocalBackend backend;
  PluginClient client;
  std::string clip = test_clip("walk");
  std::string id = create_session(client, backend.url);
  std::string url = backend.url + "/api/matte/sessions/" + id;
  ASSERT_TRUE(upload_frames(client, url, clip, 3));
  ASSERT_EQ(client
                .post_json(url + "/start",
                           R"({"anchor_frame":1,"bbox":{"h":0.9,"w":0.4,"x":0.3,"y":0.05},"quality":"fast"})")
                .code,
            200);
  ASSERT_EQ(wait_done(client, url).value("status", ""), "COMPLETED");
  const std::string dir = backend.data.path + "/" + id;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(read_file(dir + "/frames/" + six(i) + ".jpg"), read_file(clip + "/frames/" + six(i) + ".jpg"));
    EXPECT_EQ(read_file(dir + "/alpha/" + six(i) + ".png"),
              client.get(url + "/alpha/" + std::to_string(i) + ".png").body);
  }
  json state = parse(read_file(dir + "/session.json"));
  EXPECT_EQ(state.value("status", ""), "COMPLETED");
  EXPECT_EQ(state["request"]["anchor_frame"], 1);
}

TEST(Store, IdsAre128RandomBitsInHex) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string id = tessel::new_session_id();
    ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 2000u);
  // Every hex digit shows up in every position over that many ids.
  for (size_t pos = 0; pos < 32; ++pos) {
    std::set<char> digits;
    for (const std::string& id : seen) digits.insert(id[pos]);
    EXPECT_EQ(digits.size(), 16u) << pos;
  }
}

// A node's ids carry its name ahead of the same 128 random bits; the ids
// of either shape, and nothing else, name a session.
TEST(Store, NodeIdsKeepTheirRandomBitsAndOnlyWellFormedIdsPass) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    std::string id = tessel::new_session_id("n2");
    ASSERT_TRUE(std::regex_match(id, std::regex("n2-[0-9a-f]{32}"))) << id;
    EXPECT_TRUE(tessel::valid_session_id(id));
    seen.insert(id.substr(3));
  }
  EXPECT_EQ(seen.size(), 500u);
  const std::string hex(32, 'a');
  EXPECT_TRUE(tessel::valid_session_id(hex));
  EXPECT_TRUE(tessel::valid_session_id("node16charsxxxx0-" + hex));
  for (const std::string& bad : std::vector<std::string>{
           "", "-" + hex, "N2-" + hex, "n2_" + hex, "n2--" + hex, "n/2-" + hex, "n2-" + hex.substr(1),
           "n2-" + hex + "0", "../-" + hex, hex.substr(0, 31) + "g", "node17charsxxxxx0-" + hex}) {
    EXPECT_FALSE(tessel::valid_session_id(bad)) << bad;
  }
  EXPECT_FALSE(tessel::valid_node_name(""));
  EXPECT_FALSE(tessel::valid_node_name("a-b"));
  EXPECT_TRUE(tessel::valid_node_name("box7"));
}

// A backend given a node name later keeps serving the sessions it made
// before, and its own new ones survive its restart.
TEST(Store, ANamedNodeKeepsItsUnnamedSessionsAndItsOwn) {
  std::string clip = test_clip("walk");
  PluginClient client;
  LocalBackend backend;
  const std::string base = backend.url + "/api/matte/sessions/";
  std::string old_id = create_session(client, backend.url);
  ASSERT_TRUE(std::regex_match(old_id, std::regex("[0-9a-f]{32}"))) << old_id;
  ASSERT_TRUE(upload_frames(client, base + old_id, clip, 3));
  ASSERT_EQ(client.post_json(base + old_id + "/start", kBox).code, 200);
  ASSERT_EQ(wait_done(client, base + old_id).value("status", ""), "COMPLETED");

  tessel::ServerOptions named;
  named.node = "n2";
  backend.restart(named);
  const std::string base2 = backend.url + "/api/matte/sessions/";
  EXPECT_EQ(parse(client.get(base2 + old_id).body).value("status", ""), "COMPLETED");
  EXPECT_EQ(client.get(base2 + old_id + "/alpha/2.png").code, 200);
  EXPECT_EQ(parse(client.get(backend.url + "/healthz").body).value("node", ""), "n2");
  std::string new_id = create_session(client, backend.url);
  ASSERT_TRUE(std::regex_match(new_id, std::regex("n2-[0-9a-f]{32}"))) << new_id;
  ASSERT_TRUE(upload_frames(client, base2 + new_id, clip, 2));

  backend.restart(named);
  const std::string base3 = backend.url + "/api/matte/sessions/";
  json state = parse(client.get(base3 + new_id).body);
  EXPECT_EQ(state.value("status", ""), "UPLOADING");
  EXPECT_EQ(state.value("frames", 0), 2);
  ASSERT_EQ(client.post_json(base3 + new_id + "/start", kBox).code, 400);  // anchor 2 of 2 frames
  ASSERT_TRUE(upload_frames(client, base3 + new_id, clip, 3));
  ASSERT_EQ(client.post_json(base3 + new_id + "/start", kBox).code, 200);
  EXPECT_EQ(wait_done(client, base3 + new_id).value("status", ""), "COMPLETED");

  tessel::ServerOptions bad;
  bad.node = "N-2";
  tessel::BackendServer refused(bad);
  std::string error;
  EXPECT_FALSE(refused.start(&error));
  EXPECT_NE(error.find("node name"), std::string::npos) << error;
}

// What a crash can leave behind is cleaned up; what the store does not own
// (and state it cannot read) is left alone.
TEST(Store, OpeningTidiesCrashLeftoversAndSkipsForeignThings) {
  TempDir data;
  const std::string id = "00112233445566778899aabbccddeeff";
  std::filesystem::create_directories(data.path + "/.new-ffeeddccbbaa99887766554433221100/frames");
  std::filesystem::create_directories(data.path + "/" + id + "/frames");
  std::filesystem::create_directories(data.path + "/" + id + "/alpha");
  std::ofstream(data.path + "/" + id + "/session.json")
      << R"({"status":"UPLOADING","fps":24.0,"created":1,"updated":1})";
  std::ofstream(data.path + "/" + id + "/frames/000000.jpg") << "jpegbytes";
  std::ofstream(data.path + "/" + id + "/frames/000001.jpg.tmp12-3") << "half";
  const std::string broken = "ffffffffffffffffffffffffffffffff";
  std::filesystem::create_directories(data.path + "/" + broken);
  std::ofstream(data.path + "/" + broken + "/session.json") << "{not json";
  std::ofstream(data.path + "/notes.txt") << "mine";

  tessel::SessionStore store(data.path, {});
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error)) << error;
  EXPECT_TRUE(requeue.empty());
  EXPECT_FALSE(std::filesystem::exists(data.path + "/.new-ffeeddccbbaa99887766554433221100"));
  EXPECT_FALSE(std::filesystem::exists(data.path + "/" + id + "/frames/000001.jpg.tmp12-3"));
  EXPECT_TRUE(std::filesystem::exists(data.path + "/" + broken + "/session.json"));
  EXPECT_EQ(read_file(data.path + "/notes.txt"), "mine");
  tessel::SessionView view;
  ASSERT_TRUE(store.view(id, &view));
  EXPECT_EQ(view.status, tessel::SessionStatus::Uploading);
  EXPECT_EQ(view.frames, 1);
  EXPECT_FALSE(store.view(broken, &view));
  EXPECT_EQ(store.stats().disk_bytes, 9);
}

TEST(Store, IdleSessionsExpireButWorkInProgressStays) {
  TempDir data;
  tessel::StoreLimits limits;
  limits.ttl_seconds = 60;
  tessel::SessionStore store(data.path, limits);
  std::vector<std::string> requeue;
  std::string error;
  ASSERT_TRUE(store.open(&requeue, &error));
  std::string idle, queued;
  ASSERT_EQ(store.create(24, &idle).code, 200);
  ASSERT_EQ(store.create(24, &queued).code, 200);
  {
    tessel::UploadTicket ticket;
    ASSERT_EQ(store.begin_upload(queued, 0, -1, &ticket).code, 200);
    std::string frame = read_file(test_clip("walk") + "/frames/000000.jpg");
    ASSERT_EQ(store.write_upload(&ticket, frame.data(), frame.size()).code, 200);
    ASSERT_EQ(store.finish_upload(&ticket).code, 200);
  }
  tessel::EngineRequest request;
  ASSERT_EQ(store.start(queued, request).code, 200);

  const std::time_t now = std::time(nullptr);
  EXPECT_EQ(store.expire(now + 30), 0);
  EXPECT_EQ(store.expire(now + 120), 1);
  tessel::SessionView view;
  EXPECT_FALSE(store.view(idle, &view));
  EXPECT_FALSE(std::filesystem::exists(data.path + "/" + idle));
  EXPECT_TRUE(store.view(queued, &view));
  // Finished work ages like the rest.
  store.finish(queued, tessel::EngineOutcome{false, false, "stopped"});
  EXPECT_EQ(store.expire(std::time(nullptr) + 120), 1);
  EXPECT_EQ(store.stats().disk_bytes, 0);
}

TEST(Store, TheServerRemovesExpiredSessionsByItself) {
  tessel::ServerOptions options;
  options.limits.ttl_seconds = 1;
  options.janitor_seconds = 1;
  LocalBackend backend(options);
  PluginClient client;
  std::string url = backend.url + "/api/matte/sessions/" + create_session(client, backend.url);
  // Only the health answer is polled: asking about the session would keep it alive.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    gone = parse(client.get(backend.url + "/healthz").body).value("sessions", 1) == 0;
  }
  EXPECT_TRUE(gone);
  EXPECT_EQ(client.get(url).code, 404);
}

}  // namespace
}  // namespace mattivo_test
