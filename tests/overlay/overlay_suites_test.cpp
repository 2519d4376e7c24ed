// overlayMain on its own, before or without a host's suites: it must answer
// "reply default" and touch nothing. The suite globals normally come from the plug-in.
#include <gtest/gtest.h>

#include "overlay/overlay.h"
#include "plugin/host_access.h"

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffect = nullptr;
const OfxPropertySuiteV1* gProp = nullptr;
const OfxParameterSuiteV1* gParam = nullptr;
const OfxInteractSuiteV1* gInteract = nullptr;
const OfxMessageSuiteV1* gMessage = nullptr;

namespace {

const char* const kActions[] = {kOfxInteractActionDraw, kOfxInteractActionPenDown,
                                kOfxInteractActionPenMotion, kOfxInteractActionPenUp,
                                "OfxActionCreateInstance", nullptr};

TEST(OverlayWithoutSuites, EveryActionIsLeftToTheHost) {
  int dummy = 0;
  for (const char* action : kActions) {
    EXPECT_EQ(tessel::overlayMain(action, &dummy, nullptr, nullptr), kOfxStatReplyDefault);
    EXPECT_EQ(tessel::overlayMain(action, nullptr, nullptr, nullptr), kOfxStatReplyDefault);
  }
}

TEST(OverlayWithoutSuites, SuitesMissingFunctionsAreNotCalled) {
  // A host that hands out suites with empty slots: a call through one would crash.
  const OfxImageEffectSuiteV1 effect{};
  const OfxPropertySuiteV1 prop{};
  const OfxParameterSuiteV1 param{};
  const OfxInteractSuiteV1 interact{};
  gEffect = &effect;
  gProp = &prop;
  gParam = &param;
  gInteract = &interact;
  int dummy = 0;
  for (const char* action : kActions)
    EXPECT_EQ(tessel::overlayMain(action, &dummy, nullptr, nullptr), kOfxStatReplyDefault);
  gEffect = nullptr;
  gProp = nullptr;
  gParam = nullptr;
  gInteract = nullptr;
}

}  // namespace
