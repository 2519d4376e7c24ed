// Occlusion memory: the character behind a post or a passer-by is kept in
// mind, moving with it, until it shows again.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessel {
namespace {

// Hidden parts that look like the character (`colour_lr`) and move with it
// (`affine`) come back into `prob`.
void give_back(const Tracker& t, const cv::Mat& flow, const cv::Mat& colour_lr, const cv::Mat& hidden,
               const cv::Mat& affine, cv::Mat* prob) {
  const cv::Size size = prob->size();
  const float band = t.settings.band;
  cv::Mat motion_error(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    const double* a0 = affine.ptr<double>(0);
    const double* a1 = affine.ptr<double>(1);
    float* e = motion_error.ptr<float>(y);
    for (int x = 0; x < size.width; ++x) {
      float ex = static_cast<float>(a0[0] * x + a0[1] * y + a0[2]) - (x + f[x].x);
      float ey = static_cast<float>(a1[0] * x + a1[1] * y + a1[2]) - (y + f[x].y);
      e[x] = std::sqrt(ex * ex + ey * ey);
    }
  }
  // Flow is unreliable where something was uncovered just now: its agreement
  // is asked for only loosely, colour must agree.
  const float agree = 6.0f * std::max(1.0f, band * 0.3f);
  cv::Mat back = (hidden > 0.5f) & (colour_lr > 0.f) & (motion_error < agree) & (*prob < 0.5f);
  cv::morphologyEx(back, back, cv::MORPH_OPEN, cv::Mat());
  prob->setTo(0.75f, back);
}

}  // namespace

void occlusion_update(Tracker* t, const cv::Mat& flow, const cv::Mat& colour_lr, cv::Mat* prob) {
  const cv::Mat& prev = t->prev_prob;
  cv::Mat prev_mask = prev > 0.5f;
  cv::Mat core;
  cv::erode(prev_mask, core, cv::Mat(), cv::Point(-1, -1), 2);
  // How the character as a whole moves (the flow maps new pixels to old
  // ones): the median shift over its inside, which an occluder sweeping over
  // part of it cannot drag along.
  std::vector<float> dx, dy;
  for (int y = 0; y < core.rows; y += 2) {
    const uchar* c = core.ptr<uchar>(y);
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    for (int x = 0; x < core.cols; x += 2) {
      if (c[x]) dx.push_back(f[x].x), dy.push_back(f[x].y);
    }
  }
  // While most of the character is hidden, what remains in sight may be a
  // sliver dragged along by the occluder: keep its last reliable motion.
  const int hidden_area = t->hidden.empty() ? 0 : cv::countNonZero(t->hidden > 0.5f);
  if (dx.size() >= 20 && static_cast<int>(dx.size()) * 4 >= hidden_area) {
    std::nth_element(dx.begin(), dx.begin() + dx.size() / 2, dx.end());
    std::nth_element(dy.begin(), dy.begin() + dy.size() / 2, dy.end());
    t->shift = cv::Point2f(dx[dx.size() / 2], dy[dy.size() / 2]);
    t->has_shift = true;
  }
  if (!t->has_shift) return;
  cv::Mat affine = (cv::Mat_<double>(2, 3) << 1, 0, t->shift.x, 0, 1, t->shift.y);
  const cv::Size size = prob->size();
  cv::Mat hidden, before;
  cv::warpAffine(t->hidden, hidden, affine, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                 cv::BORDER_CONSTANT);
  cv::warpAffine(prev, before, affine, size, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT);

  // Give back hidden parts that look and move like the character again;
  // mostly nothing is hidden, and the motion need not be checked.
  if (cv::countNonZero(hidden > 0.5f) > 0) give_back(*t, flow, colour_lr, hidden, affine, prob);

  // What vanished from inside the character this frame is now hidden; what
  // was hidden stays so, fading, unless it came back or left the picture.
  // Slivers along the outline are the band's own corrections, not occlusion:
  // only what lies away from the outer outline counts (closing first, so that
  // the gap an occluder cuts is not an outline).
  const float band = t->settings.band;
  cv::Mat inside, closed;
  int reach = std::max(3, static_cast<int>(size.width * 0.04));
  cv::morphologyEx(before > 0.5f, closed, cv::MORPH_CLOSE,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * reach + 1, 2 * reach + 1)));
  cv::erode(closed, inside, cv::Mat(), cv::Point(-1, -1), std::max(1, static_cast<int>(band / 2)));
  inside &= before > 0.5f;
  cv::Mat lost = inside & (*prob < 0.5f);
  hidden *= 0.96f;
  hidden.setTo(1.0f, lost);
  hidden.setTo(0.0f, *prob >= 0.5f);
  t->hidden = hidden;
}

}  // namespace tessel
