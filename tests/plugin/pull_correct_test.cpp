// Correction rounds through the plug-in's C interface against a scripted
// backend: marks on several frames in the start document, a second pull of
// unchanged frames that uploads nothing, and every reason to upload again.
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "pull_fixture.h"
#include "testing/png_testing.h"

namespace testpull {
namespace {

using json = nlohmann::json;
using Script = ScriptedBackend::Script;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class PullCorrect : public PullTest {
 protected:
  // Uploads, creates and starts the backend has seen since `from` (an index into its lines).
  struct Traffic {
    int creates = 0, uploads = 0;
    std::vector<std::string> starts;  // paths
  };
  static Traffic traffic(ScriptedBackend& backend, size_t from) {
    Traffic t;
    const auto lines = backend.lines();
    for (size_t i = from; i < lines.size(); ++i) {
      t.creates += lines[i] == "POST /api/matte/sessions";
      t.uploads += lines[i].rfind("PUT ", 0) == 0;
      if (lines[i].size() > 6 && lines[i].compare(lines[i].size() - 6, 6, "/start") == 0) {
        t.starts.push_back(lines[i].substr(5));
      }
    }
    return t;
  }
  static json last_start(ScriptedBackend& backend) {
    json doc;
    for (const auto& r : backend.requests()) {
      if (r.path.size() > 6 && r.path.compare(r.path.size() - 6, 6, "/start") == 0) doc = json::parse(r.body);
    }
    return doc;
  }
  std::string pull_again(double time = 0.0) {
    instance_->set_string("status", "idle");
    EXPECT_TRUE(press_when_idle(*instance_, time));
    return wait_for_end(*instance_);
  }
  // Mattes that name their round, so a test sees which set render reads.
  static void serve_round(ScriptedBackend& backend, int round) {
    backend.set([round](Script& s) {
      s.matte = [round](int i) {
        return Answer{200, "round-" + std::to_string(round) + "-" + std::to_string(i), "image/png"};
      };
    });
  }
};

TEST_F(PullCorrect, UnchangedFramesAreNotUploadedAgainAndTheNewMattesReplaceTheOld) {
  ScriptedBackend backend;
  serve_round(backend, 1);
  set_clip(*instance_, 10.0, 6);
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})");
  ASSERT_EQ(pull(*instance_, 12.0), "ready: 6 frames matted");
  EXPECT_EQ(instance_->get_string("session_id"), "sess-1");
  const std::string first_set = root() + "sess-1/";
  const size_t seen = backend.lines().size();

  // A correction on frame 15, held at download so the old set can be looked at meanwhile.
  instance_->set_string("frame_marks", R"({"frames":{"15":{"strokes":[[0.7,0.5,-0.04]]}},"editing":12})");
  serve_round(backend, 2);
  backend.hold("download", true);
  instance_->set_string("status", "idle");
  ASSERT_TRUE(press_when_idle(*instance_, 12.0));
  ASSERT_TRUE(eventually([&] { return backend.waiting("download") > 0; }));
  // While the new mattes come in, the instance still names the whole old set.
  EXPECT_EQ(instance_->get_string("session_id"), "sess-1");
  EXPECT_EQ(read_all(first_set + "000003.png"), "round-1-3");
  backend.hold("download", false);
  EXPECT_EQ(wait_for_end(*instance_), "ready: 6 frames matted");

  const Traffic t = traffic(backend, seen);
  EXPECT_EQ(t.creates, 0);
  EXPECT_EQ(t.uploads, 0);
  EXPECT_EQ(t.starts, std::vector<std::string>{"/api/matte/sessions/sess-1/start"});
  const json start = last_start(backend);
  EXPECT_EQ(start["anchor_frame"], 2);
  EXPECT_EQ(start["marked_frames"], json::parse(R"([{"frame":5,"strokes":[[0.7,0.5,-0.04]]}])"));
  // The round went to a folder of its own; the first set is still whole.
  const std::string round = instance_->get_string("session_id");
  EXPECT_EQ(round.rfind("round_", 0), 0u) << round;
  EXPECT_EQ(files_in(root() + round), numbered(0, 6, ".png"));
  EXPECT_EQ(read_all(root() + round + "/000005.png"), "round-2-5");
  EXPECT_EQ(read_all(first_set + "000005.png"), "round-1-5");
  EXPECT_EQ(instance_->string_history("status").back(), "ready: 6 frames matted");

