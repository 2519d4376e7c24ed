// The learned person prior as evidence: where it applies (a person-shaped
// thing fills part of the region the user or the tracker gives) its P(person)
// joins colour, distance and motion; where it does not, the engine goes on
// without it.
#include "engine_parts.h"

#include "person/person_prior.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {

cv::Mat person_evidence(const cv::Mat& work, cv::Rect region, double grow, cv::Rect* seen) {
  region &= cv::Rect(0, 0, work.cols, work.rows);
  if (region.area() < 64) return cv::Mat();
  cv::Mat p = person_probability(work, region, grow);
  if (p.empty()) return p;
  if (seen) *seen = square_crop(region, grow) & cv::Rect(0, 0, work.cols, work.rows);
  // The model marks whatever stands out when there is no person. It is
  // believed only when what it marks sits mostly inside the region and
  // fills a part of it, neither nothing nor all of it.
  cv::Mat marked = p > 0.5f;
  const int m = std::max(region.width, region.height) / 10;
  const cv::Rect near = cv::Rect(region.x - m, region.y - m, region.width + 2 * m, region.height + 2 * m) &
                        cv::Rect(0, 0, work.cols, work.rows);
  const double inside = cv::countNonZero(marked(region)), around = cv::countNonZero(marked(near));
  const double total = cv::countNonZero(marked), fill = inside / region.area();
  if (fill < 0.05 || fill > 0.95 || around < 0.6 * total) return cv::Mat();
  return p;
}

cv::Mat person_log_odds(const cv::Mat& p, float limit) {
  cv::Mat out(p.size(), CV_32F);
  const float eps = 1e-3f;
  for (int y = 0; y < p.rows; ++y) {
    const float* q = p.ptr<float>(y);
    float* o = out.ptr<float>(y);
    for (int x = 0; x < p.cols; ++x) {
      float v = std::min(1 - eps, std::max(eps, q[x]));
      o[x] = std::min(limit, std::max(-limit, std::log(v / (1 - v))));
    }
  }
  return out;
}

}  // namespace tessel
