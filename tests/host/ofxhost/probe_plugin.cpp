// HostProbe: a small filter that exercises the host the way real effects do.
// It inverts or scales its source, keeps a trace of what the host sent in a
// string parameter, draws a red quad in its overlay, and its "go" button
// writes a parameter and posts messages from a thread of its own.
#include <GL/gl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "ofx/ofx_api.h"

#ifndef PROBE_API
#define PROBE_API kOfxImageEffectPluginApi
#endif

namespace {

OfxHost* gHost = nullptr;
const OfxPropertySuiteV1* gProp = nullptr;
const OfxParameterSuiteV1* gParam = nullptr;
const OfxImageEffectSuiteV1* gEffect = nullptr;
const OfxInteractSuiteV1* gInteract = nullptr;
const OfxMessageSuiteV1* gMessage = nullptr;
std::string gCalls;  // the order in which the host reached us

void note_call(const char* what) {
  if (!gCalls.empty()) gCalls += ",";
  gCalls += what;
}

OfxParamHandle param(OfxImageEffectHandle effect, const char* name) {
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  OfxParamHandle p = nullptr;
  gParam->paramGetHandle(set, name, &p, nullptr);
  return p;
}

void set_text(OfxImageEffectHandle effect, const char* name, const std::string& text) {
  gParam->paramSetValue(param(effect, name), text.c_str());
}

// Per-instance data: the worker started by "go", joined when the instance dies.
struct ProbeData {
  std::thread worker;
};

ProbeData* data_of(OfxImageEffectHandle effect) {
  OfxPropertySetHandle props = nullptr;
  gEffect->getPropertySet(effect, &props);
  void* data = nullptr;
  gProp->propGetPointer(props, kOfxPropInstanceData, 0, &data);
  return static_cast<ProbeData*>(data);
}

[[maybe_unused]] OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle in,
                                       OfxPropertySetHandle) {
  auto interact = static_cast<OfxInteractHandle>(const_cast<void*>(handle));
  OfxPropertySetHandle props = nullptr;
  gInteract->interactGetPropertySet(interact, &props);
  void* effect = nullptr;
  gProp->propGetPointer(props, kOfxPropEffectInstance, 0, &effect);
  if (!std::strcmp(action, kOfxActionDescribe) || !std::strcmp(action, kOfxActionCreateInstance) ||
      !std::strcmp(action, kOfxActionDestroyInstance))
    return kOfxStatOK;
  if (!effect) return kOfxStatReplyDefault;
  auto fx = static_cast<OfxImageEffectHandle>(effect);
  if (!std::strcmp(action, kOfxInteractActionDraw)) {
    glColor4f(1.f, 0.f, 0.f, 1.f);
    glBegin(GL_QUADS);
    glVertex2d(10, 10);
    glVertex2d(30, 10);
    glVertex2d(30, 20);
    glVertex2d(10, 20);
    glEnd();
    return kOfxStatOK;
  }
  const char* kind = !std::strcmp(action, kOfxInteractActionPenDown)     ? "down"
                     : !std::strcmp(action, kOfxInteractActionPenMotion) ? "motion"
                     : !std::strcmp(action, kOfxInteractActionPenUp)     ? "up"
                                                                         : nullptr;
  if (!kind) return kOfxStatReplyDefault;
  void* in_effect = nullptr;
  double pos[2] = {-1, -1}, scale[2] = {0, 0}, pressure = -1, time = -1;
  int view[2] = {-1, -1};
  gProp->propGetPointer(in, kOfxPropEffectInstance, 0, &in_effect);
  gProp->propGetDoubleN(in, kOfxInteractPropPenPosition, 2, pos);
  gProp->propGetIntN(in, kOfxInteractPropPenViewportPosition, 2, view);
  gProp->propGetDoubleN(in, kOfxInteractPropPixelScale, 2, scale);
  gProp->propGetDouble(in, kOfxInteractPropPenPressure, 0, &pressure);
  gProp->propGetDouble(in, kOfxPropTime, 0, &time);
  char text[256];
  std::snprintf(text, sizeof text, "%s %g,%g view %d,%d scale %g,%g p %g t %g %s", kind, pos[0], pos[1],
                view[0], view[1], scale[0], scale[1], pressure, time, in_effect == effect ? "same" : "other");
  set_text(fx, "stroke", text);
  return kOfxStatOK;
}

