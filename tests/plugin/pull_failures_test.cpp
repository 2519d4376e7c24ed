// Every way a pull can fail on the backend's side ends the same way: the
// status "failed: " + text, the host message "Corvane: " + text, and the
// plug-in ready for the next pull.
#include "pull_fixture.h"

namespace testpull {
namespace {

using Script = ScriptedBackend::Script;
using PullFailure = PullTest;

struct FailureCase {
  const char* name;
  std::function<void(Script&)> script;
  std::string text;       // after "failed: " and after "Corvane: "
  std::string last_line;  // the last request the backend saw
};

std::vector<FailureCase> failure_cases() {
  const std::string refusal(500, 'r');
  return {
      {"create answers 204 without a body",
       [](Script& s) {
         s.create = {204, ""};
       },
       "cannot reach backend", "POST /api/matte/sessions"},
      {"create answers 500",
       [](Script& s) {
         s.create = {500, R"({"session_id":"x"})"};
       },
       "cannot reach backend", "POST /api/matte/sessions"},
      {"create answers HTML",
       [](Script& s) {
         s.create = {200, "<html></html>", "text/html"};
       },
       "cannot reach backend", "POST /api/matte/sessions"},
      {"create answers a JSON array",
       [](Script& s) {
         s.create = {200, R"(["sess-1"])"};
       },
       "cannot reach backend", "POST /api/matte/sessions"},
      {"upload refused three times",
       [](Script& s) { s.upload = [](int i, int) { return i == 2 ? 500 : 200; }; },
       "upload failed at frame 2", "PUT /api/matte/sessions/sess-1/frames/2"},
      {"start refused with a long body",
       [refusal](Script& s) {
         s.start = {400, refusal, "text/plain"};
       },
       "start rejected: " + refusal.substr(0, 160), "POST /api/matte/sessions/sess-1/start"},
      {"start refused without a body",
       [](Script& s) {
         s.start = {409, ""};
       },
       "start rejected: ", "POST /api/matte/sessions/sess-1/start"},
      {"backend reports FAILED with an error",
       [](Script& s) {
         s.polls = {{200, R"({"status":"RUNNING"})"},
                    {200, R"({"status":"FAILED","error":"no character found"})"}};
       },
       "no character found", "GET /api/matte/sessions/sess-1"},
      {"backend reports FAILED without an error",
       [](Script& s) {
         s.polls = {{200, R"({"status":"FAILED"})"}};
       },
       "matting failed", "GET /api/matte/sessions/sess-1"},
      {"backend reports FAILED with a non-text error",
       [](Script& s) {
         s.polls = {{200, R"({"status":"FAILED","error":{"code":7}})"}};
       },
       "matting failed", "GET /api/matte/sessions/sess-1"},
      {"download of frame 5 refused",
       [](Script& s) {
         s.matte = [](int i) { return i == 5 ? Answer{404, "gone"} : Answer{200, "png", "image/png"}; };
       },
       "download failed at frame 5", "GET /api/matte/sessions/sess-1/alpha/5.png"},
  };
}

TEST_F(PullFailure, EachFailureIsReportedInBothChannels) {
  for (const FailureCase& c : failure_cases()) {
    SCOPED_TRACE(c.name);
    ScriptedBackend backend;
    backend.set(c.script);
    plugin_->clear_messages();
    instance_->set_string("session_id", "old-session");
    set_clip(*instance_, 0.0, 8);
    instance_->set_string("backend_url", backend.url());
    ASSERT_TRUE(press_when_idle(*instance_));

    EXPECT_EQ(wait_for_end(*instance_), "failed: " + c.text);
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: " + c.text});
    EXPECT_EQ(backend.lines().back(), c.last_line);
    EXPECT_EQ(instance_->get_string("session_id"), "old-session");
    instance_->set_string("status", "idle");
  }
}

TEST_F(PullFailure, RefusedUploadIsTriedThreeTimesAndItsFrameStays) {
  ScriptedBackend backend;
  backend.set([](Script& s) { s.upload = [](int i, int) { return i == 0 ? 503 : 200; }; });
  set_clip(*instance_, 0.0, 3);
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_), "failed: upload failed at frame 0");
  EXPECT_EQ(backend.attempts(0), 3);
  EXPECT_EQ(backend.attempts(1), 0);
  EXPECT_EQ(files_in(upload_dir()), numbered(0, 3, ".jpg"));
}

TEST_F(PullFailure, RefusedDownloadKeepsTheMattesBeforeItAndTheOldSession) {
  ScriptedBackend backend;
  backend.set([](Script& s) {
    s.matte = [](int i) { return i == 5 ? Answer{500, "disk full"} : Answer{200, "png", "image/png"}; };
  });
  instance_->set_string("session_id", "old-session");
  set_clip(*instance_, 0.0, 8);
  instance_->set_string("backend_url", backend.url());

  EXPECT_EQ(pull(*instance_), "failed: download failed at frame 5");
  EXPECT_EQ(files_in(root() + "sess-1"), numbered(0, 5, ".png"));
  EXPECT_EQ(instance_->get_string("session_id"), "old-session");
}

