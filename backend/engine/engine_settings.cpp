// What "fast" and "fine" mean, and small helpers shared by the engine.
#include "engine_parts.h"

#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {

EngineSettings engine_settings(Quality quality) {
  if (quality == Quality::Fast) {
    // The person prior gained "fast" nothing on clips kept from tuning, and
    // costs a network pass per frame: it is left to "fine".
    return EngineSettings{960, 480, 5, cv::DISOpticalFlow::PRESET_FAST, 1920, 12.0f, 2, 4, false, false};
  }
  return EngineSettings{960, 960, 5, cv::DISOpticalFlow::PRESET_MEDIUM, 1920, 12.0f, 1, 1, true, true};
}

cv::Size fit_side(cv::Size size, int side) {
  int longest = std::max(size.width, size.height);
  if (longest <= side || longest <= 0) return size;
  double s = static_cast<double>(side) / longest;
  return cv::Size(std::max(1, static_cast<int>(std::lround(size.width * s))),
                  std::max(1, static_cast<int>(std::lround(size.height * s))));
}

cv::Rect grown(cv::Rect r, int by, cv::Size within) {
  return cv::Rect(r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by) & cv::Rect(cv::Point(), within);
}

}  // namespace tessel
