#include "testing/session_flow.h"

#include <nlohmann/json.hpp>

#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

namespace mattivo_test {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

}  // namespace

int clip_frame_count(const std::string& clip_dir) {
  json doc = protocol::read_clip_document(clip_dir);
  return doc.is_object() ? doc.value(protocol::clip_key::kFrames, 0) : 0;
}

std::string clip_request(const std::string& clip_dir, const std::string& quality,
                         const std::string& selection, double softness) {
  const json clip = protocol::read_clip_document(clip_dir);
  if (!clip.is_object()) return "";
  // Clips written before they carried a hint are asked for with a plain one.
  const std::string hint = clip.value(protocol::clip_key::kHint, std::string("the person walking"));
  return protocol::dump_compact(protocol::clip_request(clip, quality, selection, softness, hint));
}

SessionRun run_plugin_session(const PluginClient& client, const std::string& base_url,
                              const std::string& frames_dir, int count, const std::string& request,
                              const std::string& out_dir, int poll_ms, double timeout_seconds) {
  SessionRun run;
  Reply created = client.post_json(protocol::sessions_url(base_url), protocol::create_body(24.0));
  json c = json::parse(created.body, nullptr, false);
  if (created.code < 200 || created.code > 299 || c.is_discarded()) {
    run.failure = "cannot reach backend";
    return run;
  }
  run.id = protocol::text_member(c, protocol::key::kSessionId, "");
  const std::string session = protocol::session_url(base_url, run.id);

  auto t = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::string bytes =
        read_file(frames_dir + "/" + protocol::indexed_file_name(i, protocol::kFrameExtension));
    Reply r;
    for (int attempt = 0; attempt < 3; ++attempt) {
      r = client.put_bytes(protocol::frame_url(session, i), bytes);
      if (r.code >= 200 && r.code <= 299) break;
    }
    if (r.code < 200 || r.code > 299) {
      run.failure = "upload failed at frame " + std::to_string(i);
      return run;
    }
  }
  run.upload_seconds = since(t);

  t = Clock::now();
  Reply started = client.post_json(protocol::start_url(session), request);
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
    json doc = protocol::parse_answer(p.body);
    if (p.code < 200 || p.code > 299 || !doc.is_object()) continue;
    std::string status = protocol::text_member(doc, protocol::key::kStatus, "");
    if (status == protocol::kFailed) {
      run.failure = protocol::text_member(doc, protocol::key::kError, "matting failed");
      run.refused = true;
      return run;
    }
    if (status == protocol::kCompleted) break;
    if (doc.contains(protocol::key::kProgress) && doc[protocol::key::kProgress].is_object()) {
      std::string stage = protocol::text_member(doc[protocol::key::kProgress], protocol::key::kStage, "...");
      if (run.stages.empty() || run.stages.back() != stage) run.stages.push_back(stage);
    }
  }
  run.matte_seconds = since(t);

  t = Clock::now();
  for (int i = 0; i < count; ++i) {
    Reply r = client.get(protocol::alpha_url(session, i));
    if (r.code < 200 || r.code > 299) {
      run.failure = "download failed at frame " + std::to_string(i);
      return run;
    }
    std::ofstream(out_dir + "/" + protocol::indexed_file_name(i, protocol::kMatteExtension), std::ios::binary)
        << r.body;
  }
  run.download_seconds = since(t);
  run.ok = true;
  return run;
}

}  // namespace mattivo_test