  // A third round builds on the second as the second did on the first.
  const size_t seen2 = backend.lines().size();
  ASSERT_EQ(pull_again(12.0), "ready: 6 frames matted");
  const Traffic t2 = traffic(backend, seen2);
  EXPECT_EQ(t2.uploads, 0);
  EXPECT_EQ(t2.starts, std::vector<std::string>{"/api/matte/sessions/sess-1/start"});
  EXPECT_NE(instance_->get_string("session_id"), round);
}

TEST_F(PullCorrect, AChangedFrameOrAnotherBackendUploadsEveryFrameToANewSession) {
  ScriptedBackend backend;
  set_clip(*instance_, 0.0, 5);
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("text_hint", "the dancer");
  ASSERT_EQ(pull(*instance_), "ready: 5 frames matted");
  const std::string kept = upload_dir();

  // Frame 3 changes by one pixel's worth of colour; the rest are as they were.
  instance_->set_source([](double t) -> std::optional<ofxhost::Image> {
    ofxhost::Image frame = source_frame(static_cast<int>(t), 64, 36);
    if (static_cast<int>(t) == 3) frame.pixel8(10, 10)[0] ^= 0x40;
    return frame;
  });
  backend.set([](Script& s) { s.create = {201, R"({"session_id":"sess-2"})"}; });
  size_t seen = backend.lines().size();
  ASSERT_EQ(pull_again(), "ready: 5 frames matted");
  Traffic t = traffic(backend, seen);
  EXPECT_EQ(t.creates, 1);
  EXPECT_EQ(t.uploads, 5);
  EXPECT_EQ(t.starts, std::vector<std::string>{"/api/matte/sessions/sess-2/start"});
  EXPECT_EQ(instance_->get_string("session_id"), "sess-2");
  // The frames the new session holds replace the old ones on disk too.
  EXPECT_FALSE(fs::exists(kept));
  EXPECT_EQ(upload_dirs().size(), 1u);

  // The same frames at another backend URL (same server, other spelling) are a full pull too.
  ScriptedBackend other;
  other.set([](Script& s) { s.create = {201, R"({"session_id":"sess-9"})"}; });
  instance_->set_string("backend_url", other.url());
  ASSERT_EQ(pull_again(), "ready: 5 frames matted");
  t = traffic(other, 0);
  EXPECT_EQ(t.creates, 1);
  EXPECT_EQ(t.uploads, 5);

  // And so is a clip one frame longer.
  set_clip(*instance_, 0.0, 6);
  other.set([](Script& s) { s.create = {201, R"({"session_id":"sess-10"})"}; });
  seen = other.lines().size();
  ASSERT_EQ(pull_again(), "ready: 6 frames matted");
  EXPECT_EQ(traffic(other, seen).uploads, 6);
}

TEST_F(PullCorrect, ABackendThatRefusesTheSecondStartGetsEveryFrameAgain) {
  for (const int refusal : {404, 409, 400}) {
    SCOPED_TRACE(refusal);
    ScriptedBackend backend;
    set_clip(*instance_, 0.0, 4);
    instance_->set_string("backend_url", backend.url());
    instance_->set_string("session_id", "");
    instance_->set_string("text_hint", "the dancer");
    ASSERT_EQ(pull_again(), "ready: 4 frames matted");
    std::vector<std::string> first_upload;
    for (int i = 0; i < 4; ++i) first_upload.push_back(backend.frame(i));

    backend.set([refusal](Script& s) {
      s.start_of["sess-1"] = {refusal, "unknown session"};
      s.create = {201, R"({"session_id":"sess-2"})"};
    });
    const size_t seen = backend.lines().size();
    ASSERT_EQ(pull_again(), "ready: 4 frames matted");
    const Traffic t = traffic(backend, seen);
    EXPECT_EQ(t.starts, (std::vector<std::string>{"/api/matte/sessions/sess-1/start",
                                                  "/api/matte/sessions/sess-2/start"}));
    EXPECT_EQ(t.creates, 1);
    EXPECT_EQ(t.uploads, 4);
    // The very bytes of the first upload, from the kept frames.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(backend.frame(i), first_upload[i]) << i;
    EXPECT_EQ(instance_->get_string("session_id"), "sess-2");
  }
}

