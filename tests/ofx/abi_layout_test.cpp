// The layout of our OpenFX declarations, pinned to what hosts and plug-ins
// built from the published headers expect on x86_64 Linux. The static_asserts
// are the real check: a wrong member order or type stops the build.
#include <gtest/gtest.h>

#include <climits>
#include <cstddef>
#include <cstring>

#include "ofx/ofx_api.h"

#define SIZE(S, n, a)                          \
  static_assert(sizeof(S) == (n), #S " size"); \
  static_assert(alignof(S) == (a), #S " alignment")
#define OFFSET(S, m, n) static_assert(offsetof(S, m) == (n), #S "." #m " offset")

static_assert(sizeof(OfxStatus) == 4, "OfxStatus");
static_assert(sizeof(OfxTime) == 8, "OfxTime");
SIZE(OfxHost, 16, 8);
OFFSET(OfxHost, host, 0);
OFFSET(OfxHost, fetchSuite, 8);
SIZE(OfxPlugin, 48, 8);
OFFSET(OfxPlugin, pluginApi, 0);
OFFSET(OfxPlugin, apiVersion, 8);
OFFSET(OfxPlugin, pluginIdentifier, 16);
OFFSET(OfxPlugin, pluginVersionMajor, 24);
OFFSET(OfxPlugin, pluginVersionMinor, 28);
OFFSET(OfxPlugin, setHost, 32);
OFFSET(OfxPlugin, mainEntry, 40);
SIZE(OfxRangeD, 16, 8);
OFFSET(OfxRangeD, min, 0);
OFFSET(OfxRangeD, max, 8);
SIZE(OfxPointD, 16, 8);
OFFSET(OfxPointD, x, 0);
OFFSET(OfxPointD, y, 8);
SIZE(OfxRectI, 16, 4);
OFFSET(OfxRectI, x1, 0);
OFFSET(OfxRectI, y1, 4);
OFFSET(OfxRectI, x2, 8);
OFFSET(OfxRectI, y2, 12);
SIZE(OfxRectD, 32, 8);
OFFSET(OfxRectD, x1, 0);
OFFSET(OfxRectD, y1, 8);
OFFSET(OfxRectD, x2, 16);
OFFSET(OfxRectD, y2, 24);
SIZE(OfxPropertySuiteV1, 144, 8);
OFFSET(OfxPropertySuiteV1, propSetPointer, 0);
OFFSET(OfxPropertySuiteV1, propSetString, 8);
OFFSET(OfxPropertySuiteV1, propSetDouble, 16);
OFFSET(OfxPropertySuiteV1, propSetInt, 24);
OFFSET(OfxPropertySuiteV1, propSetPointerN, 32);
OFFSET(OfxPropertySuiteV1, propSetStringN, 40);
OFFSET(OfxPropertySuiteV1, propSetDoubleN, 48);
OFFSET(OfxPropertySuiteV1, propSetIntN, 56);
OFFSET(OfxPropertySuiteV1, propGetPointer, 64);
OFFSET(OfxPropertySuiteV1, propGetString, 72);
OFFSET(OfxPropertySuiteV1, propGetDouble, 80);
OFFSET(OfxPropertySuiteV1, propGetInt, 88);
OFFSET(OfxPropertySuiteV1, propGetPointerN, 96);
OFFSET(OfxPropertySuiteV1, propGetStringN, 104);
OFFSET(OfxPropertySuiteV1, propGetDoubleN, 112);
OFFSET(OfxPropertySuiteV1, propGetIntN, 120);
OFFSET(OfxPropertySuiteV1, propReset, 128);
OFFSET(OfxPropertySuiteV1, propGetDimension, 136);
SIZE(OfxParameterSuiteV1, 144, 8);
OFFSET(OfxParameterSuiteV1, paramDefine, 0);
OFFSET(OfxParameterSuiteV1, paramGetHandle, 8);
OFFSET(OfxParameterSuiteV1, paramSetGetPropertySet, 16);
OFFSET(OfxParameterSuiteV1, paramGetPropertySet, 24);
OFFSET(OfxParameterSuiteV1, paramGetValue, 32);
OFFSET(OfxParameterSuiteV1, paramGetValueAtTime, 40);
OFFSET(OfxParameterSuiteV1, paramGetDerivative, 48);
OFFSET(OfxParameterSuiteV1, paramGetIntegral, 56);
OFFSET(OfxParameterSuiteV1, paramSetValue, 64);
OFFSET(OfxParameterSuiteV1, paramSetValueAtTime, 72);
OFFSET(OfxParameterSuiteV1, paramGetNumKeys, 80);
OFFSET(OfxParameterSuiteV1, paramGetKeyTime, 88);
OFFSET(OfxParameterSuiteV1, paramGetKeyIndex, 96);
OFFSET(OfxParameterSuiteV1, paramDeleteKey, 104);
OFFSET(OfxParameterSuiteV1, paramDeleteAllKeys, 112);
OFFSET(OfxParameterSuiteV1, paramCopy, 120);
OFFSET(OfxParameterSuiteV1, paramEditBegin, 128);
OFFSET(OfxParameterSuiteV1, paramEditEnd, 136);
SIZE(OfxInteractSuiteV1, 24, 8);
OFFSET(OfxInteractSuiteV1, interactSwapBuffers, 0);
OFFSET(OfxInteractSuiteV1, interactRedraw, 8);
OFFSET(OfxInteractSuiteV1, interactGetPropertySet, 16);
SIZE(OfxMessageSuiteV1, 8, 8);
OFFSET(OfxMessageSuiteV1, message, 0);
SIZE(OfxMessageSuiteV2, 24, 8);
OFFSET(OfxMessageSuiteV2, message, 0);
OFFSET(OfxMessageSuiteV2, setPersistentMessage, 8);
OFFSET(OfxMessageSuiteV2, clearPersistentMessage, 16);
SIZE(OfxMemorySuiteV1, 16, 8);
OFFSET(OfxMemorySuiteV1, memoryAlloc, 0);
OFFSET(OfxMemorySuiteV1, memoryFree, 8);
SIZE(OfxMultiThreadSuiteV1, 72, 8);
OFFSET(OfxMultiThreadSuiteV1, multiThread, 0);
OFFSET(OfxMultiThreadSuiteV1, multiThreadNumCPUs, 8);
OFFSET(OfxMultiThreadSuiteV1, multiThreadIndex, 16);
OFFSET(OfxMultiThreadSuiteV1, multiThreadIsSpawnedThread, 24);
OFFSET(OfxMultiThreadSuiteV1, mutexCreate, 32);
OFFSET(OfxMultiThreadSuiteV1, mutexDestroy, 40);
OFFSET(OfxMultiThreadSuiteV1, mutexLock, 48);
OFFSET(OfxMultiThreadSuiteV1, mutexUnLock, 56);
OFFSET(OfxMultiThreadSuiteV1, mutexTryLock, 64);
SIZE(OfxImageEffectSuiteV1, 104, 8);
OFFSET(OfxImageEffectSuiteV1, getPropertySet, 0);
OFFSET(OfxImageEffectSuiteV1, getParamSet, 8);
OFFSET(OfxImageEffectSuiteV1, clipDefine, 16);
OFFSET(OfxImageEffectSuiteV1, clipGetHandle, 24);
OFFSET(OfxImageEffectSuiteV1, clipGetPropertySet, 32);
OFFSET(OfxImageEffectSuiteV1, clipGetImage, 40);
OFFSET(OfxImageEffectSuiteV1, clipReleaseImage, 48);
OFFSET(OfxImageEffectSuiteV1, clipGetRegionOfDefinition, 56);
OFFSET(OfxImageEffectSuiteV1, abort, 64);
OFFSET(OfxImageEffectSuiteV1, imageMemoryAlloc, 72);
OFFSET(OfxImageEffectSuiteV1, imageMemoryFree, 80);
OFFSET(OfxImageEffectSuiteV1, imageMemoryLock, 88);
OFFSET(OfxImageEffectSuiteV1, imageMemoryUnlock, 96);
SIZE(OfxProgressSuiteV1, 24, 8);
OFFSET(OfxProgressSuiteV1, progressStart, 0);
OFFSET(OfxProgressSuiteV1, progressUpdate, 8);
OFFSET(OfxProgressSuiteV1, progressEnd, 16);

// Geometry structs not in the offsets table.
SIZE(OfxRangeI, 8, 4);
SIZE(OfxPointI, 8, 4);
OFFSET(OfxRangeI, max, 4);
OFFSET(OfxPointI, y, 4);

// Status codes.
static_assert(kOfxStatOK == 0 && kOfxStatFailed == 1 && kOfxStatErrFatal == 2);
static_assert(kOfxStatErrUnknown == 3 && kOfxStatErrMissingHostFeature == 4);
static_assert(kOfxStatErrUnsupported == 5 && kOfxStatErrExists == 6 && kOfxStatErrFormat == 7);
static_assert(kOfxStatErrMemory == 8 && kOfxStatErrBadHandle == 9 && kOfxStatErrBadIndex == 10);
static_assert(kOfxStatErrValue == 11 && kOfxStatReplyYes == 12 && kOfxStatReplyNo == 13);
static_assert(kOfxStatReplyDefault == 14 && kOfxStatUnlicensed == 15);
static_assert(kOfxStatErrImageFormat == 1000);

namespace {

// Names whose values differ from what their macro names suggest.
TEST(OfxNames, QuirkyValuesAreCopiedExactly) {
  EXPECT_STREQ(kOfxImageEffectPropProjectPixelAspectRatio, "OfxImageEffectPropPixelAspectRatio");
  EXPECT_STREQ(kOfxImageEffectPropSupportsMultipleClipDepths, "OfxImageEffectPropMultipleClipDepths");
  EXPECT_STREQ(kOfxInteractPropViewportSize, "OfxInteractPropViewport");
  EXPECT_STREQ(kOfxImagePreMultiplied, "OfxImageAlphaPremultiplied");
  EXPECT_STREQ(kOfxImageUnPreMultiplied, "OfxImageAlphaUnPremultiplied");
  EXPECT_STREQ(kOfxImageFieldNone, "OfxFieldNone");
  EXPECT_STREQ(kOfxImageEffectPluginApi, "OfxImageEffectPluginAPI");
  EXPECT_EQ(kOfxFlagInfiniteMin, INT_MIN);
  EXPECT_EQ(kOfxFlagInfiniteMax, INT_MAX);
}

}  // namespace
