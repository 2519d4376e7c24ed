// The "Pull alpha (whole clip)" button. Runs on the host's thread: checks,
// grabs every frame of the source clip into JPEG files, builds the request
// document and hands the network work to a session worker thread. When the
// last pull of this instance left its frames with the backend and every frame
// grabbed now is byte for byte the same, nothing is encoded: the worker only
// starts that session again with the new marks.
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <utility>

#include "plugin/frame_convert.h"
#include "plugin/frame_digest.h"
#include "plugin/frame_writer.h"
#include "plugin/instance_registry.h"
#include "plugin/matte_store.h"
#include "plugin/pull.h"
#include "plugin/pull_cancel.h"
#include "plugin/pull_job.h"
#include "plugin/pull_record.h"
#include "plugin/request_document.h"
#include "plugin/session_worker.h"
#include "suites/clip_time.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

constexpr const char* kSourceClip = "Source";
// Frame indexes are ints; a host reporting a longer range is cut there.
constexpr double kMaxFrames = 2147483646.0;
constexpr int kEncoderThreads = 2;

struct ClipTiming {
  double first = 0.0;   // the clip's first frame, in its own numbers
  double offset = 0.0;  // clip frame = host time + offset (clip_time.h)
  double fps = 25.0;
  int count = 1;
};

// N = lround(L - F) + 1, at least 1.
int frame_count(double first, double last) {
  const double span = last - first;
  if (!(span > 0.0)) {
    return 1;
  }
  if (span >= kMaxFrames) {
    return static_cast<int>(kMaxFrames);
  }
  return static_cast<int>(std::lround(span)) + 1;
}

OfxImageClipHandle source_clip(OfxImageEffectHandle effect) {
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(effect, kSourceClip, &clip, nullptr);
  return clip;
}

ClipTiming read_clip_timing(OfxImageEffectHandle effect) {
  ClipTiming timing;
  OfxPropertySetHandle props = nullptr;
  if (OfxImageClipHandle clip = source_clip(effect)) {
    gEffect->clipGetPropertySet(clip, &props);
  }
  if (props) {
    gProp->propGetDouble(props, kOfxImageEffectPropFrameRate, 0, &timing.fps);
  }
  const ClipTime clock = read_clip_time(effect);
  if (clock.source.given) {
    timing.first = clock.source.first;
    timing.count = frame_count(clock.source.first, clock.source.last);
  }
  timing.offset = clock.offset;
  return timing;
}

// Two random 32-bit values as 16 lower-case hex digits.
std::string job_id() {
  std::random_device random;
  char text[17];
  std::snprintf(text, sizeof text, "%08x%08x", static_cast<unsigned>(random()),
                static_cast<unsigned>(random()));
  return text;
}

// Fetches the source frame at time t and converts it; false when the host
// gives no image, or one without pixels to read.
bool grab_frame(OfxImageEffectHandle effect, double t, ByteImage* out) {
  OfxImageClipHandle clip = source_clip(effect);
  if (!clip) {
    return false;
  }
  HostImage image;
  if (gEffect->clipGetImage(clip, t, nullptr, &image.handle) != kOfxStatOK || !image.handle) {
    return false;
  }
  void* data = nullptr;
  int bounds[4] = {0, 0, 0, 0};
  int row_bytes = 0;
  char* depth = nullptr;
  gProp->propGetPointer(image.handle, kOfxImagePropData, 0, &data);
  gProp->propGetIntN(image.handle, kOfxImagePropBounds, 4, bounds);
  gProp->propGetInt(image.handle, kOfxImagePropRowBytes, 0, &row_bytes);
  gProp->propGetString(image.handle, kOfxImageEffectPropPixelDepth, 0, &depth);

  HostImageView view;
  view.data = data;
  view.bounds = {bounds[0], bounds[1], bounds[2], bounds[3]};
  view.row_bytes = row_bytes;
  view.is_float = depth && std::string(depth) == kOfxBitDepthFloat;
  return convert_frame(view, out);
}

// How a launch ended, when it did not hand the pull to a worker.
struct Stopped {
  bool cancelled = false;
  std::string error;  // else why it could not start; "" for an unexpected failure
};

// Grabs frames 0 to N - 1 into the upload folder, with their digests; the
// first failure's text, or "". A cancel is looked for before each frame;
// *cancelled then says so.
std::string grab_clip(OfxImageEffectHandle effect, const ClipTiming& clip, const std::string& upload_dir,
                      std::vector<uint64_t>* digests, bool* cancelled) {
  FrameWriter writer(upload_dir, clip.count > 1 ? kEncoderThreads : 1);
  std::string error;
  digests->clear();
  for (int i = 0; i < clip.count; ++i) {
    if (pullCancelRequested()) {
      *cancelled = true;
      break;
    }
    ByteImage image = writer.take_buffer();
    // Frame i is the clip's frame first + i, whatever the host counts from.
    if (!grab_frame(effect, clip.first + i - clip.offset, &image)) {
      // Frames before this one may also have failed to reach the disk; name the first.
      return writer.finish(&error) ? "could not read frame " + std::to_string(i) : error;
    }
    digests->push_back(frame_digest(image));
    writer.submit(i, std::move(image));
    if (writer.failed()) {
      break;
    }
  }
  return writer.finish(&error) ? std::string() : error;
}

