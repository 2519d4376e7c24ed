// Overlay interacts: one per viewer, driven by pen events and draw requests.
//
// Like a host's user-interface thread, overlay actions of one plug-in reach it
// one at a time, whichever thread calls in.
#include "host_internal.h"

namespace ofxhost {
namespace {

using detail::InteractState;

InteractState* interact_of(OfxInteractHandle h) { return reinterpret_cast<InteractState*>(h); }

// Swap buffers and redraw: there is no viewer to act on, so both only check the handle.
OfxStatus interactCheckHandle(OfxInteractHandle h) {
  detail::LiveLock live(h, detail::Kind::Interact);
  return live ? kOfxStatOK : kOfxStatErrBadHandle;
}

OfxStatus interactGetPropertySet(OfxInteractHandle h, OfxPropertySetHandle* props) {
  detail::LiveLock live(h, detail::Kind::Interact);
  if (!live || !props) return kOfxStatErrBadHandle;
  *props = handle_of(interact_of(h)->props);
  return kOfxStatOK;
}

const OfxInteractSuiteV1 kInteractSuite = {interactCheckHandle, interactCheckHandle, interactGetPropertySet};

void preset_interact(PropertySet& p, void* effect, const PropertySet& instance_props) {
  p.set_str(kOfxPropType, {"OfxTypeInteractInstance"});
  p.set_ptr(kOfxPropEffectInstance, {effect});
  p.set_ptr(kOfxPropInstanceData, {nullptr});
  p.set_dbl(kOfxInteractPropPixelScale, {1.0, 1.0});
  p.set_dbl(kOfxInteractPropBackgroundColour, {0.0, 0.0, 0.0});
  p.set_dbl(kOfxInteractPropSuggestedColour, {1.0, 1.0, 1.0});
  p.set_dbl(kOfxInteractPropViewportSize, {instance_props.dbl(kOfxImageEffectPropProjectSize, 0),
                                           instance_props.dbl(kOfxImageEffectPropProjectSize, 1)});
  p.set_int(kOfxInteractPropBitDepth, {8});
  p.set_int(kOfxInteractPropHasAlpha, {1});
  p.set_str(kOfxInteractPropSlaveToParam, {});
}

// The in-arguments every overlay action carries.
PropertySet common_args(const InteractState& st, double sx, double sy, double time) {
  PropertySet in;
  in.set_ptr(kOfxPropEffectInstance, {st.effect});
  in.set_dbl(kOfxInteractPropPixelScale, {sx, sy});
  in.set_dbl(kOfxInteractPropBackgroundColour, {0.0, 0.0, 0.0});
  in.set_dbl(kOfxPropTime, {time});
  in.set_dbl(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  return in;
}

}  // namespace

namespace detail {
const OfxInteractSuiteV1* interact_suite() { return &kInteractSuite; }
}  // namespace detail

Interact::Interact() : impl_(std::make_unique<Impl>()) {}

std::unique_ptr<Interact> Instance::new_interact() {
  std::unique_ptr<Interact> it(new Interact);
  InteractState& st = it->impl_->st;
  detail::InstanceState& inst = impl_->st;
  detail::PluginState& plugin = *inst.plugin;
  st.plugin = &plugin;
  st.effect = &inst.effect;
  preset_interact(st.props, &inst.effect, inst.props);
  detail::register_handle(&st, detail::Kind::Interact);
  if (!plugin.overlay) return it;

  std::lock_guard<std::mutex> lock(plugin.interact_mu);
  if (!plugin.overlay_described) {
    // Real hosts describe the overlay once before making its first instance.
    InteractState& d = plugin.overlay_descriptor;
    d.props.set_str(kOfxPropType, {"OfxTypeInteract"});
    d.props.set_int(kOfxInteractPropBitDepth, {8});
    d.props.set_int(kOfxInteractPropHasAlpha, {1});
    detail::register_handle(&d, detail::Kind::Interact);
    plugin.overlay(kOfxActionDescribe, &d, nullptr, nullptr);
    plugin.overlay_described = true;
  }
  OfxStatus created = plugin.overlay(kOfxActionCreateInstance, &st, nullptr, nullptr);
  st.created = created == kOfxStatOK || created == kOfxStatReplyDefault;
  return it;
}

Interact::~Interact() {
  InteractState& st = impl_->st;
  detail::PluginState& plugin = *st.plugin;
  if (plugin.overlay && st.created) {
    std::lock_guard<std::mutex> lock(plugin.interact_mu);
    plugin.overlay(kOfxActionDestroyInstance, &st, nullptr, nullptr);
  }
  detail::unregister_handles({&st});
}

OfxInteractHandle Interact::handle() const { return reinterpret_cast<OfxInteractHandle>(&impl_->st); }

namespace {

OfxStatus pen(InteractState& st, const char* action, const PenEvent& e) {
  detail::PluginState& plugin = *st.plugin;
  if (!plugin.overlay) return kOfxStatReplyDefault;
  PropertySet in = common_args(st, e.pixel_scale_x, e.pixel_scale_y, e.time);
  in.set_dbl(kOfxInteractPropPenPosition, {e.x, e.y});
  // Without a real viewport, one viewport pixel is one pixel-scale step of canonical space.
  int vx = e.pixel_scale_x != 0 ? static_cast<int>(e.x / e.pixel_scale_x) : 0;
  int vy = e.pixel_scale_y != 0 ? static_cast<int>(e.y / e.pixel_scale_y) : 0;
  in.set_int(kOfxInteractPropPenViewportPosition, {vx, vy});
  in.set_dbl(kOfxInteractPropPenPressure, {e.pressure});
  std::lock_guard<std::mutex> lock(plugin.interact_mu);
  return plugin.overlay(action, &st, handle_of(in), nullptr);
}

}  // namespace

OfxStatus Interact::pen_down(const PenEvent& e) { return pen(impl_->st, kOfxInteractActionPenDown, e); }

OfxStatus Interact::pen_motion(const PenEvent& e) { return pen(impl_->st, kOfxInteractActionPenMotion, e); }

OfxStatus Interact::pen_up(const PenEvent& e) { return pen(impl_->st, kOfxInteractActionPenUp, e); }

OfxStatus Interact::draw(double time) {
  InteractState& st = impl_->st;
  detail::PluginState& plugin = *st.plugin;
  if (!plugin.overlay) return kOfxStatReplyDefault;
  PropertySet in = common_args(st, 1.0, 1.0, time);
  in.set_ptr(kOfxInteractPropDrawContext, {nullptr});
  std::lock_guard<std::mutex> lock(plugin.interact_mu);
  return plugin.overlay(kOfxInteractActionDraw, &st, handle_of(in), nullptr);
}

std::vector<unsigned char> Interact::draw_pixels(int width, int height, OfxRectD view, OfxStatus* status,
                                                 double time) {
  InteractState& st = impl_->st;
  detail::PluginState& plugin = *st.plugin;
  auto report = [status](OfxStatus s) {
    if (status) *status = s;
  };
  std::lock_guard<std::mutex> lock(plugin.interact_mu);
  detail::GlOffscreen gl(width, height, view);
  if (!gl.ok()) {
    report(kOfxStatErrMissingHostFeature);
    return {};
  }
  if (!plugin.overlay) {
    report(kOfxStatReplyDefault);
    return gl.read();
  }
  const double sx = (view.x2 - view.x1) / width;
  const double sy = (view.y2 - view.y1) / height;
  st.props.set_dbl(kOfxInteractPropPixelScale, {sx, sy});
  st.props.set_dbl(kOfxInteractPropViewportSize, {double(width), double(height)});
  PropertySet in = common_args(st, sx, sy, time);
  in.set_ptr(kOfxInteractPropDrawContext, {nullptr});
  report(plugin.overlay(kOfxInteractActionDraw, &st, handle_of(in), nullptr));
  return gl.read();
}

}  // namespace ofxhost
