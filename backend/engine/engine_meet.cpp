// Where two anchors' trackers meet: between consecutive anchors the one from
// the earlier hands over to the one from the later over a few frames, the
// outline moving from one's to the other's, so no frame jumps.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace tessel {
namespace {

// Frames either side of the midpoint over which the trackers hand over: half
// a second at 24 frames a second, and no more held at once.
constexpr int kHandOver = 6;
// Softness, in work pixels, of the outline where the two trackers disagree.
constexpr float kOutlineSoftness = 1.5f;

ColourModel colour_copy(const ColourModel& c) {
  ColourModel out;
  out.fg = c.fg.clone();
  out.bg = c.bg.clone();
  out.fg_exact = c.fg_exact.clone();
  out.bg_exact = c.bg_exact.clone();
  out.ready = c.ready;
  return out;
}

// Signed distance to the edge of `mask` (positive inside), held to [-reach, reach].
cv::Mat signed_distance(const cv::Mat& mask, float reach) {
  if (cv::countNonZero(mask) == 0) return cv::Mat(mask.size(), CV_32F, cv::Scalar(-reach));
  cv::Mat inside, outside;
  cv::distanceTransform(mask, inside, cv::DIST_L2, cv::DIST_MASK_3);
  if (static_cast<size_t>(cv::countNonZero(mask)) == mask.total()) {
    outside = cv::Mat::zeros(mask.size(), CV_32F);
  } else {
    cv::distanceTransform(~mask, outside, cv::DIST_L2, cv::DIST_MASK_3);
  }
  cv::Mat sd = inside - outside;
  cv::min(cv::max(sd, -reach), reach, sd);
  return sd;
}

float deepest(const cv::Mat& mask) {
  if (cv::countNonZero(mask) == 0) return 0;
  cv::Mat inside;
  cv::distanceTransform(mask, inside, cv::DIST_L2, cv::DIST_MASK_3);
  double top = 0;
  cv::minMaxLoc(inside, nullptr, &top);
  return static_cast<float>(top);
}

// How much of the character a tracker holds against its usual area, 0..1
// (1 when that is not known).
float holding(const cv::Mat& mask, float usual_area) {
  if (usual_area <= 0) return 1.0f;
  return std::min(1.0f, static_cast<float>(cv::countNonZero(mask)) / usual_area);
}

void mix(const cv::Mat& a, const cv::Mat& b, float later, cv::Mat* out) {
  cv::addWeighted(a, 1.0 - later, b, later, 0.0, *out);
}

}  // namespace

TrackedFrame tracked_copy(const cv::Mat& prob, const ColourModel& colour, const cv::Mat& pins,
                          float usual_area) {
  return TrackedFrame{prob.clone(), colour_copy(colour), pins.clone(), usual_area};
}

void meeting_frames(int a, int b, int* lo, int* hi) {
  *lo = std::max(a + 1, (a + b + 1) / 2 - kHandOver);
  *hi = std::min(b - 1, (a + b) / 2 + kHandOver);
}

float later_share(int i, int lo, int hi) {
  return static_cast<float>(i - lo + 1) / static_cast<float>(hi - lo + 2);
}

TrackedFrame blend_tracked(const TrackedFrame& earlier, const TrackedFrame& later_frame, float later) {
  TrackedFrame out;
  const cv::Mat in_early = earlier.prob > 0.5f, in_late = later_frame.prob > 0.5f;
  // Halfway between a tracker that holds the character and one that lost it
  // would be half a character: each has its say in the measure it holds it.
  const float early_hold = holding(in_early, earlier.usual_area),
              late_hold = holding(in_late, later_frame.usual_area);
  if (early_hold + late_hold > 0) later = later * late_hold / ((1 - later) * early_hold + later * late_hold);
  // Distances are held to the deeper character's depth: a character one
  // tracker lost then grows from its middle rather than popping up at the end.
  const float reach = std::max(1.0f, std::max(deepest(in_early), deepest(in_late)));
  cv::Mat sd;
  mix(signed_distance(in_early, reach), signed_distance(in_late, reach), later, &sd);
  // Where the two agree, their probabilities mix and keep their soft edges.
  // Where they disagree, mixing would fade the piece in or out as a ghost:
  // the moving outline decides there, with an edge a pixel or two soft.
  mix(earlier.prob, later_frame.prob, later, &out.prob);
  // The blend of two distance maps is flat between two outlines that face
  // each other: the edge's softness comes from the moved outline's own distance.
  const cv::Mat disagree = in_early != in_late;
  cv::Mat outline;
  cv::exp(signed_distance(sd > 0, reach) * (-1.0f / kOutlineSoftness), outline);
  outline = 1.0 / (1.0 + outline);
  outline.copyTo(out.prob, disagree);

  if (!earlier.colour.ready || !later_frame.colour.ready) {
    out.colour = earlier.colour.ready ? earlier.colour : later_frame.colour;
  } else {
    mix(earlier.colour.fg, later_frame.colour.fg, later, &out.colour.fg);
    mix(earlier.colour.bg, later_frame.colour.bg, later, &out.colour.bg);
    mix(earlier.colour.fg_exact, later_frame.colour.fg_exact, later, &out.colour.fg_exact);
    mix(earlier.colour.bg_exact, later_frame.colour.bg_exact, later, &out.colour.bg_exact);
    out.colour.ready = true;
  }
  out.pins = later < 0.5f ? earlier.pins : later_frame.pins;
  apply_pins(out.pins, &out.prob);
  return out;
}

}  // namespace tessel