// Whether a correction round can build on the last pull of this instance:
// same backend, same clip length, first frame and rate, frames still kept.
bool reusable(const PullRecord& record, const std::string& backend_url, const ClipTiming& clip) {
  return record.backend_url == backend_url && static_cast<int>(record.digests.size()) == clip.count &&
         record.first_frame == clip.first && record.fps == clip.fps && kept_frames_present(record);
}

enum class Sameness { Same, Changed, Stopped };

// Grabs every frame without encoding it and compares its digest with the
// last pull's, up to the first that differs. The host hands every frame over
// all the same: a digest is the one way to know a frame is unchanged.
Sameness same_frames(OfxImageEffectHandle effect, const ClipTiming& clip, const PullRecord& record,
                     Stopped* stopped) {
  ByteImage image;
  for (int i = 0; i < clip.count; ++i) {
    if (pullCancelRequested()) {
      stopped->cancelled = true;
      return Sameness::Stopped;
    }
    if (!grab_frame(effect, clip.first + i - clip.offset, &image)) {
      stopped->error = "could not read frame " + std::to_string(i);
      return Sameness::Stopped;
    }
    if (frame_digest(image) != record.digests[static_cast<size_t>(i)]) return Sameness::Changed;
  }
  return Sameness::Same;
}

RequestInputs read_request_inputs(OfxImageEffectHandle effect, double time, const ClipTiming& clip) {
  RequestInputs in;
  in.time = time + clip.offset;  // the clip's frame the user pressed on
  in.first_frame = clip.first;
  in.frame_count = clip.count;
  in.quality_index = get_int(effect, params::kQuality, 0);
  in.edge_softness = get_double(effect, params::kEdgeSoftness, 0.0);
  in.text_hint = get_string(effect, params::kTextHint);
  in.bbox_json = get_string(effect, params::kBboxJson);
  in.brush_json = get_string(effect, params::kBrushJson);
  in.frame_marks = get_string(effect, params::kFrameMarks);
  return in;
}

// Everything after the two checks. True once the worker owns the pull; else
// *stopped says why not, and the caller ends the pull.
bool launch(OfxImageEffectHandle effect, double time, const std::string& backend_url, Stopped* stopped) {
  const ClipTiming clip = read_clip_timing(effect);

  std::string error;
  if (!ensure_working_root(&error)) {
    stopped->error = error;
    return false;
  }

  PullJob job;
  set_string(effect, params::kStatus, "grabbing " + std::to_string(clip.count) + " frames...");
  PullRecord previous;
  const bool has_previous = read_pull_record(get_string(effect, params::kSessionId), &previous);
  Sameness sameness = Sameness::Changed;
  if (has_previous && reusable(previous, backend_url, clip)) {
    sameness = same_frames(effect, clip, previous, stopped);
    if (sameness == Sameness::Stopped) {
      return false;
    }
  }
  if (sameness == Sameness::Same) {
    job.upload_dir = previous.frames_dir;
    job.digests = previous.digests;
    job.reuse_session = previous.session_id;
    job.round_folder = "round_" + job_id();
  } else {
    const std::string upload_dir = temp_root() + "upload_" + job_id() + "/";
    if (!make_folder(upload_dir)) {
      stopped->error = "could not create the folder " + upload_dir;
      return false;
    }
    stopped->error = grab_clip(effect, clip, upload_dir, &job.digests, &stopped->cancelled);
    if (stopped->cancelled || !stopped->error.empty()) {
      return false;
    }
    job.upload_dir = upload_dir;
    if (has_previous) {
      job.previous_frames_dir = previous.frames_dir;
      job.previous_frame_count = static_cast<int>(previous.digests.size());
    }
  }

  job.effect = effect;
  job.backend_url = backend_url;
  job.frame_count = clip.count;
  job.fps = clip.fps;
  job.first_frame = clip.first;
  job.request_body = request_body(read_request_inputs(effect, time, clip));
  // A host that skipped the create action still gets its pull reported.
  if (liveInstance(effect).generation == 0) {
    instanceCreated(effect);
  }
  job.instance_generation = liveInstance(effect).generation;

  set_string(effect, params::kClipStart, std::to_string(clip.first));
  startBackground([job = std::move(job)]() mutable { runSession(std::move(job)); });
  return true;
}

}  // namespace

void pullAlpha(OfxImageEffectHandle effect, double time) {
  const std::string backend_url = get_string(effect, params::kBackendUrl);
  if (backend_url.compare(0, 4, "http") != 0) {
    toast("Corvane: paste your Backend URL first.");
    return;
  }
  if (gBusy.exchange(true)) {
    toast("Corvane: a matte is already being pulled.");
    return;
  }
  // From here every way out either hands gBusy to the worker or releases it.
  pullBegins(effect);
  Stopped stopped;
  bool started = false;
  try {
    started = launch(effect, time, backend_url, &stopped);
  } catch (...) {
    // Out of memory, no thread to be had, a library error: reported below.
  }
  if (started) {
    return;
  }
  pullEnds();
  if (stopped.cancelled) {
    try {
      toast(kCancelledMessage);
      set_string(effect, params::kStatus, kCancelledStatus);
    } catch (...) {
      // Nothing may reach the host; gBusy is released below all the same.
    }
    gBusy = false;
    return;
  }
  gBusy = false;
  try {
    toast("Corvane: " + (stopped.error.empty() ? std::string("the pull could not start") : stopped.error));
  } catch (...) {
    // Nothing may reach the host; gBusy is already free.
  }
}
