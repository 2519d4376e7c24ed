// The bundle binary as a bare shared library: its exports, its record, and
// how it copes with hosts that give no suites or throw from their callbacks.
// No headless host here: these tests are the host.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <stdexcept>
#include <string>

#include "ofx/ofx_api.h"

namespace {

const char* kBinary = MATTIVO_BUNDLE_DIR "/Contents/Linux-x86-64/CorvaneMattivo.ofx";

struct Library {
  void* handle = dlopen(kBinary, RTLD_NOW | RTLD_LOCAL);
  ~Library() {
    if (handle) {
      dlclose(handle);
    }
  }
  template <typename F>
  F* symbol(const char* name) const {
    return reinterpret_cast<F*>(dlsym(handle, name));
  }
};

using GetNumber = int();
using GetPlugin = OfxPlugin*(int);

const OfxPlugin* load_record(const Library& lib) {
  auto get = lib.symbol<GetPlugin>("OfxGetPlugin");
  return get ? get(0) : nullptr;
}

TEST(PluginBinary, ExportsExactlyTheTwoEntryPoints) {
  const std::string command = std::string("nm -D --defined-only '") + kBinary + "'";
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    char address[64], kind[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, kind, name) == 3) {
      names.insert(name);
    }
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names, (std::set<std::string>{"OfxGetNumberOfPlugins", "OfxGetPlugin"}));
}

TEST(PluginBinary, OneRecordWhateverIsAsked) {
  Library lib;
  ASSERT_NE(lib.handle, nullptr) << dlerror();
  auto count = lib.symbol<GetNumber>("OfxGetNumberOfPlugins");
  auto get = lib.symbol<GetPlugin>("OfxGetPlugin");
  ASSERT_TRUE(count && get);
  EXPECT_EQ(count(), 1);
  const OfxPlugin* record = get(0);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(get(5), record);
  EXPECT_EQ(get(-1), record);
  EXPECT_STREQ(record->pluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(record->apiVersion, 1);
  const std::string id = record->pluginIdentifier;
  const std::string tail = ".mattivo.ofx";
  ASSERT_GT(id.size(), tail.size());
  EXPECT_EQ(id.compare(id.size() - tail.size(), tail.size(), tail), 0) << id;
  EXPECT_EQ(id.find_first_of(" \t\n"), std::string::npos);
  EXPECT_EQ(record->pluginVersionMajor, 1u);
  EXPECT_EQ(record->pluginVersionMinor, 1u);
  EXPECT_NE(record->setHost, nullptr);
  EXPECT_NE(record->mainEntry, nullptr);
}

const void* no_suites(OfxPropertySetHandle, const char*, int) { return nullptr; }

TEST(PluginBinary, HostWithoutSuitesNeverCrashesIt) {
  Library lib;
  const OfxPlugin* record = load_record(lib);
  ASSERT_NE(record, nullptr);
  for (bool null_host : {true, false}) {
    OfxHost host{nullptr, no_suites};
    record->setHost(null_host ? nullptr : &host);
    auto main = record->mainEntry;
    EXPECT_EQ(main(kOfxActionLoad, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main(kOfxActionDescribe, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main(kOfxImageEffectActionDescribeInContext, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main(kOfxActionCreateInstance, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main(kOfxImageEffectActionGetClipPreferences, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main(kOfxImageEffectActionRender, nullptr, nullptr, nullptr), kOfxStatFailed);
    EXPECT_EQ(main(kOfxActionInstanceChanged, nullptr, nullptr, nullptr), kOfxStatReplyDefault);
    EXPECT_EQ(main(kOfxActionDestroyInstance, nullptr, nullptr, nullptr), kOfxStatOK);
    EXPECT_EQ(main("OfxActionSomethingNew", nullptr, nullptr, nullptr), kOfxStatReplyDefault);
    EXPECT_EQ(main(nullptr, nullptr, nullptr, nullptr), kOfxStatReplyDefault);
    EXPECT_EQ(main(kOfxActionUnload, nullptr, nullptr, nullptr), kOfxStatOK);
  }
}

// A property suite whose string getter throws, as a C++ host's might.
int gThrowKind = 0;

OfxStatus throwing_get_string(OfxPropertySetHandle, const char*, int, char**) {
  if (gThrowKind == 0) {
    throw std::bad_alloc();
  }
  throw std::runtime_error("host failure");
}

OfxPropertySuiteV1 gThrowingProps = [] {
  OfxPropertySuiteV1 suite{};
  suite.propGetString = throwing_get_string;
  return suite;
}();

const void* throwing_suites(OfxPropertySetHandle, const char* name, int) {
  return std::strcmp(name, kOfxPropertySuite) == 0 ? &gThrowingProps : nullptr;
}

TEST(PluginBinary, NoExceptionCrossesIntoTheHost) {
  Library lib;
  const OfxPlugin* record = load_record(lib);
  ASSERT_NE(record, nullptr);
  OfxHost host{nullptr, throwing_suites};
  record->setHost(&host);
  int args = 0;  // any non-null in-arguments: the suite never looks inside
  auto in_args = reinterpret_cast<OfxPropertySetHandle>(&args);
  gThrowKind = 0;
  EXPECT_EQ(record->mainEntry(kOfxActionInstanceChanged, nullptr, in_args, nullptr), kOfxStatErrMemory);
  gThrowKind = 1;
  EXPECT_EQ(record->mainEntry(kOfxActionInstanceChanged, nullptr, in_args, nullptr), kOfxStatFailed);
  record->setHost(nullptr);
}

}  // namespace