OfxStatus describe(OfxImageEffectHandle effect) {
  note_call("describe");
  OfxPropertySetHandle p = nullptr;
  gEffect->getPropertySet(effect, &p);
  gProp->propSetString(p, kOfxPropLabel, 0, "Host Probe");
  gProp->propSetString(p, kOfxImageEffectPluginPropGrouping, 0, "Tests");
  const char* contexts[] = {kOfxImageEffectContextGeneral, kOfxImageEffectContextFilter};
  gProp->propSetStringN(p, kOfxImageEffectPropSupportedContexts, 2, contexts);
  gProp->propSetString(p, kOfxImageEffectPropSupportedPixelDepths, 0, kOfxBitDepthByte);
  gProp->propSetString(p, kOfxImageEffectPropSupportedPixelDepths, 1, kOfxBitDepthFloat);
  gProp->propSetString(p, kOfxImageEffectPluginRenderThreadSafety, 0, kOfxImageEffectRenderFullySafe);
  gProp->propSetInt(p, kOfxImageEffectPluginPropHostFrameThreading, 0, 1);
#ifndef PROBE_NO_OVERLAY
  gProp->propSetPointer(p, kOfxImageEffectPluginPropOverlayInteractV1, 0,
                        reinterpret_cast<void*>(&overlayMain));
#endif
  gProp->propSetString(p, "ProbeCalls", 0, gCalls.c_str());
  return kOfxStatOK;
}

OfxPropertySetHandle define(OfxParamSetHandle set, const char* type, const char* name) {
  OfxPropertySetHandle p = nullptr;
  gParam->paramDefine(set, type, name, &p);
  return p;
}

OfxStatus describeInContext(OfxImageEffectHandle effect, OfxPropertySetHandle in) {
  char* context = nullptr;
  gProp->propGetString(in, kOfxImageEffectPropContext, 0, &context);
  OfxPropertySetHandle p = nullptr;
  gEffect->getPropertySet(effect, &p);
  gProp->propSetString(p, "ProbeContext", 0, context ? context : "");
  for (const char* name : {kOfxImageEffectSimpleSourceClipName, kOfxImageEffectOutputClipName}) {
    OfxPropertySetHandle clip = nullptr;
    gEffect->clipDefine(effect, name, &clip);
    gProp->propSetString(clip, kOfxImageEffectPropSupportedComponents, 0, kOfxImageComponentRGBA);
  }
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  OfxPropertySetHandle d = define(set, kOfxParamTypeDouble, "gain");
  gProp->propSetDouble(d, kOfxParamPropDefault, 0, 1.0);
  gProp->propSetDouble(d, kOfxParamPropMin, 0, 0.0);
  gProp->propSetDouble(d, kOfxParamPropMax, 0, 4.0);
  gProp->propSetString(d, kOfxPropLabel, 0, "Gain");
  define(set, kOfxParamTypeBoolean, "invert");
  d = define(set, kOfxParamTypeChoice, "mode");
  const char* options[] = {"first", "second", "third"};
  gProp->propSetStringN(d, kOfxParamPropChoiceOption, 3, options);
  gProp->propSetInt(d, kOfxParamPropDefault, 0, 1);
  gProp->propSetInt(define(set, kOfxParamTypeInteger, "count"), kOfxParamPropDefault, 0, 7);
  const double offset[] = {0.25, -0.5};
  gProp->propSetDoubleN(define(set, kOfxParamTypeDouble2D, "offset"), kOfxParamPropDefault, 2, offset);
  const double tint[] = {1.0, 0.5, 0.25, 1.0};
  gProp->propSetDoubleN(define(set, kOfxParamTypeRGBA, "tint"), kOfxParamPropDefault, 4, tint);
  gProp->propSetString(define(set, kOfxParamTypeString, "label"), kOfxParamPropDefault, 0, "hello");
  define(set, kOfxParamTypeString, "note");
  gProp->propSetString(define(set, kOfxParamTypeString, "status"), kOfxParamPropDefault, 0, "idle");
  define(set, kOfxParamTypeString, "trace");
  define(set, kOfxParamTypeString, "stroke");
  define(set, kOfxParamTypeBoolean, "leak");
  define(set, kOfxParamTypePushButton, "go");
  return kOfxStatOK;
}

