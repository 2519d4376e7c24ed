// Loading a plug-in binary and describing its effect in the filter context.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>

#include "host_internal.h"

namespace ofxhost {
namespace {

using GetNumberOfPluginsFn = int (*)();
using GetPluginFn = OfxPlugin* (*)(int);
using SetHostFn = OfxStatus (*)(const OfxHost*);

bool is_dir(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0;
}

// NAME.ofx.bundle -> NAME.ofx.bundle/Contents/Linux-x86-64/NAME.ofx
std::string binary_of(std::string path) {
  if (!is_dir(path)) return path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string base = path.substr(path.find_last_of('/') + 1);
  const std::string suffix = ".bundle";
  if (base.size() > suffix.size() && base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0)
    base.resize(base.size() - suffix.size());
  if (base.size() < 4 || base.compare(base.size() - 4, 4, ".ofx") != 0) base += ".ofx";
  return path + "/Contents/Linux-x86-64/" + base;
}

bool accepted(OfxStatus st) { return st == kOfxStatOK || st == kOfxStatReplyDefault; }

void preset_descriptor(PropertySet& p) {
  p.set_str(kOfxPropType, {kOfxTypeImageEffect});
  p.set_str(kOfxPropLabel, {""});
  p.set_str(kOfxImageEffectPluginPropGrouping, {""});
  p.set_str(kOfxPropPluginDescription, {""});
  p.set_str(kOfxImageEffectPropSupportedContexts, {});
  p.set_str(kOfxImageEffectPropSupportedPixelDepths, {});
  p.set_int(kOfxImageEffectPluginPropSingleInstance, {0});
  p.set_int(kOfxImageEffectPluginPropHostFrameThreading, {0});
  p.set_str(kOfxImageEffectPluginRenderThreadSafety, {kOfxImageEffectRenderInstanceSafe});
  p.set_int(kOfxImageEffectPropSupportsMultiResolution, {1});
  p.set_int(kOfxImageEffectPropSupportsTiles, {1});
  p.set_int(kOfxImageEffectPropTemporalClipAccess, {0});
  p.set_ptr(kOfxImageEffectPluginPropOverlayInteractV1, {nullptr});
}

bool supports_filter(const PropertySet& p) {
  for (int i = 0; i < p.dimension(kOfxImageEffectPropSupportedContexts); ++i)
    if (p.str(kOfxImageEffectPropSupportedContexts, i) == kOfxImageEffectContextFilter) return true;
  return false;
}

}  // namespace

namespace detail {

OfxStatus PluginState::call(const char* action, const void* handle, PropertySet* in_args,
                            PropertySet* out_args) {
  if (!record || !record->mainEntry) return kOfxStatErrFatal;
  return record->mainEntry(action, handle, in_args ? handle_of(*in_args) : nullptr,
                           out_args ? handle_of(*out_args) : nullptr);
}

}  // namespace detail

Plugin::Plugin() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<Plugin> Plugin::load(const std::string& path, std::string* error, int nth) {
  auto fail = [error](const std::string& text) {
    if (error) *error = text;
    return std::unique_ptr<Plugin>();
  };
  const std::string binary = binary_of(path);
  if (!exists(binary)) return fail("no such plug-in file: " + binary);
  // NODELETE: a plug-in's detached threads may still run its code after we let go.
  void* lib = ::dlopen(binary.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!lib) {
    const char* why = ::dlerror();
    return fail("cannot load " + binary + ": " + (why ? why : "unknown error"));
  }
  std::unique_ptr<Plugin> plugin(new Plugin);
  detail::PluginState& st = plugin->impl_->st;
  st.library = lib;

  auto set_host = reinterpret_cast<SetHostFn>(::dlsym(lib, "OfxSetHost"));
  auto get_count = reinterpret_cast<GetNumberOfPluginsFn>(::dlsym(lib, "OfxGetNumberOfPlugins"));
  auto get_plugin = reinterpret_cast<GetPluginFn>(::dlsym(lib, "OfxGetPlugin"));
  if (!get_count || !get_plugin)
    return fail("not an OpenFX plug-in (no OfxGetNumberOfPlugins/OfxGetPlugin): " + binary);
  if (set_host && !accepted(set_host(detail::host_record())))
    return fail("the plug-in refused this host (OfxSetHost): " + binary);
  st.count = get_count();
  if (nth < 0 || nth >= st.count)
    return fail("no plug-in number " + std::to_string(nth) + " in " + binary + " (it has " +
                std::to_string(st.count) + ")");
  const OfxPlugin* record = get_plugin(nth);
  if (!record) return fail("OfxGetPlugin returned null: " + binary);
  if (!record->pluginApi || std::strcmp(record->pluginApi, kOfxImageEffectPluginApi) != 0)
    return fail(std::string("not an image effect plug-in (API \"") +
                (record->pluginApi ? record->pluginApi : "") + "\"): " + binary);
  if (record->apiVersion != 1)
    return fail("unsupported image effect API version " + std::to_string(record->apiVersion));
  if (!record->mainEntry) return fail("the plug-in has no main entry: " + binary);
  st.record = record;
  if (record->setHost) record->setHost(detail::host_record());
  detail::add_live_plugin(&st);

  OfxStatus loaded = st.call(kOfxActionLoad, nullptr, nullptr, nullptr);
  if (!accepted(loaded)) return fail("the load action failed with status " + std::to_string(loaded));
  st.loaded = true;

  st.descriptor = detail::Effect{true, &st.descriptor_props, &st.descriptor_params, &st, nullptr};
  st.descriptor_params.descriptor = true;
  preset_descriptor(st.descriptor_props);
  detail::register_handle(&st.descriptor, detail::Kind::Effect);
  detail::register_handle(&st.descriptor_params, detail::Kind::ParamSet);

  st.describe_status = st.call(kOfxActionDescribe, &st.descriptor, nullptr, nullptr);
  if (st.describe_status == kOfxStatOK && !supports_filter(st.descriptor_props))
    st.describe_status = kOfxStatErrUnsupported;
  if (st.describe_status == kOfxStatOK) {
    PropertySet in;
    in.set_str(kOfxImageEffectPropContext, {kOfxImageEffectContextFilter});
    st.describe_status = st.call(kOfxImageEffectActionDescribeInContext, &st.descriptor, &in, nullptr);
  }
  st.overlay = reinterpret_cast<OfxPluginEntryPoint*>(
      st.descriptor_props.ptr(kOfxImageEffectPluginPropOverlayInteractV1));

  {
    std::lock_guard<std::mutex> lock(st.descriptor_params.mu);
    for (const auto& p : st.descriptor_params.params)
      st.param_list.push_back(ParamDescriptor{p->name, p->type, p->props});
  }
  {
    std::lock_guard<std::mutex> lock(st.clips_mu);
    for (const auto& c : st.descriptor_clips) st.clip_list.push_back(ClipDescriptor{c->name, c->props});
  }
  return plugin;
}

Plugin::~Plugin() {
  detail::PluginState& st = impl_->st;
  if (st.loaded) st.call(kOfxActionUnload, nullptr, nullptr, nullptr);
  std::vector<const void*> handles{&st.descriptor, &st.descriptor_params, &st.overlay_descriptor};
  for (const auto& p : st.descriptor_params.params) handles.push_back(p.get());
  for (const auto& c : st.descriptor_clips) handles.push_back(c.get());
  detail::unregister_handles(handles);
  detail::remove_live_plugin(&st);
  if (st.library) ::dlclose(st.library);
}

const OfxPlugin* Plugin::record() const { return impl_->st.record; }
int Plugin::plugin_count() const { return impl_->st.count; }
OfxStatus Plugin::describe_status() const { return impl_->st.describe_status; }
const PropertySet& Plugin::descriptor() const { return impl_->st.descriptor_props; }
const std::vector<ClipDescriptor>& Plugin::clips() const { return impl_->st.clip_list; }
const std::vector<ParamDescriptor>& Plugin::params() const { return impl_->st.param_list; }

const ParamDescriptor* Plugin::param(const std::string& name) const {
  for (const ParamDescriptor& p : impl_->st.param_list)
    if (p.name == name) return &p;
  return nullptr;
}

OfxStatus Plugin::main_entry(const char* action, const void* handle, PropertySet* in_args,
                             PropertySet* out_args) {
  return impl_->st.call(action, handle, in_args, out_args);
}

std::vector<Message> Plugin::messages() const {
  std::lock_guard<std::mutex> lock(impl_->st.msg_mu);
  return impl_->st.messages;
}

void Plugin::clear_messages() {
  std::lock_guard<std::mutex> lock(impl_->st.msg_mu);
  impl_->st.messages.clear();
}

void Plugin::on_message(std::function<void(const Message&)> sink) {
  std::lock_guard<std::mutex> lock(impl_->st.msg_mu);
  impl_->st.sink = std::move(sink);
}

}  // namespace ofxhost
