// The engine's outer loop: anchor first, then forward to the last frame and
// backward to the first, reading one frame ahead and writing one behind.
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

// Tracks from the anchor's state through `order`, prefetching the next frame.
bool track(Pass* p, Tracker tracker, const std::vector<int>& order, EngineOutcome* out) {
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
    if (frame.bgr.empty()) {
      out->error = "frame " + std::to_string(order[k]) + " cannot be decoded";
      return false;
    }
    cv::Mat prob = tracker_step(&tracker, to_work(*p, frame));
    if (!emit(p, order[k], prob, tracker.colour, tracker.pins, frame, out)) return false;
  }
  return true;
}

EngineOutcome run(const EngineRequest& request, int frame_count, const FrameReader& read,
                  const MatteWriter& write, const StageReporter& report, const std::atomic<bool>* cancel) {
  EngineOutcome out;
  if (frame_count <= 0) {
    out.error = "no frames to matte";
    return out;
  }
  const EngineSettings settings = engine_settings(request.quality);
  Pass p(request, settings, read, write, report, cancel, frame_count);
  const int anchor = std::min(std::max(request.anchor_frame, 0), frame_count - 1);

  report("segmenting anchor");
  Frame first = read(anchor, 1);
  if (first.bgr.empty()) {
    out.error = "frame " + std::to_string(anchor) + " cannot be decoded";
    return out;
  }
  p.reduce = reduction_for(first.full_size, settings.refine_side);
  p.work_size = fit_side(first.bgr.size(), settings.work_side);
  cv::Mat work = to_work(p, first);
  // Frames either side show what moves with the camera; far ones show more
  // of the background behind a character that moves slowly. Short clips
  // clamp the offsets: each frame is taken once.
  std::vector<Neighbour> neighbours;
  for (int offset : {-24, -12, -4, 4, 12, 24}) {
    int i = std::min(std::max(anchor + offset, 0), frame_count - 1);
    bool seen = i == anchor;
    for (const Neighbour& n : neighbours) seen = seen || n.offset == i - anchor;
    if (seen) continue;
    Frame f = read(i, p.reduce);
    if (!f.bgr.empty()) neighbours.push_back({i - anchor, to_work(p, f)});
  }
  cv::Mat mask, pins;
  bool person = false;
  if (!segment_anchor(work, neighbours, request, settings, &mask, &pins, &person, &out.error)) return out;
  neighbours.clear();
  // The anchor is the longest step before the first frame: a cancel during it stops here.
  if (cancel && cancel->load()) {
    out.cancelled = true;
    return out;
  }

  Tracker forward;
  cv::Mat prob = tracker_start(&forward, work, mask, pins, person, settings);
  Tracker backward = tracker_copy(forward);
  // On the anchor the marks are held at full resolution.
  bool ok = emit(&p, anchor, prob, forward.colour, anchor_pins(request, first.full_size), first, &out);
  first = Frame{};

  std::vector<int> ahead, behind;
  for (int i = anchor + 1; i < frame_count; ++i) ahead.push_back(i);
  for (int i = anchor - 1; i >= 0; --i) behind.push_back(i);
  ok = ok && track(&p, std::move(forward), ahead, &out);
  ok = ok && track(&p, std::move(backward), behind, &out);
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