OfxStatus createInstance(OfxImageEffectHandle effect) {
  OfxPropertySetHandle p = nullptr;
  gEffect->getPropertySet(effect, &p);
  gProp->propSetPointer(p, kOfxPropInstanceData, 0, new ProbeData);
  // What "label" held when the create action came, for the saved-project test.
  char* label = nullptr;
  gParam->paramGetValue(param(effect, "label"), &label);
  gProp->propSetString(p, "ProbeLabelAtCreate", 0, label ? label : "");
  return kOfxStatOK;
}

OfxStatus destroyInstance(OfxImageEffectHandle effect) {
  ProbeData* data = data_of(effect);
  if (data && data->worker.joinable()) data->worker.join();
  delete data;
  return kOfxStatOK;
}

std::string read_string(OfxPropertySetHandle in, const char* name) {
  char* text = nullptr;
  gProp->propGetString(in, name, 0, &text);
  return text ? text : "(none)";
}

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle in) {
  double time = -1, scale[2] = {0, 0};
  gProp->propGetDouble(in, kOfxPropTime, 0, &time);
  gProp->propGetDoubleN(in, kOfxImageEffectPropRenderScale, 2, scale);
  std::string name = read_string(in, kOfxPropName);
  char text[512];
  std::snprintf(text, sizeof text, "changed %s|%s|%s|%g|%g,%g", read_string(in, kOfxPropType).c_str(),
                name.c_str(), read_string(in, kOfxPropChangeReason).c_str(), time, scale[0], scale[1]);
  set_text(effect, "trace", text);
  if (name == "go") {
    ProbeData* data = data_of(effect);
    if (data->worker.joinable()) data->worker.join();
    data->worker = std::thread([effect] {
      set_text(effect, "status", "working");
      gMessage->message(effect, kOfxMessageWarning, "probe.warn", "%d%% of %s", 50, "frames");
      gMessage->message(nullptr, kOfxMessageMessage, nullptr, "%s", "probe: 100% done");
      set_text(effect, "status", "done");
    });
    return kOfxStatOK;
  }
  return name == "gain" ? kOfxStatOK : kOfxStatReplyDefault;
}

struct Img {
  OfxPropertySetHandle h = nullptr;
  unsigned char* data = nullptr;
  int row_bytes = 0;
  OfxRectI b{0, 0, 0, 0};
  bool is_float = false;
};

Img fetch(OfxImageClipHandle clip, double time) {
  Img img;
  if (gEffect->clipGetImage(clip, time, nullptr, &img.h) != kOfxStatOK) return Img{};
  void* data = nullptr;
  gProp->propGetPointer(img.h, kOfxImagePropData, 0, &data);
  img.data = static_cast<unsigned char*>(data);
  gProp->propGetInt(img.h, kOfxImagePropRowBytes, 0, &img.row_bytes);
  gProp->propGetIntN(img.h, kOfxImagePropBounds, 4, &img.b.x1);
  char* depth = nullptr;
  gProp->propGetString(img.h, kOfxImageEffectPropPixelDepth, 0, &depth);
  img.is_float = depth && !std::strcmp(depth, kOfxBitDepthFloat);
  return img;
}

float channel(const Img& img, int x, int y, int c) {
  const unsigned char* row = img.data + static_cast<std::ptrdiff_t>(y - img.b.y1) * img.row_bytes;
  if (img.is_float) return reinterpret_cast<const float*>(row)[(x - img.b.x1) * 4 + c];
  return row[(x - img.b.x1) * 4 + c] / 255.f;
}

