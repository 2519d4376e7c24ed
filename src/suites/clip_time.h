// The Source clip's own frames and how the host's times reach them. Most
// hosts render a filter at the clip's own frame numbers. Some count render
// (and action) times from the clip's in-point while the Source clip still
// reports its own frame range; their Output clip's range then starts at 0,
// so the two ranges together tell the offset.
#pragma once

#include "ofx/ofx_api.h"

struct FrameRange {
  double first = 0.0;
  double last = 0.0;
  bool given = false;  // false when the host reports no range for the clip
};

struct ClipTime {
  FrameRange source;    // the Source clip's frames, in its own numbers
  double offset = 0.0;  // clip frame = host time + offset
};

// The offset from the host's times to the clip's frames: where both ranges
// are given and one is the other moved by whole frames (a trimmed clip
// counted from its in-point), that move; else 0, the times are the frames.
double time_offset(const FrameRange& source, const FrameRange& output);

// Reads the Source and Output clips' frame ranges from the host.
ClipTime read_clip_time(OfxImageEffectHandle effect);
