// Effect instances: creation, parameter values as the host sees them, actions.
#include <cmath>

#include "host_internal.h"

namespace ofxhost {
namespace {

using detail::InstanceState;
using detail::Param;

void preset_instance(InstanceState& s, const PropertySet& descriptor) {
  s.props = descriptor;
  PropertySet& p = s.props;
  p.set_str(kOfxPropType, {kOfxTypeImageEffectInstance});
  p.set_str(kOfxImageEffectPropContext, {kOfxImageEffectContextFilter});
  p.set_ptr(kOfxPropInstanceData, {nullptr});
  p.set_dbl(kOfxImageEffectPropProjectSize, {1920.0, 1080.0});
  p.set_dbl(kOfxImageEffectPropProjectOffset, {0.0, 0.0});
  p.set_dbl(kOfxImageEffectPropProjectExtent, {1920.0, 1080.0});
  p.set_dbl(kOfxImageEffectPropProjectPixelAspectRatio, {1.0});
}

void preset_clip(PropertySet& p) {
  p.set_str(kOfxImageEffectPropPixelDepth, {kOfxBitDepthByte});
  p.set_str(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
  p.set_str(kOfxImageEffectPropUnmappedPixelDepth, {kOfxBitDepthByte});
  p.set_str(kOfxImageEffectPropUnmappedComponents, {kOfxImageComponentRGBA});
  p.set_str(kOfxImageEffectPropPreMultiplication, {kOfxImagePreMultiplied});
  p.set_dbl(kOfxImagePropPixelAspectRatio, {1.0});
  p.set_int(kOfxImageClipPropConnected, {1});
  p.set_int(kOfxImageClipPropContinuousSamples, {0});
  p.set_str(kOfxImageClipPropFieldOrder, {kOfxImageFieldNone});
}

Param* find_param(const InstanceState& s, const std::string& name) {
  std::lock_guard<std::mutex> lock(s.params.mu);
  return s.params.find(name);
}

bool has_ints(const Param& p) { return !p.ints.empty(); }

// The clips' frame ranges and the Source's time offset from the clock
// settings; called with the instance's mutex held.
void apply_clock(InstanceState& s) {
  s.time_offset = s.from_in_point ? s.first : 0.0;
  if (!s.has_range) return;
  for (const auto& c : s.clips) {
    const bool output = c->name == kOfxImageEffectOutputClipName;
    const double shift = output ? s.time_offset : 0.0;
    c->props.set_dbl(kOfxImageEffectPropFrameRange, {s.first - shift, s.last - shift});
    c->props.set_dbl(kOfxImageEffectPropUnmappedFrameRange, {s.first - shift, s.last - shift});
  }
}

}  // namespace

Instance::Instance() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<Instance> Plugin::create_instance(OfxStatus* status) { return create_instance(status, {}); }

std::unique_ptr<Instance> Plugin::create_instance(OfxStatus* status,
                                                  const std::map<std::string, std::string>& saved) {
  detail::PluginState& ps = impl_->st;
  auto report = [status](OfxStatus st) {
    if (status) *status = st;
  };
  if (ps.describe_status != kOfxStatOK) {
    report(ps.describe_status);
    return nullptr;
  }
  std::unique_ptr<Instance> instance(new Instance);
  InstanceState& s = instance->impl_->st;
  s.plugin = &ps;
  s.effect = detail::Effect{false, &s.props, &s.params, &ps, &s};
  preset_instance(s, ps.descriptor_props);
  s.params.descriptor = false;
  {
    std::lock_guard<std::mutex> lock(ps.descriptor_params.mu);
    s.params.props = ps.descriptor_params.props;
    for (const auto& d : ps.descriptor_params.params) s.params.params.push_back(detail::instantiate(*d));
  }
  {
    std::lock_guard<std::mutex> lock(ps.clips_mu);
    for (const auto& d : ps.descriptor_clips) {
      auto c = std::make_unique<detail::Clip>();
      c->name = d->name;
      c->props = d->props;
      c->owner = &s;
      preset_clip(c->props);
      s.clips.push_back(std::move(c));
    }
  }
  detail::register_handle(&s.effect, detail::Kind::Effect);
  detail::register_handle(&s.params, detail::Kind::ParamSet);
  for (const auto& p : s.params.params) detail::register_handle(p.get(), detail::Kind::Param);
  for (const auto& c : s.clips) detail::register_handle(c.get(), detail::Kind::Clip);

  for (const auto& [name, value] : saved) {
    if (Param* p = s.params.find(name); p && detail::is_string_type(p->type)) {
      p->text = value;
      p->history.push_back(value);
    }
  }

  OfxStatus st = ps.call(kOfxActionCreateInstance, &s.effect, nullptr, nullptr);
  report(st);
  if (st != kOfxStatOK && st != kOfxStatReplyDefault) return nullptr;
  s.created = true;
  return instance;
}

Instance::~Instance() {
  InstanceState& s = impl_->st;
  if (s.created) s.plugin->call(kOfxActionDestroyInstance, &s.effect, nullptr, nullptr);
  std::vector<const void*> handles{&s.effect, &s.params};
  for (const auto& p : s.params.params) handles.push_back(p.get());
  for (const auto& c : s.clips) handles.push_back(c.get());
  detail::unregister_handles(handles);
  detail::drop_images_of(&s);
}

OfxImageEffectHandle Instance::handle() const {
  return reinterpret_cast<OfxImageEffectHandle>(&impl_->st.effect);
}

PropertySet& Instance::props() { return impl_->st.props; }

void Instance::set_source(FrameProvider provider) {
  // Moving the frame into shared storage moves its pixel vector, no copy.
  set_source(SharedFrameProvider([p = std::move(provider)](double t) -> std::shared_ptr<Image> {
    std::optional<Image> frame = p ? p(t) : std::nullopt;
    return frame ? std::make_shared<Image>(std::move(*frame)) : nullptr;
  }));
}

void Instance::set_source(SharedFrameProvider provider) {
  std::lock_guard<std::mutex> lock(impl_->st.mu);
  impl_->st.provider = std::move(provider);
}

void Instance::set_frame_range(double first, double last) {
  InstanceState& s = impl_->st;
  std::lock_guard<std::mutex> lock(s.mu);
  s.has_range = true;
  s.first = first;
  s.last = last;
  apply_clock(s);
}

void Instance::count_time_from_in_point(bool on) {
  InstanceState& s = impl_->st;
  std::lock_guard<std::mutex> lock(s.mu);
  s.from_in_point = on;
  apply_clock(s);
}

void Instance::set_frame_rate(double fps) {
  impl_->st.props.set_dbl(kOfxImageEffectPropFrameRate, {fps});
  for (const auto& c : impl_->st.clips) c->props.set_dbl(kOfxImageEffectPropFrameRate, {fps});
}

void Instance::set_project(double width, double height, double offset_x, double offset_y) {
  PropertySet& p = impl_->st.props;
  p.set_dbl(kOfxImageEffectPropProjectSize, {width, height});
  p.set_dbl(kOfxImageEffectPropProjectOffset, {offset_x, offset_y});
  p.set_dbl(kOfxImageEffectPropProjectExtent, {offset_x + width, offset_y + height});
}

void Instance::force_output_premultiplication(const std::string& premultiplication) {
  for (const auto& c : impl_->st.clips) {
    if (c->name == kOfxImageEffectOutputClipName) {
      c->props.set_str(kOfxImageEffectPropPreMultiplication, {premultiplication});
    }
  }
}

void Instance::set_pixel_depth(const std::string& depth) {
  for (const auto& c : impl_->st.clips) {
    c->props.set_str(kOfxImageEffectPropPixelDepth, {depth});
    c->props.set_str(kOfxImageEffectPropUnmappedPixelDepth, {depth});
  }
}

std::string Instance::get_string(const std::string& name) const {
  Param* p = find_param(impl_->st, name);
  if (!p) return {};
  std::lock_guard<std::mutex> lock(p->mu);
  return p->text;
}

int Instance::get_int(const std::string& name) const {
  Param* p = find_param(impl_->st, name);
  if (!p) return 0;
  std::lock_guard<std::mutex> lock(p->mu);
  if (has_ints(*p)) return p->ints[0];
  return p->doubles.empty() ? 0 : static_cast<int>(std::lround(p->doubles[0]));
}

double Instance::get_double(const std::string& name) const {
  Param* p = find_param(impl_->st, name);
  if (!p) return 0.0;
  std::lock_guard<std::mutex> lock(p->mu);
  if (!p->doubles.empty()) return p->doubles[0];
  return has_ints(*p) ? p->ints[0] : 0.0;
}

void Instance::set_string(const std::string& name, const std::string& value) {
  Param* p = find_param(impl_->st, name);
  if (!p || !detail::is_string_type(p->type)) return;
  std::lock_guard<std::mutex> lock(p->mu);
  p->text = value;
  p->history.push_back(value);
}

void Instance::set_int(const std::string& name, int value) {
  Param* p = find_param(impl_->st, name);
  if (!p) return;
  std::lock_guard<std::mutex> lock(p->mu);
  if (has_ints(*p))
    p->ints[0] = value;
  else if (!p->doubles.empty())
    p->doubles[0] = value;
}

void Instance::set_double(const std::string& name, double value) {
  Param* p = find_param(impl_->st, name);
  if (!p) return;
  std::lock_guard<std::mutex> lock(p->mu);
  if (!p->doubles.empty())
    p->doubles[0] = value;
  else if (has_ints(*p))
    p->ints[0] = static_cast<int>(std::lround(value));
}

std::vector<std::string> Instance::string_history(const std::string& name) const {
  Param* p = find_param(impl_->st, name);
  if (!p) return {};
  std::lock_guard<std::mutex> lock(p->mu);
  return p->history;
}

OfxStatus Instance::changed(const std::string& param_name, double time, const char* reason) {
  InstanceState& s = impl_->st;
  PropertySet around;
  around.set_str(kOfxPropChangeReason, {reason ? reason : kOfxChangeUserEdited});
  s.plugin->call(kOfxActionBeginInstanceChanged, &s.effect, &around, nullptr);
  PropertySet in;
  in.set_str(kOfxPropType, {kOfxTypeParameter});
  in.set_str(kOfxPropName, {param_name});
  in.set_str(kOfxPropChangeReason, {reason ? reason : kOfxChangeUserEdited});
  in.set_dbl(kOfxPropTime, {time});
  in.set_dbl(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  OfxStatus st = s.plugin->call(kOfxActionInstanceChanged, &s.effect, &in, nullptr);
  s.plugin->call(kOfxActionEndInstanceChanged, &s.effect, &around, nullptr);
  return st;
}

OfxStatus Instance::render(double time, Image& output) {
  InstanceState& s = impl_->st;
  const auto self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.outputs[self] = &output;
  }
  PropertySet in;
  const OfxRectI& b = output.bounds;
  in.set_dbl(kOfxPropTime, {time});
  in.set_str(kOfxImageEffectPropFieldToRender, {kOfxImageFieldNone});
  in.set_int(kOfxImageEffectPropRenderWindow, {b.x1, b.y1, b.x2, b.y2});
  in.set_dbl(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  in.set_int(kOfxImageEffectPropSequentialRenderStatus, {0});
  in.set_int(kOfxImageEffectPropInteractiveRenderStatus, {0});
  OfxStatus st = s.plugin->call(kOfxImageEffectActionRender, &s.effect, &in, nullptr);
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.outputs.erase(self);
  }
  return st;
}

OfxStatus Instance::clip_preferences(PropertySet& out_args) {
  InstanceState& s = impl_->st;
  // Like a real host, the out-arguments arrive holding the current choices.
  auto preset = [&out_args](const std::string& name, auto fill) {
    if (!out_args.has(name)) fill(name);
  };
  for (const auto& c : s.clips) {
    const std::string depth = c->props.str(kOfxImageEffectPropPixelDepth);
    preset(kOfxImageClipPropComponentsPrefix + c->name,
           [&](const std::string& n) { out_args.set_str(n, {kOfxImageComponentRGBA}); });
    preset(kOfxImageClipPropDepthPrefix + c->name,
           [&](const std::string& n) { out_args.set_str(n, {depth}); });
    preset(kOfxImageClipPropPARPrefix + c->name, [&](const std::string& n) { out_args.set_dbl(n, {1.0}); });
  }
  preset(kOfxImageEffectPropPreMultiplication,
         [&](const std::string& n) { out_args.set_str(n, {kOfxImagePreMultiplied}); });
  preset(kOfxImageEffectFrameVarying, [&](const std::string& n) { out_args.set_int(n, {0}); });
  preset(kOfxImageClipPropContinuousSamples, [&](const std::string& n) { out_args.set_int(n, {0}); });
  return s.plugin->call(kOfxImageEffectActionGetClipPreferences, &s.effect, nullptr, &out_args);
}

OfxStatus Instance::action(const std::string& name, PropertySet* in_args, PropertySet* out_args) {
  InstanceState& s = impl_->st;
  return s.plugin->call(name.c_str(), &s.effect, in_args, out_args);
}

std::vector<Message> Instance::messages() const {
  std::lock_guard<std::mutex> lock(impl_->st.mu);
  return impl_->st.messages;
}

void Instance::clear_messages() {
  std::lock_guard<std::mutex> lock(impl_->st.mu);
  impl_->st.messages.clear();
}

int Instance::outstanding_images() const { return impl_->st.outstanding.load(); }

OfxStatus render_in_fresh_instance(Plugin& plugin, double time,
                                   const std::map<std::string, std::string>& saved,
                                   const std::function<void(Instance&)>& prepare, Image& output) {
  OfxStatus status = kOfxStatOK;
  std::unique_ptr<Instance> instance = plugin.create_instance(&status, saved);
  if (!instance) {
    return status == kOfxStatOK ? kOfxStatFailed : status;
  }
  if (prepare) {
    prepare(*instance);
  }
  return instance->render(time, output);
}

OfxStatus render_only(Plugin& plugin, const RenderOnlyHost& host, double time, Image& output) {
  return render_in_fresh_instance(
      plugin, time, host.strings,
      [&host](Instance& instance) {
        for (const auto& [name, value] : host.ints) instance.set_int(name, value);
        instance.set_pixel_depth(host.depth);
        instance.set_frame_range(host.first, host.last);
        instance.count_time_from_in_point();
        instance.force_output_premultiplication(kOfxImageUnPreMultiplied);
        instance.set_source(host.source);
      },
      output);
}

}  // namespace ofxhost
