// The host's suites and the small parameter and message helpers built on them.
// A host may hand out fewer suites than asked for: every helper checks its
// suite pointer, and the caller's default stands when one is missing.
#include "suites/host_access.h"

OfxHost* gHost = nullptr;
const OfxImageEffectSuiteV1* gEffect = nullptr;
const OfxPropertySuiteV1* gProp = nullptr;
const OfxParameterSuiteV1* gParam = nullptr;
const OfxInteractSuiteV1* gInteract = nullptr;
const OfxMessageSuiteV1* gMessage = nullptr;

namespace {

const void* fetch(OfxHost* host, const char* suite) {
  return host->fetchSuite ? host->fetchSuite(host->host, suite, 1) : nullptr;
}

}  // namespace

void setHost(OfxHost* host) {
  gHost = host;
  if (!host) {
    return;
  }
  gEffect = static_cast<const OfxImageEffectSuiteV1*>(fetch(host, kOfxImageEffectSuite));
  gProp = static_cast<const OfxPropertySuiteV1*>(fetch(host, kOfxPropertySuite));
  gParam = static_cast<const OfxParameterSuiteV1*>(fetch(host, kOfxParameterSuite));
  gInteract = static_cast<const OfxInteractSuiteV1*>(fetch(host, kOfxInteractSuite));
  gMessage = static_cast<const OfxMessageSuiteV1*>(fetch(host, kOfxMessageSuite));
}

OfxParamHandle param(OfxImageEffectHandle effect, const char* name) {
  if (!gEffect || !gParam) {
    return nullptr;
  }
  OfxParamSetHandle set = nullptr;
  gEffect->getParamSet(effect, &set);
  if (!set) {
    return nullptr;
  }
  OfxParamHandle handle = nullptr;
  gParam->paramGetHandle(set, name, &handle, nullptr);
  return handle;
}

std::string string_value(OfxParamHandle handle) {
  const char* text = nullptr;
  if (handle) {
    gParam->paramGetValue(handle, &text);
  }
  return text ? std::string(text) : std::string();
}

int int_value(OfxParamHandle handle, int fallback) {
  int value = fallback;
  if (handle) {
    gParam->paramGetValue(handle, &value);
  }
  return value;
}

double double_value(OfxParamHandle handle, double fallback) {
  double value = fallback;
  if (handle) {
    gParam->paramGetValue(handle, &value);
  }
  return value;
}

void set_string_value(OfxParamHandle handle, const std::string& text) {
  if (handle) {
    gParam->paramSetValue(handle, text.c_str());
  }
}

std::string get_string(OfxImageEffectHandle effect, const char* name) {
  return string_value(param(effect, name));
}

void set_string(OfxImageEffectHandle effect, const char* name, const std::string& text) {
  set_string_value(param(effect, name), text);
}

void toast(const std::string& text) {
  if (gMessage && gMessage->message) {
    gMessage->message(nullptr, kOfxMessageMessage, nullptr, "%s", text.c_str());
  }
}

int get_int(OfxImageEffectHandle effect, const char* name, int fallback) {
  return int_value(param(effect, name), fallback);
}

double get_double(OfxImageEffectHandle effect, const char* name, double fallback) {
  return double_value(param(effect, name), fallback);
}
