// The library's face to the host: the plug-in record, the two exported
// functions and the action dispatcher. Nothing thrown inside an action may
// cross into the host, so both entry points answer every exception with a status.
#include <cstring>
#include <new>
#include <optional>

#include "overlay/frame_marks.h"
#include "overlay/overlay.h"
#include "plugin/beacon.h"
#include "plugin/describe.h"
#include "plugin/instance_registry.h"
#include "plugin/overlay_entry.h"
#include "plugin/pull.h"
#include "plugin/pull_cancel.h"
#include "plugin/render.h"
#include "suites/clip_time.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs);

OfxPlugin gPlugin = {
    kOfxImageEffectPluginApi,   // pluginApi
    1,                          // apiVersion
    "com.corvane.mattivo.ofx",  // pluginIdentifier
    1,                          // pluginVersionMajor
    1,                          // pluginVersionMinor
    setHost,                    // setHost: stores the host and fetches its suites
    pluginMain,                 // mainEntry
};

OfxStatus createInstance(OfxImageEffectHandle effect) {
  instanceCreated(effect);
  beaconToBackend(effect);
  return kOfxStatOK;
}

OfxStatus getClipPreferences(OfxPropertySetHandle outArgs) {
  if (gProp && outArgs) {
    gProp->propSetString(outArgs, kOfxImageEffectPropPreMultiplication, 0, kOfxImagePreMultiplied);
    // Said outright, since some hosts read them: each frame's matte differs,
    // and only whole frames have one.
    gProp->propSetInt(outArgs, kOfxImageEffectFrameVarying, 0, 1);
    gProp->propSetInt(outArgs, kOfxImageClipPropContinuousSamples, 0, 0);
  }
  return kOfxStatOK;
}

// "Clear selection" forgets what the overlay shows on the frame it was pressed
// on: the box and dabs being edited, or that frame's own marks.
void clearSelection(OfxImageEffectHandle effect, double time) {
  const std::optional<long long> frame = tessel::frame_key(time + read_clip_time(effect).offset);
  tessel::FrameMarks marks = tessel::read_frame_marks(get_string(effect, params::kFrameMarks));
  if (frame && marks.editing && *marks.editing != *frame) {
    if (marks.frames.erase(*frame) > 0)
      set_string(effect, params::kFrameMarks, tessel::frame_marks_text(marks));
    return;
  }
  set_string(effect, params::kBboxJson, "");
  set_string(effect, params::kBrushJson, "[]");
}

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (!gProp || !inArgs) {
    return kOfxStatReplyDefault;
  }
  char* name = nullptr;
  gProp->propGetString(inArgs, kOfxPropName, 0, &name);
  if (!name) {
    return kOfxStatReplyDefault;
  }
  double time = 0.0;
  gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);

  if (std::strcmp(name, params::kPullAlpha) == 0) {
    pullAlpha(effect, time);
    return kOfxStatOK;
  }
  if (std::strcmp(name, params::kCancelPull) == 0) {
    cancelPull(effect);  // the pull itself says "cancelled" once it has stopped
    return kOfxStatOK;
  }
  if (std::strcmp(name, params::kClearMask) == 0) {
    clearSelection(effect, time);
    return kOfxStatOK;
  }
  if (std::strcmp(name, params::kResetMatte) == 0) {
    set_string(effect, params::kSessionId, "");
    set_string(effect, params::kStatus, "idle");
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

OfxStatus dispatch(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                   OfxPropertySetHandle outArgs) {
  // OpenFX hands the effect handle as const void*; the suites take it mutable.
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  if (std::strcmp(action, kOfxActionLoad) == 0) {
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionUnload) == 0) {
    stopBackground();  // no thread of ours may outlive the host's suites
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxActionDescribe) == 0) {
    return describe(effect);
  }
  if (std::strcmp(action, kOfxImageEffectActionDescribeInContext) == 0) {
    return describeInContext(effect);
  }
  if (std::strcmp(action, kOfxActionCreateInstance) == 0) {
    return createInstance(effect);
  }
  if (std::strcmp(action, kOfxActionDestroyInstance) == 0) {
    instanceDestroyed(effect);  // waits for a background write in progress
    return kOfxStatOK;
  }
  if (std::strcmp(action, kOfxImageEffectActionGetClipPreferences) == 0) {
    return getClipPreferences(outArgs);
  }
  if (std::strcmp(action, kOfxImageEffectActionRender) == 0) {
    return render(effect, inArgs);
  }
  if (std::strcmp(action, kOfxActionInstanceChanged) == 0) {
    return instanceChanged(effect, inArgs);
  }
  return kOfxStatReplyDefault;
}

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                     OfxPropertySetHandle outArgs) {
  if (!action) {
    return kOfxStatReplyDefault;
  }
  try {
    return dispatch(action, handle, inArgs, outArgs);
  } catch (const std::bad_alloc&) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatFailed;
  }
}

}  // namespace

OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs) {
  try {
    return tessel::overlayMain(action, handle, inArgs, outArgs);
  } catch (const std::bad_alloc&) {
    return kOfxStatErrMemory;
  } catch (...) {
    return kOfxStatFailed;
  }
}

extern "C" {

OfxExport int OfxGetNumberOfPlugins(void) { return 1; }

OfxExport OfxPlugin* OfxGetPlugin(int /*nth*/) { return &gPlugin; }

}  // extern "C"
