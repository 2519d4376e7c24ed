// The backend protocol over real HTTP, with the plug-in's own request shapes:
// a whole pull, the answers it relies on, and clear refusals for misuse.
#include "backend_fixture.h"
#include "testing/session_flow.h"

#include "eval/eval_metrics.h"

#include <opencv2/imgcodecs.hpp>

#include <regex>

namespace mattivo_test {
namespace {

using nlohmann::json;

class Protocol : public ::testing::Test {
 protected:
  LocalBackend backend;
  PluginClient client;
  std::string clip = test_clip("walk");
  std::string sessions() const { return backend.url + "/api/matte/sessions"; }
};

// A pull as the plug-in runs it, then the mattes scored against ground truth:
// a broken engine fails here, not only in the benchmark.
TEST_F(Protocol, WholePullDeliversOneGoodMattePerFrame) {
  for (const char* quality : {"fast", "fine"}) {
    SCOPED_TRACE(quality);
    TempDir out;
    const int n = clip_frame_count(clip);
    SessionRun run = run_plugin_session(client, backend.url, clip + "/frames", n,
                                        clip_request(clip, quality, "box"), out.path, 20, 120);
    ASSERT_TRUE(run.ok) << run.failure;
    EXPECT_TRUE(std::regex_match(run.id, std::regex("[0-9a-f]{32}")));
    bool tracking = false;
    for (const std::string& stage : run.stages)
      tracking = tracking || std::regex_match(stage, std::regex("tracking \\d+/12"));
    EXPECT_TRUE(tracking) << "no tracking stage among " << run.stages.size();

    tessel::ClipScorer scorer;
    for (int i = 0; i < n; ++i) {
      cv::Mat matte = cv::imread(out.path + "/" + six(i) + ".png", cv::IMREAD_UNCHANGED);
      ASSERT_EQ(matte.type(), CV_8UC1) << "frame " << i;
      ASSERT_EQ(matte.size(), cv::Size(320, 180));
      scorer.add(matte, cv::imread(clip + "/alpha/" + six(i) + ".png", cv::IMREAD_GRAYSCALE));
    }
    tessel::ClipScore score = scorer.result();
    EXPECT_GE(score.j, 0.7);
    EXPECT_GE(score.f, 0.7);
    EXPECT_LE(score.mae, 0.03);
  }
}

TEST_F(Protocol, AnswersAreCompactJsonWithTheMembersThePluginReads) {
  Reply created = client.post_json(sessions(), R"({"fps":23.976,"source":"plugin"})");
  ASSERT_EQ(created.code, 200);
  EXPECT_EQ(created.body.find(' '), std::string::npos);
  std::string id = parse(created.body).value("session_id", "");
  ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{32}"))) << created.body;
  const std::string url = sessions() + "/" + id;

  json poll = parse(client.get(url).body);
  EXPECT_EQ(poll.value("status", ""), "UPLOADING");
  EXPECT_TRUE(poll["progress"].is_object());

  ASSERT_TRUE(upload_frames(client, url, clip, 3));
  poll = parse(client.get(url).body);
  EXPECT_EQ(poll["frames"], 3);
  nlohmann::json request = parse(clip_request(clip, "fast", "box"));
  request["anchor_frame"] = 1;
  Reply started = client.post_json(url + "/start", request.dump());
  ASSERT_EQ(started.code, 200) << started.body;
  EXPECT_EQ(started.body, R"({"status":"QUEUED"})");
  json done = wait_done(client, url);
  EXPECT_EQ(done.dump(), R"({"frames":3,"progress":{"stage":"done"},"status":"COMPLETED"})");
}

// A hint alone sends the person detector looking; a picture without anyone
// in it ends the session with a plain reason instead of an empty matte.
TEST_F(Protocol, HintWithNobodyInThePictureFailsPlainly) {
  std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  cv::Mat flat(180, 320, CV_8UC3, cv::Scalar(90, 140, 60));
  std::vector<unsigned char> jpeg;
  cv::imencode(".jpg", flat, jpeg);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(
        client.put_bytes(url + "/frames/" + std::to_string(i), std::string(jpeg.begin(), jpeg.end())).code,
        200);
  }
  ASSERT_EQ(
      client
          .post_json(
              url + "/start",
              R"({"anchor_frame":0,"edge_softness":0.35,"quality":"fast","strokes":[],"text_prompt":"the dancer"})")
          .code,
      200);
  json done = wait_done(client, url);
  EXPECT_EQ(done.value("status", ""), "FAILED");
  EXPECT_EQ(done.value("error", ""), "no person found for the hint");
}

TEST_F(Protocol, RetriedUploadReplacesTheFrame) {
  std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  std::string frame = read_file(clip + "/frames/000000.jpg");
  ASSERT_EQ(client.put_bytes(url + "/frames/0", frame).code, 200);
  ASSERT_EQ(client.put_bytes(url + "/frames/0", frame).code, 200);
  EXPECT_EQ(parse(client.get(url).body)["frames"], 1);
  long long disk = parse(client.get(backend.url + "/healthz").body).value("disk_bytes", 0LL);
  EXPECT_EQ(disk, static_cast<long long>(frame.size()));
}

TEST_F(Protocol, MisuseIsAnsweredWithAStatusAndAShortText) {
  std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  const std::string unknown = sessions() + "/0123456789abcdef0123456789abcdef";
  struct Case {
    const char* what;
    std::string method, url, body;
    long code;
    const char* text;
  };
  const std::vector<Case> cases = {
      {"create, not JSON", "POST", sessions(), "{fps", 400, "body is not a JSON object"},
      {"create, array", "POST", sessions(), "[1,2]", 400, "body is not a JSON object"},
      {"create, bad fps", "POST", sessions(), R"({"fps":-3})", 400, "fps must be a positive number"},
      {"start without frames", "POST", url + "/start", R"({"anchor_frame":0})", 400, "no frames uploaded"},
      {"start, not JSON", "POST", url + "/start", "nope", 400, "body is not a JSON object"},
      {"start, bad quality", "POST", url + "/start", R"({"quality":"best"})", 400,
       "quality must be \"fine\" or \"fast\""},
      {"start, bad anchor", "POST", url + "/start", R"({"anchor_frame":"x"})", 400,
       "anchor_frame must be an integer"},
      {"poll unknown", "GET", unknown, "", 404, "unknown session"},
      {"upload unknown", "PUT", unknown + "/frames/0", "x", 404, "unknown session"},
      {"start unknown", "POST", unknown + "/start", "{}", 404, "unknown session"},
      {"matte unknown", "GET", unknown + "/alpha/0.png", "", 404, "unknown session"},
      {"matte not made", "GET", url + "/alpha/0.png", "", 404, "no matte for frame 0"},
      {"frame index not a number", "PUT", url + "/frames/x1", "x", 404, "no such frame index"},
      {"empty session id", "PUT", sessions() + "//frames/0", "x", 404, "unknown session"},
      {"unknown path", "GET", backend.url + "/api/matte", "", 404, "not found"},
      {"past a route's end", "POST", url + "/start/now", "{}", 404, "not found"},
      {"short of a route's end", "PUT", url + "/frames", "x", 404, "not found"},
      {"trailing slash", "GET", backend.url + "/healthz/", "", 404, "not found"},
      {"a route for GET only", "POST", backend.url + "/healthz", "{}", 405, "method not allowed"},
      {"mattes are only read", "PUT", url + "/alpha/0.png", "x", 405, "method not allowed"},
      {"wrong method", "DELETE", url, "", 405, "method not allowed"},
      {"wrong method on create", "GET", sessions(), "", 405, "method not allowed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reply r = client.send(c.method, c.url, c.body, {"Content-Type: application/json"});
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.body, std::string(c.text) + "\n");
  }
}

TEST_F(Protocol, StartNeedsEveryFrameAndAnAnchorAmongThem) {
  std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  std::string frame = read_file(clip + "/frames/000000.jpg");
  ASSERT_EQ(client.put_bytes(url + "/frames/0", frame).code, 200);
  ASSERT_EQ(client.put_bytes(url + "/frames/2", frame).code, 200);
  Reply gap = client.post_json(url + "/start", clip_request(clip, "fast", "box"));
  EXPECT_EQ(gap.code, 400);
  EXPECT_EQ(gap.body, "frame 1 missing\n");
  ASSERT_EQ(client.put_bytes(url + "/frames/1", frame).code, 200);
  Reply beyond =
      client.post_json(url + "/start", R"({"anchor_frame":3,"bbox":{"h":0.5,"w":0.5,"x":0.2,"y":0.2}})");
  EXPECT_EQ(beyond.code, 400);
  EXPECT_EQ(beyond.body, "anchor_frame beyond the last frame (3 frames)\n");
}

TEST_F(Protocol, AStartedSessionRefusesUploadsAndSecondStarts) {
  std::string id = create_session(client, backend.url);
  const std::string url = sessions() + "/" + id;
  ASSERT_TRUE(upload_frames(client, url, clip, 2));
  std::string request = R"({"anchor_frame":0,"bbox":{"h":0.9,"w":0.4,"x":0.3,"y":0.05},"quality":"fast"})";
  ASSERT_EQ(client.post_json(url + "/start", request).code, 200);
  Reply upload = client.put_bytes(url + "/frames/2", read_file(clip + "/frames/000002.jpg"));
  EXPECT_EQ(upload.code, 409);
  EXPECT_EQ(upload.body, "session already started\n");
  EXPECT_EQ(client.post_json(url + "/start", request).code, 409);
  json done = wait_done(client, url);
  EXPECT_EQ(done.value("status", ""), "COMPLETED");
  EXPECT_EQ(client.get(url + "/alpha/1.png").code, 200);
  EXPECT_EQ(client.get(url + "/alpha/2.png").code, 404);
  EXPECT_EQ(client.get(url + "/alpha/01.png").code, 200);  // decimal, leading zeros read as such
}

TEST_F(Protocol, BeaconsAreCountedAndHealthAnswers) {
  const std::string beacon = R"({"arch":"x86_64","host":"resolve","os":"windows","plugin_version":"1.1.0"})";
  EXPECT_EQ(client.post_json(backend.url + "/api/beacon", beacon).code, 200);
  EXPECT_EQ(client.post_json(backend.url + "/api/beacon", beacon).code, 200);
  EXPECT_EQ(client.post_json(backend.url + "/api/beacon", "garbage").code, 400);
  json health = parse(client.get(backend.url + "/healthz").body);
  EXPECT_EQ(health.value("status", ""), "ok");
  EXPECT_EQ(health.value("beacons", 0), 2);
}

TEST(ProtocolPrefix, TheWholeApiLivesUnderTheSecretPrefix) {
  tessel::ServerOptions options;
  options.prefix = "/k/0f3a9c";
  LocalBackend backend(options);
  PluginClient client;
  ASSERT_NE(backend.url.find(":"), std::string::npos);
  EXPECT_EQ(backend.url.substr(backend.url.size() - 9), "/k/0f3a9c");
  const std::string root = backend.url.substr(0, backend.url.size() - 9);
  for (const char* path :
       {"/healthz", "/api/matte/sessions", "/k/0f3a9/healthz", "/k/0f3a9cX/healthz", "/k/0f3a9c"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(client.get(root + path).code, 404);
  }
  EXPECT_EQ(client.post_json(root + "/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})").code, 404);
  EXPECT_EQ(client.get(backend.url + "/healthz").code, 200);
  EXPECT_FALSE(create_session(client, backend.url).empty());
}

TEST(ProtocolPrefix, PrefixesThatAreNotPlainPathsAreRefused) {
  for (const char* bad : {"k/x", "/k/x/", "/k/../x", "/k//x", "/k/x?y", "/k/x y"}) {
    EXPECT_FALSE(tessel::valid_prefix(bad)) << bad;
  }
  EXPECT_TRUE(tessel::valid_prefix(""));
  EXPECT_TRUE(tessel::valid_prefix("/k/Ab-9_x.y~z"));
}

}  // namespace
}  // namespace mattivo_test
