// Loads the built bundle once per test suite through the headless host, with
// the working folder moved into a fresh temporary folder of the suite's own.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "ofxhost/ofx_host.h"

namespace plugin_testing {

class PluginSuite : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/mattivo_plugin_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tmp_ = pattern;
    setenv("TMPDIR", tmp_.c_str(), 1);
    std::string error;
    plugin_ = ofxhost::Plugin::load(MATTIVO_BUNDLE_DIR, &error);
    ASSERT_TRUE(plugin_) << error;
  }
  static void TearDownTestSuite() {
    plugin_.reset();
    std::system(("rm -rf '" + tmp_ + "'").c_str());
  }

 protected:
  void SetUp() override { ASSERT_TRUE(plugin_); }
  static ofxhost::Plugin& plugin() { return *plugin_; }
  static const std::string& tmp() { return tmp_; }
  // The plug-in's working root for this suite.
  static std::string root() { return tmp_ + "/corvane/"; }

  std::unique_ptr<ofxhost::Instance> instance() {
    // Saved with no backend: no test starts a beacon or talks to a real backend.
    OfxStatus status = -1;
    auto inst = plugin_->create_instance(&status, {{"backend_url", ""}});
    EXPECT_EQ(status, kOfxStatOK);
    return inst;
  }

 private:
  static inline std::unique_ptr<ofxhost::Plugin> plugin_;
  static inline std::string tmp_;
};

}  // namespace plugin_testing