TEST_F(PullFailure, SessionIdsThatCannotNameAFolderStopThePullBeforeUploading) {
  const std::string too_long(129, 'a');
  const char* answers[] = {
      R"({})",
      R"({"session_id":""})",
      R"({"session_id":"../../etc"})",
      R"({"session_id":"a/b"})",
      R"({"session_id":"a\\b"})",
      R"({"session_id":"."})",
      R"({"session_id":".."})",
      R"({"session_id":"a b"})",
      R"({"session_id":"%2e%2e"})",
      R"({"session_id":"x?y=1"})",
      R"({"session_id":42})",
      R"({"session_id":null})",
  };
  std::vector<std::string> bodies(std::begin(answers), std::end(answers));
  bodies.push_back(R"({"session_id":")" + too_long + "\"}");
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    ScriptedBackend backend;
    backend.set([body](Script& s) { s.create = {201, body}; });
    plugin_->clear_messages();
    set_clip(*instance_, 0.0, 2);
    instance_->set_string("backend_url", backend.url());
    ASSERT_TRUE(press_when_idle(*instance_));

    EXPECT_EQ(wait_for_end(*instance_), "failed: backend gave no usable session id");
    EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: backend gave no usable session id"});
    EXPECT_EQ(backend.lines(), std::vector<std::string>{"POST /api/matte/sessions"});
    instance_->set_string("status", "idle");
  }
  // Nothing was made outside the working root, nor any session folder in it.
  for (const std::string& name : files_in(root())) {
    EXPECT_EQ(name.rfind("upload_", 0), 0u) << name;
  }
  EXPECT_FALSE(fs::exists(tmp_ + "/etc"));

  // The longest usable id, with every allowed kind of character, goes through.
  const std::string longest = std::string(120, 'a') + "Z9-_.x.y";
  ScriptedBackend backend;
  backend.set([longest](Script& s) { s.create = {201, R"({"session_id":")" + longest + "\"}"}; });
  instance_->set_string("backend_url", backend.url());
  ASSERT_TRUE(press_when_idle(*instance_));
  EXPECT_EQ(wait_for_end(*instance_), "ready: 2 frames matted");
  EXPECT_EQ(files_in(root() + longest), numbered(0, 2, ".png"));
}

TEST_F(PullFailure, UnreachableBackendCannotBeReached) {
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", "http://127.0.0.1:" + std::to_string(testnet::closed_port()));
  EXPECT_EQ(pull(*instance_), "failed: cannot reach backend");
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: cannot reach backend"});
}

TEST_F(PullFailure, BackendGoneQuietWhileTrackingEndsThePull) {
  ScriptedBackend backend;
  backend.set([](Script& s) {
    s.polls = {{200, R"({"status":"RUNNING","progress":{"stage":"tracking"}})"}};
  });
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha", 0.0);
  ASSERT_TRUE(eventually([&] { return instance_->get_string("status") == "tracking: tracking"; }));

  backend.stop();
  EXPECT_EQ(wait_for_end(*instance_), "failed: lost contact with backend");
  EXPECT_EQ(messages(), std::vector<std::string>{"Corvane: lost contact with backend"});
}

TEST_F(PullFailure, BackendThatKeepsAnsweringIsPolledOnAndOn) {
  ScriptedBackend backend;
  backend.set([](Script& s) { s.polls = {{200, R"({"status":"QUEUED"})"}}; });
  set_clip(*instance_, 0.0, 2);
  instance_->set_string("backend_url", backend.url());
  instance_->press("pull_alpha", 0.0);

  // Polls that answer, well or badly, are not silence: well past the
  // lost-contact limit of the test build the pull is still waiting.
  auto polls = [&] {
    size_t n = 0;
    for (const std::string& line : backend.lines()) {
      n += line == "GET /api/matte/sessions/sess-1";
    }
    return n;
  };
  ASSERT_TRUE(eventually([&] { return polls() > 0; }));
  backend.set([](Script& s) { s.polls = {{503, "busy", "text/plain"}}; });
  std::this_thread::sleep_for(std::chrono::milliseconds(900));
  const size_t later = polls();
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_GT(polls(), later);
  EXPECT_EQ(instance_->get_string("status"), "uploading 1/2");

  backend.set([](Script& s) { s.polls = {{200, R"({"status":"COMPLETED"})"}}; });
  EXPECT_EQ(wait_for_end(*instance_), "ready: 2 frames matted");
}

}  // namespace
}  // namespace testpull
