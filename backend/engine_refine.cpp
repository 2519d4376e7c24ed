// Edge refinement: the tracked probability map becomes a soft matte that
// follows the picture's own edges (hair, motion blur), as soft as asked.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

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

cv::Mat refine_matte(const cv::Mat& prob, const cv::Mat& guide, double softness,
                     const EngineSettings& settings, cv::Size full) {
  cv::Mat g = guide;
  if (!settings.colour_guide && guide.channels() == 3) cv::cvtColor(guide, g, cv::COLOR_BGR2GRAY);
  cv::Mat m;
  cv::resize(prob, m, g.size(), 0, 0, cv::INTER_LINEAR);
  // Radius and regularisation grow with softness; both are scaled to the
  // picture so that a softness means the same at every resolution.
  double s = std::min(1.0, std::max(0.0, softness));
  double unit = std::max(g.cols, g.rows) / 1920.0;
  int radius = std::max(1, static_cast<int>(std::lround((2.0 + 14.0 * s) * unit)));
  double eps = std::pow((0.01 + 0.12 * s) * 255.0, 2.0);
  cv::Mat a;
  cv::ximgproc::guidedFilter(g, m, a, radius, eps);
  // Low softness keeps a crisp edge: stretch the transition around one half.
  double gain = 1.0 + 2.0 * (1.0 - s);
  a = (a - 0.5) * gain + 0.5;
  cv::Mat out;
  a.convertTo(out, CV_8U, 255.0);
  if (out.size() != full) cv::resize(out, out, full, 0, 0, cv::INTER_LINEAR);
  return out;
}

}  // namespace tessel
