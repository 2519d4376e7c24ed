#include "eval/footage_score.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

// The pixels of `box` (frame pixels) on a matte of another size, clipped to it.
cv::Rect on_matte(const cv::Rect2d& box, const cv::Size& frame, const cv::Size& matte) {
  const double sx = double(matte.width) / frame.width, sy = double(matte.height) / frame.height;
  const int x0 = int(std::floor(box.x * sx)), y0 = int(std::floor(box.y * sy));
  const int x1 = int(std::ceil((box.x + box.width) * sx)), y1 = int(std::ceil((box.y + box.height) * sy));
  return cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(0, 0, matte.width, matte.height);
}

double mass(const cv::Mat& matte, const cv::Mat& where) { return cv::sum(matte & where)[0]; }

}  // namespace

FootageFrameScore score_footage_frame(const cv::Mat& matte, const cv::Size& frame_size,
                                      const cv::Rect2d& chosen, const std::vector<cv::Rect2d>& distractors) {
  FootageFrameScore s;
  const double total = cv::sum(matte)[0];
  const cv::Rect box = on_matte(chosen, frame_size, matte.size());
  if (total <= 0 || box.area() == 0) return s;

  s.coverage = double(cv::countNonZero(matte(box) >= 128)) / box.area();

  cv::Mat in_box = cv::Mat::zeros(matte.size(), CV_8U);
  in_box(box).setTo(255);
  s.inside = mass(matte, in_box) / total;

  const double m = kLeakMargin * chosen.height;
  cv::Mat grown = cv::Mat::zeros(matte.size(), CV_8U);
  grown(on_matte({chosen.x - m, chosen.y - m, chosen.width + 2 * m, chosen.height + 2 * m}, frame_size,
                 matte.size()))
      .setTo(255);
  s.leak = 1.0 - mass(matte, grown) / total;

  cv::Mat others = cv::Mat::zeros(matte.size(), CV_8U);
  for (const cv::Rect2d& d : distractors) others(on_matte(d, frame_size, matte.size())).setTo(255);
  others.setTo(0, in_box);
  s.distractor = mass(matte, others) / total;

  s.held = s.inside > kHeldShare && s.coverage >= kHeldCoverage;
  return s;
}

FootageScore score_footage(const FootageCase& c, const std::vector<cv::Mat>& mattes) {
  FootageScore out;
  const cv::Size frame_size(c.width, c.height);
  for (int f = c.first; f <= c.last; ++f) {
    const auto chosen = box_at(c.chosen, f);
    if (!chosen) continue;
    std::vector<cv::Rect2d> near;
    for (const BoxTrack& d : c.distractors)
      if (auto b = box_at(d, f)) near.push_back(*b);
    const size_t i = size_t(f - c.first);
    // A missing matte is an empty one: the frame counts, and is not held.
    const cv::Mat matte =
        i < mattes.size() && !mattes[i].empty() ? mattes[i] : cv::Mat::zeros(frame_size, CV_8U);
    const FootageFrameScore s = score_footage_frame(matte, frame_size, *chosen, near);
    out.coverage += s.coverage, out.leak += s.leak, out.distractor += s.distractor;
    out.held += s.held ? 1 : 0;
    ++out.frames;
  }
  if (out.frames > 0) {
    out.coverage /= out.frames, out.leak /= out.frames, out.distractor /= out.frames;
    out.held /= out.frames;
  }
  return out;
}

}  // namespace tessel