TEST_F(PullCorrect, ABackendThatFailsTheSecondStartOtherwiseEndsThePullAndKeepsTheMatte) {
  ScriptedBackend backend;
  set_clip(*instance_, 0.0, 3);
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("text_hint", "the dancer");
  ASSERT_EQ(pull(*instance_), "ready: 3 frames matted");
  backend.set([](Script& s) { s.start = {503, "busy, try again later"}; });
  const size_t seen = backend.lines().size();
  EXPECT_EQ(pull_again(), "failed: start rejected: busy, try again later");
  EXPECT_EQ(traffic(backend, seen).uploads, 0);
  EXPECT_EQ(instance_->get_string("session_id"), "sess-1");
  // Nothing was lost: once the backend is back, the round needs no upload either.
  backend.set([](Script& s) { s.start = {200, R"({"status":"RUNNING"})"}; });
  const size_t seen2 = backend.lines().size();
  EXPECT_EQ(pull_again(), "ready: 3 frames matted");
  EXPECT_EQ(traffic(backend, seen2).uploads, 0);
}

// A backend that knows nothing of marked_frames reads the old keys alone: they
// are exactly what a pull with the anchor's marks alone sends.
TEST_F(PullCorrect, ABackendIgnoringMarkedFramesSeesTheAnchorOnlyDocument) {
  ScriptedBackend backend;
  set_clip(*instance_, 0.0, 8);
  instance_->set_string("backend_url", backend.url());
  instance_->set_string("bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})");
  instance_->set_string("brush_json", "[[0.2,0.3,0.03]]");
  instance_->set_string("frame_marks", R"({"editing":2,"frames":{}})");
  ASSERT_EQ(pull(*instance_, 2.0), "ready: 8 frames matted");
  const json anchor_only = last_start(backend);
  EXPECT_FALSE(anchor_only.contains("marked_frames"));

  instance_->set_string("frame_marks", R"({"editing":2,"frames":{"5":{"strokes":[[0.6,0.5,-0.04]]},)"
                                       R"("7":{"bbox":{"h":0.3,"w":0.3,"x":0.4,"y":0.4},"strokes":[]}}})");
  ASSERT_EQ(pull_again(2.0), "ready: 8 frames matted");
  json with_marks = last_start(backend);
  ASSERT_EQ(with_marks["marked_frames"].size(), 2u);
  with_marks.erase("marked_frames");
  EXPECT_EQ(with_marks, anchor_only);
}

// A project saved before marks had frames: its parameters alone, as a host loads them.
TEST_F(PullCorrect, AProjectSavedBeforeMarksHadFramesLoadsRendersAndPullsAsBefore) {
  ASSERT_TRUE(fs::create_directories(tmp_ + "/corvane/sess-old"));
  fs::permissions(tmp_ + "/corvane", fs::perms::owner_all, fs::perm_options::replace);
  // Each stored matte is white on its left half, black on its right.
  std::vector<unsigned char> half(64 * 36, 0);
  for (int y = 0; y < 36; ++y) std::fill(half.begin() + y * 64, half.begin() + y * 64 + 32, 255);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(
        testing_png::write_png(tmp_ + "/corvane/sess-old/" + numbered(i, i + 1, ".png")[0], 64, 36, 1, half));
  }
  ScriptedBackend backend;
  auto old = plugin_->create_instance(nullptr, {{"backend_url", backend.url()},
                                                {"bbox_json", R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})"},
                                                {"brush_json", "[[0.2,0.3,0.03],[0.5,0.5,-0.02]]"},
                                                {"session_id", "sess-old"},
                                                {"clip_start", "20.000000"}});
  ASSERT_TRUE(old);
  set_clip(*old, 20.0, 3);
  EXPECT_EQ(old->get_string("frame_marks"), "{}");
  old->set_int("output_mode", 1);
  ofxhost::Image out = ofxhost::make_image({0, 0, 64, 36}, kOfxBitDepthByte);
  ASSERT_EQ(old->render(21.0, out), kOfxStatOK);
  EXPECT_EQ(out.pixel8(2, 18)[0], 255);
  EXPECT_EQ(out.pixel8(60, 18)[0], 0);

  // Its selection pulls from the frame pressed on, in the old keys only.
  old->press("pull_alpha", 22.0);
  ASSERT_EQ(wait_for_end(*old), "ready: 3 frames matted");
  EXPECT_EQ(backend.requests().back().path.rfind("/api/matte/sessions/sess-1/alpha/", 0), 0u);
  EXPECT_EQ(last_start(backend).dump(),
            R"({"anchor_frame":2,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"edge_softness":0.35,)"
            R"("quality":"fine","strokes":[[0.2,0.3,0.03],[0.5,0.5,-0.02]],"text_prompt":""})");
}

}  // namespace
}  // namespace testpull
