// The host's suites, fetched once by setHost, and the small helpers every
// part of the effect uses to read and write parameters and talk to the user.
#pragma once

#include <string>

#include "ofx/ofx_api.h"

extern OfxHost* gHost;
extern const OfxImageEffectSuiteV1* gEffect;
extern const OfxPropertySuiteV1* gProp;
extern const OfxParameterSuiteV1* gParam;
extern const OfxInteractSuiteV1* gInteract;
extern const OfxMessageSuiteV1* gMessage;

// Stores the host record and fetches the five suites (each may come back null).
void setHost(OfxHost* host);

// Handle of the named parameter of an instance, looked up on every call; null when absent.
OfxParamHandle param(OfxImageEffectHandle effect, const char* name);
// Current text of a string parameter; "" when the host gives none.
std::string get_string(OfxImageEffectHandle effect, const char* name);
// The same readers and writer on a handle already looked up (null: the fallback, or nothing).
std::string string_value(OfxParamHandle handle);
int int_value(OfxParamHandle handle, int fallback);
double double_value(OfxParamHandle handle, double fallback);
void set_string_value(OfxParamHandle handle, const std::string& text);
void set_string(OfxImageEffectHandle effect, const char* name, const std::string& text);
// Choice, boolean and integer parameters; `fallback` when the host gives no value.
int get_int(OfxImageEffectHandle effect, const char* name, int fallback = 0);
double get_double(OfxImageEffectHandle effect, const char* name, double fallback = 0.0);
// One host message, shown literally (a '%' in the text stays a '%').
void toast(const std::string& text);

// A host image handle, released as soon as it leaves scope.
struct HostImage {
  OfxPropertySetHandle handle = nullptr;
  HostImage() = default;
  HostImage(const HostImage&) = delete;
  HostImage& operator=(const HostImage&) = delete;
  ~HostImage() {
    if (handle && gEffect) gEffect->clipReleaseImage(handle);
  }
};
