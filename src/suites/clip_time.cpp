#include "suites/clip_time.h"

#include <cmath>

#include "suites/host_access.h"

namespace {

FrameRange clip_range(OfxImageEffectHandle effect, const char* clip_name) {
  FrameRange range;
  OfxImageClipHandle clip = nullptr;
  OfxPropertySetHandle props = nullptr;
  if (!gEffect || !gProp) {
    return range;
  }
  gEffect->clipGetHandle(effect, clip_name, &clip, nullptr);
  if (clip) {
    gEffect->clipGetPropertySet(clip, &props);
  }
  double values[2] = {0.0, 0.0};
  if (props && gProp->propGetDoubleN(props, kOfxImageEffectPropFrameRange, 2, values) == kOfxStatOK &&
      std::isfinite(values[0]) && std::isfinite(values[1])) {
    range = {values[0], values[1], true};
  }
  return range;
}

}  // namespace

double time_offset(const FrameRange& source, const FrameRange& output) {
  if (!source.given || !output.given) {
    return 0.0;
  }
  const double shift = source.first - output.first;
  // A retimed clip (another length) or a shift by part of a frame is no
  // in-point: those times are left as they are.
  const double length_change = (source.last - source.first) - (output.last - output.first);
  if (std::fabs(length_change) > 1e-6 || std::fabs(shift - std::round(shift)) > 1e-6) {
    return 0.0;
  }
  return std::round(shift);
}

ClipTime read_clip_time(OfxImageEffectHandle effect) {
  ClipTime clock;
  clock.source = clip_range(effect, kOfxImageEffectSimpleSourceClipName);
  clock.offset = time_offset(clock.source, clip_range(effect, kOfxImageEffectOutputClipName));
  return clock;
}