void put(const Img& img, int x, int y, int c, float v) {
  unsigned char* row = img.data + static_cast<std::ptrdiff_t>(y - img.b.y1) * img.row_bytes;
  if (img.is_float) {
    reinterpret_cast<float*>(row)[(x - img.b.x1) * 4 + c] = v;
  } else {
    row[(x - img.b.x1) * 4 + c] = static_cast<unsigned char>(std::clamp(v, 0.f, 1.f) * 255.f + 0.5f);
  }
}

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle in) {
  double time = 0;
  gProp->propGetDouble(in, kOfxPropTime, 0, &time);
  OfxRectI window{0, 0, 0, 0};
  gProp->propGetIntN(in, kOfxImageEffectPropRenderWindow, 4, &window.x1);
  double gain = 1;
  int invert = 0, leak = 0;
  gParam->paramGetValueAtTime(param(effect, "gain"), time, &gain);
  gParam->paramGetValueAtTime(param(effect, "invert"), time, &invert);
  gParam->paramGetValueAtTime(param(effect, "leak"), time, &leak);
  OfxImageClipHandle src_clip = nullptr, out_clip = nullptr;
  gEffect->clipGetHandle(effect, kOfxImageEffectSimpleSourceClipName, &src_clip, nullptr);
  gEffect->clipGetHandle(effect, kOfxImageEffectOutputClipName, &out_clip, nullptr);
  Img src = fetch(src_clip, time);
  if (!src.h) return kOfxStatFailed;
  Img out = fetch(out_clip, time);
  if (!out.h || !src.data || !out.data) {
    gEffect->clipReleaseImage(src.h);
    if (out.h) gEffect->clipReleaseImage(out.h);
    return kOfxStatFailed;
  }
  for (int y = window.y1; y < window.y2; ++y) {
    for (int x = window.x1; x < window.x2; ++x) {
      bool inside = x >= src.b.x1 && x < src.b.x2 && y >= src.b.y1 && y < src.b.y2;
      for (int c = 0; c < 4; ++c) {
        float v = inside ? channel(src, x, y, c) : 0.f;
        if (inside && c < 3) v = invert ? 1.f - v : v * static_cast<float>(gain);
        put(out, x, y, c, v);
      }
    }
  }
  if (!leak) gEffect->clipReleaseImage(src.h);
  gEffect->clipReleaseImage(out.h);
  return kOfxStatOK;
}

OfxStatus pluginMain(const char* action, const void* handle, OfxPropertySetHandle in,
                     OfxPropertySetHandle out) {
  auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
  auto is = [action](const char* name) { return std::strcmp(action, name) == 0; };
  if (is(kOfxActionLoad)) {
    note_call("load");
    return kOfxStatOK;
  }
  if (is(kOfxActionDescribe)) return describe(effect);
  if (is(kOfxImageEffectActionDescribeInContext)) return describeInContext(effect, in);
  if (is(kOfxActionCreateInstance)) return createInstance(effect);
  if (is(kOfxActionDestroyInstance)) return destroyInstance(effect);
  if (is(kOfxActionInstanceChanged)) return instanceChanged(effect, in);
  if (is(kOfxActionBeginInstanceChanged) || is(kOfxActionEndInstanceChanged)) {
    std::string text =
        (is(kOfxActionBeginInstanceChanged) ? "begin " : "end ") + read_string(in, kOfxPropChangeReason);
    set_text(effect, "trace", text);
    return kOfxStatOK;
  }
  if (is(kOfxImageEffectActionRender)) return render(effect, in);
  if (is(kOfxImageEffectActionGetClipPreferences)) {
    gProp->propSetString(out, kOfxImageEffectPropPreMultiplication, 0, kOfxImageUnPreMultiplied);
    return kOfxStatOK;
  }
  return kOfxStatReplyDefault;
}

void setHost(OfxHost* host) {
  note_call("setHost");
  gHost = host;
  gProp = static_cast<const OfxPropertySuiteV1*>(host->fetchSuite(host->host, kOfxPropertySuite, 1));
  gParam = static_cast<const OfxParameterSuiteV1*>(host->fetchSuite(host->host, kOfxParameterSuite, 1));
  gEffect = static_cast<const OfxImageEffectSuiteV1*>(host->fetchSuite(host->host, kOfxImageEffectSuite, 1));
  gInteract = static_cast<const OfxInteractSuiteV1*>(host->fetchSuite(host->host, kOfxInteractSuite, 1));
  gMessage = static_cast<const OfxMessageSuiteV1*>(host->fetchSuite(host->host, kOfxMessageSuite, 1));
  if (!host->fetchSuite(host->host, kOfxMultiThreadSuite, 1)) note_call("noMultiThread");
}

OfxPlugin gPlugin = {
    PROBE_API,                // pluginApi
    1,                        // apiVersion
    "net.corvane.hostprobe",  // pluginIdentifier
    1,                        // pluginVersionMajor
    0,                        // pluginVersionMinor
    setHost,                  // setHost
    pluginMain,               // mainEntry
};

}  // namespace

extern "C" {
OfxExport OfxStatus OfxSetHost(const OfxHost*) {
  gCalls.clear();
  note_call("OfxSetHost");
  return kOfxStatOK;
}
OfxExport int OfxGetNumberOfPlugins(void) {
  note_call("count");
  return 1;
}
OfxExport OfxPlugin* OfxGetPlugin(int) {
  note_call("get");
  return &gPlugin;
}
}
