#include "info_command.h"

#include <iostream>

#include "locate.h"
#include "ofxhost/ofx_host.h"

namespace mattivo {
namespace {

std::string join(const ofxhost::PropertySet& p, const char* name) {
  std::string out;
  for (int i = 0; i < p.dimension(name); ++i) out += (i ? ", " : "") + p.str(name, i);
  return out;
}

std::string describe_value(const ofxhost::ParamDescriptor& d) {
  const auto& p = d.props;
  const std::string& t = d.type;
  if (t == kOfxParamTypeString) return "\"" + p.str(kOfxParamPropDefault) + "\"";
  if (t == kOfxParamTypeDouble) {
    std::string s = std::to_string(p.dbl(kOfxParamPropDefault));
    if (p.has(kOfxParamPropMin))
      s += " in [" + std::to_string(p.dbl(kOfxParamPropMin)) + ", " +
           std::to_string(p.dbl(kOfxParamPropMax)) + "]";
    return s;
  }
  if (t == kOfxParamTypeBoolean) return p.integer(kOfxParamPropDefault) ? "on" : "off";
  if (t == kOfxParamTypeChoice) {
    std::string s = "option " + std::to_string(p.integer(kOfxParamPropDefault)) + " of {";
    s += join(p, kOfxParamPropChoiceOption) + "}";
    return s;
  }
  return "";
}

}  // namespace

int run_info(const InfoOptions& o) {
  std::string path = find_plugin(o.plugin);
  if (path.empty()) {
    std::cerr << "mattivo: CorvaneMattivo.ofx.bundle not found (build it, install it, or give --plugin)\n";
    return 1;
  }
  std::string error;
  auto plugin = ofxhost::Plugin::load(path, &error);
  if (!plugin) {
    std::cerr << "mattivo: cannot load " << path << ": " << error << "\n";
    return 1;
  }
  const ofxhost::PropertySet& d = plugin->descriptor();
  const OfxPlugin* rec = plugin->record();
  std::cout << "bundle:      " << path << "\n"
            << "identifier:  " << rec->pluginIdentifier << " " << rec->pluginVersionMajor << "."
            << rec->pluginVersionMinor << "\n"
            << "label:       " << d.str(kOfxPropLabel) << "\n"
            << "grouping:    " << d.str(kOfxImageEffectPluginPropGrouping) << "\n"
            << "contexts:    " << join(d, kOfxImageEffectPropSupportedContexts) << "\n"
            << "depths:      " << join(d, kOfxImageEffectPropSupportedPixelDepths) << "\n"
            << "threading:   " << d.str(kOfxImageEffectPluginRenderThreadSafety) << "\n"
            << "overlay:     " << (d.ptr(kOfxImageEffectPluginPropOverlayInteractV1) ? "yes" : "no") << "\n"
            << "clips:\n";
  for (const auto& c : plugin->clips())
    std::cout << "  " << c.name << " (" << join(c.props, kOfxImageEffectPropSupportedComponents) << ")\n";
  std::cout << "parameters:\n";
  for (const auto& p : plugin->params()) {
    std::string label = p.props.str(kOfxPropLabel);
    bool secret = p.props.integer(kOfxParamPropSecret) != 0;
    std::cout << "  " << p.name << "  " << p.type.substr(std::string("OfxParamType").size());
    if (!label.empty()) std::cout << "  \"" << label << "\"";
    std::string v = describe_value(p);
    if (!v.empty()) std::cout << "  default " << v;
    if (secret) std::cout << "  (hidden)";
    if (p.props.has(kOfxParamPropEnabled) && !p.props.integer(kOfxParamPropEnabled))
      std::cout << "  (read-only)";
    std::cout << "\n";
  }
  return 0;
}

}  // namespace mattivo
