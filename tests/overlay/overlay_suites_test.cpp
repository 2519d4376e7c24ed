// overlayMain on its own, before or without a host's suites: it must answer
// "reply default" and touch nothing.
#include <gtest/gtest.h>

#include "overlay/overlay.h"
#include "suites/host_access.h"

namespace {

const char* const kActions[] = {kOfxInteractActionDraw,      kOfxInteractActionPenDown,
                                kOfxInteractActionPenMotion, kOfxInteractActionPenUp,
                                "OfxActionCreateInstance",   nullptr};

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
