// Shared pieces of the backend tests: temporary folders, generated clips and
// an in-process server on a free loopback port.
#pragma once

#include "testing/backend_process.h"
#include "testing/plugin_client.h"

#include "clipgen/clipgen.h"
#include "protocol/clip_folder.h"
#include "server/backend_server.h"
#include "server/session_store.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace mattivo_test {

struct TempDir {
  std::string path = make_temp_dir("test");
  ~TempDir() { remove_tree(path); }
};

// A generated clip, cached per process: clips are deterministic for a seed.
inline std::string test_clip(const std::string& scenario, int width = 320, int height = 180, int frames = 12,
                             int seed = 2) {
  static TempDir root;
  std::string dir = root.path + "/" + scenario + "-" + std::to_string(width) + "x" + std::to_string(height) +
                    "-" + std::to_string(frames) + "-" + std::to_string(seed);
  if (!std::filesystem::exists(dir + "/" + protocol::kClipDocument)) {
    tessel::ClipSpec spec;
    tessel::scenario_spec(scenario, &spec);
    spec.width = width;
    spec.height = height;
    spec.frames = frames;
    spec.seed = static_cast<std::uint64_t>(seed);
    std::string error;
    EXPECT_TRUE(tessel::write_clip(spec, dir, true, &error)) << error;
  }
  return dir;
}

// The backend inside the test process, with its own data folder.
struct LocalBackend {
  TempDir data;
  std::unique_ptr<tessel::BackendServer> server;
  std::string url;

  explicit LocalBackend(tessel::ServerOptions options = {}) { start(options); }
  void start(tessel::ServerOptions options) {
    options.host = "127.0.0.1";
    options.port = 0;
    if (options.data_dir.empty()) options.data_dir = data.path;
    server = std::make_unique<tessel::BackendServer>(options);
    std::string error;
    ASSERT_TRUE(server->start(&error)) << error;
    url = server->base_url();
  }
  void restart(tessel::ServerOptions options = {}) {
    server->stop();
    server.reset();
    start(options);
  }
};

inline nlohmann::json parse(const std::string& body) { return nlohmann::json::parse(body, nullptr, false); }

// Polls until the session is COMPLETED or FAILED (bounded), returning the last answer.
inline nlohmann::json wait_done(const PluginClient& client, const std::string& session_url,
                                double seconds = 120) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  nlohmann::json doc;
  while (std::chrono::steady_clock::now() < end) {
    doc = parse(client.get(session_url).body);
    if (doc.is_object() && (doc.value("status", "") == "COMPLETED" || doc.value("status", "") == "FAILED"))
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return doc;
}

inline std::string create_session(const PluginClient& client, const std::string& base) {
  Reply r = client.post_json(base + "/api/matte/sessions", R"({"fps":24.0,"source":"plugin"})");
  EXPECT_EQ(r.code, 200) << r.body;
  return parse(r.body).value("session_id", "");
}

// The stem of frame and matte files, short for the many tests that name them.
inline std::string six(int i) { return protocol::index_name(i); }

// Uploads the clip's first `count` frames to a session; true when all were accepted.
inline bool upload_frames(const PluginClient& client, const std::string& session_url, const std::string& clip,
                          int count) {
  for (int i = 0; i < count; ++i) {
    Reply r = client.put_bytes(session_url + "/frames/" + std::to_string(i),
                               read_file(clip + "/frames/" + six(i) + ".jpg"));
    if (r.code != 200) return false;
  }
  return true;
}

// Puts the walk clip's first `count` frames into a new session of `store`,
// driven by hand as the server would; its id, empty on failure.
inline std::string store_session_with_frames(tessel::SessionStore* store, int count) {
  std::string id;
  EXPECT_EQ(store->create(24.0, &id).code, 200);
  const std::string frame = read_file(test_clip("walk") + "/frames/000000.jpg");
  for (int i = 0; i < count; ++i) {
    tessel::UploadTicket ticket;
    bool ok = store->begin_upload(id, i, static_cast<long long>(frame.size()), &ticket).code == 200 &&
              store->write_upload(&ticket, frame.data(), frame.size()).code == 200 &&
              store->finish_upload(&ticket).code == 200;
    EXPECT_TRUE(ok) << "frame " << i;
    if (!ok) return "";
  }
  return id;
}

}  // namespace mattivo_test
