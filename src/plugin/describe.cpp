// What the effect is (describe) and what it has (describe in context): its
// label, context, depths and threading promises, two RGBA clips and eighteen
// parameters. The parameter set is also each instance's whole state.
#include <initializer_list>

#include "plugin/describe.h"
#include "plugin/overlay_entry.h"
#include "protocol/api.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

constexpr const char* kDescription =
    "Corvane Mattivo: AI character alpha matte. Box or brush the character on any frame, press "
    "Pull Alpha, and the plugin tracks it through the whole clip (SAM 3.1 + BiRefNet matting) and "
    "outputs RGBA or the matte only. No length limit.";

// Placeholder until the user pastes the address of their backend.
constexpr const char* kDefaultBackendUrl = "https://matting.example.invalid";

void defineClip(OfxImageEffectHandle effect, const char* name) {
  OfxPropertySetHandle props = nullptr;
  gEffect->clipDefine(effect, name, &props);
  if (props) {
    gProp->propSetString(props, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);
  }
}

void setOptions(OfxPropertySetHandle props, std::initializer_list<const char*> options) {
  int index = 0;
  for (const char* option : options) {
    gProp->propSetString(props, kOfxParamPropChoiceOption, index++, option);
  }
}

void defineParams(OfxImageEffectHandle effect) {
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  if (!set) {
    return;
  }
  // Hosts that refuse a definition hand back no property set; such a
  // parameter is simply left undecorated.
  // Every valued parameter sets its default: some hosts list no choice
  // options for a choice parameter without one.
  auto define = [set](const char* name, const char* type, const char* label) {
    OfxPropertySetHandle props = nullptr;
    gParam->paramDefine(set, type, name, &props);
    if (props && label) {
      gProp->propSetString(props, kOfxPropLabel, 0, label);
    }
    return props;
  };
  auto hidden = [set](const char* name) {
    OfxPropertySetHandle props = nullptr;
    gParam->paramDefine(set, kOfxParamTypeString, name, &props);
    if (props) {
      gProp->propSetInt(props, kOfxParamPropSecret, 0, 1);
    }
    return props;
  };

  if (auto p = define(params::kBackendUrl, kOfxParamTypeString, "Backend URL")) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, kDefaultBackendUrl);
    gProp->propSetString(p, kOfxParamPropHint, 0, "Copy it from the Corvane download page.");
  }
  if (auto p = define(params::kOutputMode, kOfxParamTypeChoice, "Output")) {
    setOptions(p, {"Character (RGBA)", "Matte only", "Source (bypass)"});
    gProp->propSetInt(p, kOfxParamPropDefault, 0, 0);
  }
  if (auto p = define(params::kDrawMask, kOfxParamTypeBoolean, "Edit selection in viewer")) {
    gProp->propSetInt(p, kOfxParamPropDefault, 0, 1);
  }
  if (auto p = define(params::kSelectTool, kOfxParamTypeChoice, "Tool")) {
    setOptions(p, {"Bounding box", "Brush (add)", "Brush (exclude)"});
    gProp->propSetInt(p, kOfxParamPropDefault, 0, 0);
  }
  if (auto p = define(params::kBrushSize, kOfxParamTypeDouble, "Brush size")) {
    gProp->propSetDouble(p, kOfxParamPropDefault, 0, 0.03);
    gProp->propSetDouble(p, kOfxParamPropMin, 0, 0.005);
    gProp->propSetDouble(p, kOfxParamPropMax, 0, 0.3);
  }
  if (auto p = define(params::kTextHint, kOfxParamTypeString, "Character hint (optional)")) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "");
    gProp->propSetString(p, kOfxParamPropHint, 0, "e.g. 'woman in red'. Used when no box or brush is drawn.");
  }
  if (auto p = define(params::kQuality, kOfxParamTypeChoice, "Quality")) {
    setOptions(p, {"Fine edges (SAM 3.1 + BiRefNet)", "Fast (SAM 3.1)"});
    gProp->propSetInt(p, kOfxParamPropDefault, 0, 0);
  }
  if (auto p = define(params::kEdgeSoftness, kOfxParamTypeDouble, "Edge softness")) {
    gProp->propSetDouble(p, kOfxParamPropDefault, 0, protocol::kDefaultEdgeSoftness);
    gProp->propSetDouble(p, kOfxParamPropMin, 0, 0.0);
    gProp->propSetDouble(p, kOfxParamPropMax, 0, 1.0);
  }
  define(params::kPullAlpha, kOfxParamTypePushButton, "Pull alpha (whole clip)");
  define(params::kClearMask, kOfxParamTypePushButton, "Clear selection");
  define(params::kResetMatte, kOfxParamTypePushButton, "Reset matte");
  if (auto p = define(params::kStatus, kOfxParamTypeString, "Status")) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "idle");
    gProp->propSetInt(p, kOfxParamPropEnabled, 0, 0);
    // Disabled alone still shows an editable text field in some hosts; a
    // label is shown read-only everywhere.
    gProp->propSetString(p, kOfxParamPropStringMode, 0, kOfxParamStringIsLabel);
  }
  if (auto p = hidden(params::kBboxJson)) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "");
  }
  if (auto p = hidden(params::kBrushJson)) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "[]");
  }
  if (auto p = hidden(params::kSessionId)) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "");
  }
  if (auto p = hidden(params::kClipStart)) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "0");
  }
  // Appended: a project saved before it finds every other parameter where it was.
  define(params::kCancelPull, kOfxParamTypePushButton, "Cancel pull");
  // Appended too. bbox_json and brush_json keep the marks of projects saved
  // before marks belonged to frames.
  if (auto p = hidden(params::kFrameMarks)) {
    gProp->propSetString(p, kOfxParamPropDefault, 0, "{}");
  }
}

}  // namespace

OfxStatus describe(OfxImageEffectHandle effect) {
  if (!gEffect || !gProp) {
    return kOfxStatOK;
  }
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  if (!props) {
    return kOfxStatOK;
  }
  gProp->propSetString(props, kOfxPropLabel, 0, "Corvane Mattivo");
  gProp->propSetString(props, kOfxImageEffectPluginPropGrouping, 0, "Corvane");
  gProp->propSetString(props, kOfxPropPluginDescription, 0, kDescription);
  gProp->propSetString(props, kOfxImageEffectPropSupportedContexts, 0, kOfxImageEffectContextFilter);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  gProp->propSetString(props, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthFloat);
  gProp->propSetInt(props, kOfxImageEffectPluginPropSingleInstance, 0, 0);
  gProp->propSetInt(props, kOfxImageEffectPluginPropHostFrameThreading, 0, 1);
  gProp->propSetString(props, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  gProp->propSetInt(props, kOfxImageEffectPropSupportsMultiResolution, 0, 1);
  gProp->propSetInt(props, kOfxImageEffectPropSupportsTiles, 0, 0);
  gProp->propSetPointer(props, kOfxImageEffectPluginPropOverlayInteractV1, 0,
                        reinterpret_cast<void*>(&overlayEntryPoint));
  return kOfxStatOK;
}

OfxStatus describeInContext(OfxImageEffectHandle effect) {
  if (!gEffect || !gProp) {
    return kOfxStatOK;
  }
  defineClip(effect, kOfxImageEffectSimpleSourceClipName);
  defineClip(effect, kOfxImageEffectOutputClipName);
  if (gParam) {
    defineParams(effect);
  }
  return kOfxStatOK;
}
