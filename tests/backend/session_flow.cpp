#include "session_flow.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace mattivo_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string six(int i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%06d", i);
  return buf;
}

json clip_doc(const std::string& clip_dir) {
  return json::parse(read_file(clip_dir + "/clip.json"), nullptr, false);
}

}  // namespace

int clip_frame_count(const std::string& clip_dir) {
  json doc = clip_doc(clip_dir);
  return doc.is_object() ? doc.value("frames", 0) : 0;
}

std::string clip_request(const std::string& clip_dir, const std::string& quality, const std::string& selection,
                         double softness) {
  json clip = clip_doc(clip_dir);
  json doc{{"anchor_frame", clip.value("anchor_frame", 0)},
           {"edge_softness", softness},
           {"quality", quality},
           {"strokes", json::array()},
           {"text_prompt", ""}};
  if (selection == "box" || selection == "both") doc["bbox"] = clip["bbox"];
  if (selection == "dabs" || selection == "both") doc["strokes"] = clip["strokes"];
  if (selection == "hint") doc["text_prompt"] = "the person walking";
  return doc.dump();
}

SessionRun run_plugin_session(const PluginClient& client, const std::string& base_url,
                              const std::string& frames_dir, int count, const std::string& request,
                              const std::string& out_dir, int poll_ms, double timeout_seconds) {
  SessionRun run;
  Reply created = client.post_json(base_url + "/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})");
  json c = json::parse(created.body, nullptr, false);
  if (created.code < 200 || created.code > 299 || c.is_discarded()) {
    run.failure = "cannot reach backend";
    return run;
  }
  run.id = c.value("session_id", "");
  const std::string session = base_url + "/api/matte/sessions/" + run.id;

  auto t = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::string bytes = read_file(frames_dir + "/" + six(i) + ".jpg");
    Reply r;
    for (int attempt = 0; attempt < 3; ++attempt) {
      r = client.put_bytes(session + "/frames/" + std::to_string(i), bytes);
      if (r.code >= 200 && r.code <= 299) break;
    }
    if (r.code < 200 || r.code > 299) {
      run.failure = "upload failed at frame " + std::to_string(i);
      return run;
    }
  }
  run.upload_seconds = since(t);

  t = Clock::now();
  Reply started = client.post_json(session + "/start", request);
  if (started.code < 200 || started.code > 299) {
    run.failure = "start rejected: " + started.body.substr(0, 160);
    return run;
  }
  for (;;) {
    if (since(t) > timeout_seconds) {
      run.failure = "timed out";
      return run;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    Reply p = client.get(session);
    json doc = json::parse(p.body, nullptr, false);
    if (p.code < 200 || p.code > 299 || !doc.is_object()) continue;
    std::string status = doc.value("status", "");
    if (status == "FAILED") {
      run.failure = doc.value("error", "matting failed");
      return run;
    }
    if (status == "COMPLETED") break;
    if (doc.contains("progress") && doc["progress"].is_object()) {
      std::string stage = doc["progress"].value("stage", "...");
      if (run.stages.empty() || run.stages.back() != stage) run.stages.push_back(stage);
    }
  }
  run.matte_seconds = since(t);

  t = Clock::now();
  for (int i = 0; i < count; ++i) {
    Reply r = client.get(session + "/alpha/" + std::to_string(i) + ".png");
    if (r.code < 200 || r.code > 299) {
      run.failure = "download failed at frame " + std::to_string(i);
      return run;
    }
    std::ofstream(out_dir + "/" + six(i) + ".png", std::ios::binary) << r.body;
  }
  run.download_seconds = since(t);
  run.ok = true;
  return run;
}

}  // namespace mattivo_test
