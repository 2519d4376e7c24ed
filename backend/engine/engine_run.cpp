// The engine's outer loop: every marked frame is an anchor. Each is segmented
// in frame order; between two the trackers from either side meet halfway,
// after the last one tracking runs on to the last frame and before the first
// back to the first, reading one frame ahead and writing one behind.
#include "engine.h"
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <future>
#include <vector>

namespace tessel {
namespace {

// Largest JPEG reduction that still leaves the refinement its resolution.
int reduction_for(cv::Size full, int refine_side) {
  int longest = std::max(full.width, full.height);
  int r = 1;
  while (r < 8 && longest / (r * 2) >= refine_side) r *= 2;
  return r;
}

struct Pass {
  Pass(const EngineRequest& rq, const EngineSettings& st, const FrameReader& rd, const MatteWriter& wr,
       const StageReporter& rp, const std::atomic<bool>* c, int n)
      : request(rq), settings(st), read(rd), write(wr), report(rp), cancel(c), frame_count(n) {}
  const EngineRequest& request;
  const EngineSettings& settings;
  const FrameReader& read;
  const MatteWriter& write;
  const StageReporter& report;
  const std::atomic<bool>* cancel;
  int frame_count;
  int reduce = 1;
  cv::Size work_size;
  int done = 0;
  std::future<bool> pending_write;
  int pending_index = -1;
};

bool flush_write(Pass* p, EngineOutcome* out) {
  if (!p->pending_write.valid()) return true;
  bool ok = p->pending_write.get();
  if (!ok) out->error = "cannot store the matte of frame " + std::to_string(p->pending_index);
  return ok;
}

ColourModel colour_copy(const ColourModel& c) {
  return ColourModel{c.fg.clone(), c.bg.clone(), c.fg_exact.clone(), c.bg_exact.clone(), c.ready};
}

// Refines and hands out one matte, held to the user's pins. Refinement and
// encoding run beside the tracking of the next frame, on copies of what the
// tracker goes on changing: the two take about as long, one core each.
bool emit(Pass* p, int index, const cv::Mat& prob, const ColourModel& colour, const cv::Mat& pins,
          const Frame& frame, EngineOutcome* out) {
  if (!flush_write(p, out)) return false;
  p->pending_index = index;
  const MatteWriter& write = p->write;
  const int refine_side = p->settings.refine_side;
  const double softness = p->request.edge_softness;
  p->pending_write = std::async(std::launch::async, [&write, index, refine_side, softness, prob = prob.clone(),
                                                     colour = colour_copy(colour), pins = pins.clone(),
                                                     frame] {
    cv::Mat guide = frame.bgr;
    cv::Size guide_size = fit_side(guide.size(), refine_side);
    if (guide_size != guide.size()) cv::resize(guide, guide, guide_size, 0, 0, cv::INTER_AREA);
    cv::Mat alpha = refine_matte(prob, guide, colour, softness, frame.full_size);
    hold_pins(pins, &alpha);
    return write(index, alpha);
  });
  ++p->done;
  p->report("tracking " + std::to_string(p->done) + "/" + std::to_string(p->frame_count));
  return true;
}

cv::Mat to_work(const Pass& p, const Frame& frame) {
  cv::Mat work;
  cv::resize(frame.bgr, work, p.work_size, 0, 0, cv::INTER_AREA);
  return work;
}

// Frames where the trackers of two consecutive anchors meet: the earlier
// anchor's tracker leaves its say on each, the later one's blends with it.
struct Meeting {
  int lo = 0, hi = -1;
  std::vector<TrackedFrame> earlier;  // frame lo + k at k
  bool holds(int i) const { return i >= lo && i <= hi; }
};

// Tracks from an anchor's state through `order`, prefetching the next frame.
// Within `meeting` the tracker either leaves its say there (`leave`) or
// blends with what was left.
bool track(Pass* p, Tracker tracker, const std::vector<int>& order, Meeting* meeting, bool leave,
           EngineOutcome* out) {
  if (order.empty()) return true;
  const FrameReader& read = p->read;
  int reduce = p->reduce;
  auto fetch = [&read, reduce](int i) {
    return std::async(std::launch::async, [&read, i, reduce] { return read(i, reduce); });
  };
  std::future<Frame> next = fetch(order[0]);
  for (size_t k = 0; k < order.size(); ++k) {
    Frame frame = next.get();
    if (k + 1 < order.size()) next = fetch(order[k + 1]);
    if (p->cancel && p->cancel->load()) {
      out->cancelled = true;
      return false;
    }
    const int index = order[k];
    if (frame.bgr.empty()) {
      out->error = "frame " + std::to_string(index) + " cannot be decoded";
      return false;
    }
    cv::Mat prob = tracker_step(&tracker, to_work(*p, frame));
    if (meeting && meeting->holds(index)) {
      TrackedFrame& left = meeting->earlier[index - meeting->lo];
      if (leave) {
        left = tracked_copy(prob, tracker.colour, tracker.pins, tracker.body_area);
        continue;
      }
      TrackedFrame met =
          blend_tracked(left, TrackedFrame{prob, tracker.colour, tracker.pins, tracker.body_area},
                        later_share(index, meeting->lo, meeting->hi));
      left = TrackedFrame{};
      if (!emit(p, index, met.prob, met.colour, met.pins, frame, out)) return false;
      continue;
    }
    if (!emit(p, index, prob, tracker.colour, tracker.pins, frame, out)) return false;
  }
  return true;
}

// Segments the anchor `marks` describes, starts its tracker and hands out
// its matte. The first anchor opened sets the sizes the clip is worked at.
bool open_anchor(Pass* p, const EngineRequest& marks, const std::string& stage, bool marked, Tracker* tracker,
                 EngineOutcome* out) {
  const int anchor = marks.anchor_frame;
  const int frame_count = p->frame_count;
  p->report(stage);
  Frame first = p->read(anchor, 1);
  if (first.bgr.empty()) {
    out->error = "frame " + std::to_string(anchor) + " cannot be decoded";
    return false;
  }
  if (p->work_size.empty()) {
    p->reduce = reduction_for(first.full_size, p->settings.refine_side);
    p->work_size = fit_side(first.bgr.size(), p->settings.work_side);
  }
  cv::Mat work = to_work(*p, first);
  // Frames either side show what moves with the camera; far ones show more
  // of the background behind a character that moves slowly. Short clips
  // clamp the offsets: each frame is taken once.
  std::vector<Neighbour> neighbours;
  for (int offset : {-24, -12, -4, 4, 12, 24}) {
    int i = std::min(std::max(anchor + offset, 0), frame_count - 1);
    bool seen = i == anchor;
    for (const Neighbour& n : neighbours) seen = seen || n.offset == i - anchor;
    if (seen) continue;
    Frame f = p->read(i, p->reduce);
    if (!f.bgr.empty()) neighbours.push_back({i - anchor, to_work(*p, f)});
  }
  cv::Mat mask, pins;
  bool person = false;
  if (!segment_anchor(work, neighbours, marks, p->settings, &mask, &pins, &person, &out->error)) {
    if (marked) out->error = "marked frame " + std::to_string(anchor) + ": " + out->error;
    return false;
  }
  neighbours.clear();
  // The anchor is the longest step before its first frame: a cancel during it stops here.
  if (p->cancel && p->cancel->load()) {
    out->cancelled = true;
    return false;
  }
  cv::Mat prob = tracker_start(tracker, work, mask, pins, person, p->settings);
  // On the anchor the marks are held at full resolution.
  return emit(p, anchor, prob, tracker->colour, anchor_pins(marks, first.full_size), first, out);
}

// Frames from `from` to `to`, both included, stepping by `step` (1 or -1);
// none when `to` lies the other way.
std::vector<int> frame_run(int from, int to, int step) {
  std::vector<int> order;
  for (int i = from; step > 0 ? i <= to : i >= to; i += step) order.push_back(i);
  return order;
}

EngineOutcome run(const EngineRequest& request, int frame_count, const FrameReader& read,
                  const MatteWriter& write, const StageReporter& report, const std::atomic<bool>* cancel) {
  EngineOutcome out;
  if (frame_count <= 0) {
    out.error = "no frames to matte";
    return out;
  }
  std::vector<EngineRequest> anchors;
  if (!plan_anchors(request, frame_count, &anchors, &out.error)) return out;
  const EngineSettings settings = engine_settings(request.quality);
  Pass p(request, settings, read, write, report, cancel, frame_count);
  const int count = static_cast<int>(anchors.size());
  auto stage = [count](int k) {
    return count == 1 ? std::string("segmenting anchor")
                      : "segmenting anchor " + std::to_string(k + 1) + "/" + std::to_string(count);
  };

  // The first anchor's tracker goes back to the first frame last of all, the
  // last one's on to the last frame; between two anchors each tracks towards
  // the other and they meet halfway.
  const int primary = std::min(std::max(request.anchor_frame, 0), frame_count - 1);
  Tracker current;
  bool ok = open_anchor(&p, anchors[0], stage(0), anchors[0].anchor_frame != primary, &current, &out);
  Tracker first_back = ok ? tracker_copy(current) : Tracker{};
  for (int k = 1; ok && k < count; ++k) {
    Tracker next;
    ok = open_anchor(&p, anchors[k], stage(k), anchors[k].anchor_frame != primary, &next, &out);
    if (!ok) break;
    const int a = anchors[k - 1].anchor_frame, b = anchors[k].anchor_frame;
    Meeting meeting;
    meeting_frames(a, b, &meeting.lo, &meeting.hi);
    if (meeting.lo <= meeting.hi) {
      meeting.earlier.resize(static_cast<size_t>(meeting.hi - meeting.lo + 1));
      ok = track(&p, std::move(current), frame_run(a + 1, meeting.hi, 1), &meeting, true, &out) &&
           track(&p, tracker_copy(next), frame_run(b - 1, meeting.lo, -1), &meeting, false, &out);
    }
    current = std::move(next);
  }
  const int front = anchors.front().anchor_frame, last = anchors.back().anchor_frame;
  ok = ok && track(&p, std::move(current), frame_run(last + 1, frame_count - 1, 1), nullptr, false, &out);
  ok = ok && track(&p, std::move(first_back), frame_run(front - 1, 0, -1), nullptr, false, &out);
  // The last write is always awaited: its matte may be the one that fails.
  bool flushed = flush_write(&p, &out);
  out.ok = ok && flushed && !out.cancelled;
  return out;
}

}  // namespace

EngineOutcome run_engine(const EngineRequest& request, int frame_count, const FrameReader& read,
                         const MatteWriter& write, const StageReporter& report,
                         const std::atomic<bool>* cancel) {
  try {
    return run(request, frame_count, read, write, report, cancel);
  } catch (const cv::Exception& e) {
    return EngineOutcome{false, false, "matting error: " + e.err};
  } catch (const std::exception& e) {
    return EngineOutcome{false, false, std::string("matting error: ") + e.what()};
  }
}

}  // namespace tessel
