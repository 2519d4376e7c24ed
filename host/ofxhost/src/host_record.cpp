// The OfxHost record handed to every plug-in, and the suites it serves.
#include <cstring>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

PropertySet& host_props() {
  static PropertySet* props = [] {
    auto* p = new PropertySet;  // plug-ins keep the record; it must outlive them
    p->set_str(kOfxPropType, {kOfxTypeImageEffectHost});
    p->set_str(kOfxPropName, {"net.corvane.ofxhost"});
    p->set_str(kOfxPropLabel, {"Corvane headless host"});
    p->set_int(kOfxPropAPIVersion, {1, 4});
    p->set_int(kOfxPropVersion, {1, 0, 0});
    p->set_str(kOfxPropVersionLabel, {"1.0"});
    p->set_int(kOfxImageEffectHostPropIsBackground, {0});
    p->set_int(kOfxImageEffectPropSupportsOverlays, {1});
    p->set_int(kOfxImageEffectPropSupportsMultiResolution, {1});
    p->set_int(kOfxImageEffectPropSupportsTiles, {1});
    p->set_int(kOfxImageEffectPropTemporalClipAccess, {1});
    p->set_str(kOfxImageEffectPropSupportedComponents, {kOfxImageComponentRGBA});
    p->set_str(kOfxImageEffectPropSupportedContexts, {kOfxImageEffectContextFilter});
    p->set_str(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthByte, kOfxBitDepthFloat});
    p->set_int(kOfxImageEffectPropSupportsMultipleClipDepths, {0});
    p->set_int(kOfxImageEffectPropSupportsMultipleClipPARs, {0});
    p->set_int(kOfxImageEffectPropSetableFrameRate, {0});
    p->set_int(kOfxImageEffectPropSetableFielding, {0});
    p->set_int(kOfxParamHostPropSupportsCustomInteract, {0});
    p->set_int(kOfxParamHostPropSupportsStringAnimation, {0});
    p->set_int(kOfxParamHostPropMaxParameters, {-1});
    p->set_int(kOfxParamHostPropMaxPages, {0});
    return p;
  }();
  return *props;
}

const void* fetchSuite(OfxPropertySetHandle, const char* name, int version) {
  if (!name) return nullptr;
  auto is = [name](const char* s) { return std::strcmp(name, s) == 0; };
  if (is(kOfxPropertySuite) && version == 1) return property_suite();
  if (is(kOfxParameterSuite) && version == 1) return parameter_suite();
  if (is(kOfxImageEffectSuite) && version == 1) return image_effect_suite();
  if (is(kOfxInteractSuite) && version == 1) return interact_suite();
  if (is(kOfxMessageSuite) && version == 1) return message_suite_v1();
  if (is(kOfxMessageSuite) && version == 2) return message_suite_v2();
  return nullptr;
}

}  // namespace

OfxHost* host_record() {
  static OfxHost* host = new OfxHost{handle_of(host_props()), fetchSuite};
  return host;
}

}  // namespace ofxhost::detail

namespace ofxhost {
const OfxHost* host() { return detail::host_record(); }
}  // namespace ofxhost
