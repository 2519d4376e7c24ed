// Shared by the pull tests: the plug-in (its test build, which polls every
// few milliseconds) loaded in the headless host, a private temporary folder,
// a synthetic source clip, and helpers to look at the working folder.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ofxhost/ofx_host.h"
#include "testing/host_frames.h"
#include "testing/scripted_backend.h"

namespace testpull {

namespace fs = std::filesystem;

// The colour of a source pixel: red rises to the right, green downwards (top
// row 0), blue names the frame, so every frame and row is recognisable.
inline void source_colour(int frame, int x, int y_from_top, int w, int h, unsigned char rgba[4]) {
  rgba[0] = static_cast<unsigned char>(x * 255 / std::max(1, w - 1));
  rgba[1] = static_cast<unsigned char>(y_from_top * 255 / std::max(1, h - 1));
  rgba[2] = static_cast<unsigned char>((frame * 37) % 256);
  rgba[3] = 255;
}

inline ofxhost::Image source_frame(int frame, int w, int h, const std::string& depth = kOfxBitDepthByte) {
  return testing_frames::host_frame(
      w, h, depth, [&](int x, int y, unsigned char c[4]) { source_colour(frame, x, h - 1 - y, w, h, c); });
}

// Threads of this process now: a pull that has ended leaves none of its own.
inline int thread_count() {
  int n = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (dirent* entry = ::readdir(dir)) {
      n += entry->d_name[0] != '.';
    }
    ::closedir(dir);
  }
  return n;
}

class PullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mattivo-pull-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tmp_ = pattern;
    ::setenv("TMPDIR", tmp_.c_str(), 1);
    plugin_ = load();
    ASSERT_TRUE(plugin_);
    instance_ = create(*plugin_);
    ASSERT_TRUE(instance_);
  }

  // An instance saved with `url` as its backend URL; the default empty URL
  // keeps the create action from sending a beacon anywhere.
  static std::unique_ptr<ofxhost::Instance> create(ofxhost::Plugin& plugin, const std::string& url = "") {
    return plugin.create_instance(nullptr, {{"backend_url", url}});
  }

  void TearDown() override {
    instance_.reset();
    plugin_.reset();
    std::error_code ignored;
    fs::remove_all(tmp_, ignored);
  }

  static std::unique_ptr<ofxhost::Plugin> load() {
    std::string error;
    auto plugin = ofxhost::Plugin::load(MATTIVO_PULL_TEST_PLUGIN, &error);
    EXPECT_TRUE(plugin) << error;
    return plugin;
  }

  // A clip of `count` frames from `first`, each w x h; frames listed in
  // `unreadable` (by index) cannot be fetched.
  void set_clip(ofxhost::Instance& inst, double first, int count, int w = 64, int h = 36,
                std::vector<int> unreadable = {}) {
    inst.set_frame_range(first, first + count - 1);
    inst.set_frame_rate(24.0);
    inst.set_source([first, w, h, unreadable](double t) -> std::optional<ofxhost::Image> {
      const int index = static_cast<int>(t - first);
      if (std::find(unreadable.begin(), unreadable.end(), index) != unreadable.end()) {
        return std::nullopt;
      }
      return source_frame(index, w, h);
    });
  }

  std::string root() const { return tmp_ + "/corvane/"; }
  std::string upload_dir() const {
    for (const auto& entry : fs::directory_iterator(root())) {
      if (entry.path().filename().string().rfind("upload_", 0) == 0) {
        return entry.path().string() + "/";
      }
    }
    return "";
  }
  std::vector<std::string> upload_dirs() const {
    std::vector<std::string> dirs;
    for (const auto& entry : fs::directory_iterator(root())) {
      if (entry.path().filename().string().rfind("upload_", 0) == 0) {
        dirs.push_back(entry.path().filename().string());
      }
    }
    return dirs;
  }
  static std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  static std::vector<std::string> numbered(int from, int to, const std::string& ext) {
    std::vector<std::string> names;
    for (int i = from; i < to; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "%06d", i);
      names.push_back(name + ext);
    }
    return names;
  }

  // Presses the button and waits for the pull to end with "ready: " or "failed: ".
  std::string pull(ofxhost::Instance& inst, double time = 0.0) {
    inst.press("pull_alpha", time);
    return wait_for_end(inst);
  }
  static std::string wait_for_end(ofxhost::Instance& inst) {
    std::string status;
    eventually([&] {
      status = inst.get_string("status");
      return status.rfind("ready: ", 0) == 0 || status.rfind("failed: ", 0) == 0;
    });
    return status;
  }
  // gBusy is released just after the last status write: pressing again until
  // the press is not refused as busy starts the next pull.
  bool press_when_idle(ofxhost::Instance& inst, double time = 0.0) {
    return eventually([&] {
      plugin_->clear_messages();
      inst.press("pull_alpha", time);
      return !busy_message();
    });
  }
  static size_t creates(ScriptedBackend& backend) {
    size_t n = 0;
    for (const std::string& line : backend.lines()) {
      n += line == "POST /api/matte/sessions";
    }
    return n;
  }
  std::vector<std::string> messages() const {
    std::vector<std::string> texts;
    for (const ofxhost::Message& m : plugin_->messages()) {
      texts.push_back(m.text);
    }
    return texts;
  }
  bool busy_message() const {
    const auto texts = messages();
    return std::find(texts.begin(), texts.end(), "Corvane: a matte is already being pulled.") != texts.end();
  }

  std::string tmp_;
  std::unique_ptr<ofxhost::Plugin> plugin_;
  std::unique_ptr<ofxhost::Instance> instance_;
};

}  // namespace testpull
