// Loading HostProbe once per test suite, and small helpers the host tests share.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ofxhost/ofx_host.h"

namespace probe {

class ProbeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    plugin_ = ofxhost::Plugin::load(PROBE_BUNDLE, &error).release();
    ASSERT_NE(plugin_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete plugin_;
    plugin_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(plugin_, nullptr);
    OfxStatus st = -1;
    instance_ = plugin_->create_instance(&st);
    ASSERT_NE(instance_, nullptr) << "create instance status " << st;
  }
  void TearDown() override { instance_.reset(); }

  static ofxhost::Plugin* plugin_;
  std::unique_ptr<ofxhost::Instance> instance_;
};

inline ofxhost::Plugin* ProbeTest::plugin_ = nullptr;

template <typename Suite>
const Suite* suite(const char* name, int version = 1) {
  const OfxHost* h = ofxhost::host();
  return static_cast<const Suite*>(h->fetchSuite(h->host, name, version));
}

}  // namespace probe
