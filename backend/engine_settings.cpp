// What "fast" and "fine" mean, and small helpers shared by the engine.
#include "engine_parts.h"

#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace tessel {

double tune(const char* name, double fallback) {
  static const std::string spec = [] {
    const char* v = std::getenv("MATTIVO_TUNE");
    return std::string(v ? v : "");
  }();
  std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = spec.find(key, at)) != std::string::npos) {
    if (at == 0 || spec[at - 1] == ',') return std::atof(spec.c_str() + at + key.size());
    at += key.size();
  }
  return fallback;
}

EngineSettings engine_settings(Quality quality) {
  if (quality == Quality::Fast) {
    return EngineSettings{480, 320, 3, cv::DISOpticalFlow::PRESET_ULTRAFAST, 960, 8.0f, false};
  }
  return EngineSettings{960, 480, 5, cv::DISOpticalFlow::PRESET_MEDIUM, 1920, 12.0f, true};
}

cv::Size fit_side(cv::Size size, int side) {
  int longest = std::max(size.width, size.height);
  if (longest <= side || longest <= 0) return size;
  double s = static_cast<double>(side) / longest;
  return cv::Size(std::max(1, static_cast<int>(std::lround(size.width * s))),
                  std::max(1, static_cast<int>(std::lround(size.height * s))));
}

}  // namespace tessel
