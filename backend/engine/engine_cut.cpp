// Graph cut over the character's surroundings. The per-pixel colour decision
// loses stripes of the character that look like the background next to them;
// a cut whose colour models are learned from the whole inside, with the
// picture's edges as boundaries, keeps them.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {
namespace {

// The cut's cost grows with the pixels around the character, and a
// close-up's band holds far more of them than its outline needs. Beyond this
// many the cut runs on a reduced copy, never below half size.
constexpr int kCutPixels = 120000;

double cut_scale(int area) {
  if (area <= kCutPixels) return 1.0;
  return std::max(0.5, std::sqrt(static_cast<double>(kCutPixels) / area));
}

}  // namespace

cv::Mat cut_decide(Tracker* t, const cv::Mat& work, const cv::Mat& signed_dist, const cv::Mat& decided,
                   bool at_anchor) {
  // Pictures well below the working size hold too few pixels across the
  // character for the cut's colour mixtures: the colour decision stands.
  if (std::max(work.cols, work.rows) * 4 < t->settings.work_side * 3) return decided;
  // "fast" cuts every other frame only; the carried mask keeps most of the
  // gain in between.
  if (!at_anchor && ++t->cut_turn % t->settings.cut_every != 0) return decided;
  const float band = t->settings.band;
  int margin = static_cast<int>(3 * band);
  cv::Rect roi = cv::boundingRect(decided | (signed_dist > 0));
  if (roi.area() == 0) return decided;
  roi = cv::Rect(roi.x - margin, roi.y - margin, roi.width + 2 * margin, roi.height + 2 * margin) &
        cv::Rect(0, 0, work.cols, work.rows);
  // Sure inside: deep in the carried mask (a thin character has no "deep":
  // relative to its widest part then). Sure outside: beyond the band.
  double widest = 0;
  cv::minMaxLoc(signed_dist(roi), nullptr, &widest);
  const float deep = std::min(2.5f * band, 0.7f * static_cast<float>(widest)), outer = band;
  cv::Mat gc(roi.size(), CV_8U);
  int sure_fg = 0, sure_bg = 0;
  for (int y = 0; y < roi.height; ++y) {
    const float* d = signed_dist.ptr<float>(y + roi.y) + roi.x;
    const uchar* q = decided.ptr<uchar>(y + roi.y) + roi.x;
    uchar* g = gc.ptr<uchar>(y);
    for (int x = 0; x < roi.width; ++x) {
      if (d[x] > deep && q[x]) {
        g[x] = cv::GC_FGD;
        ++sure_fg;
      } else if (d[x] < -outer) {
        g[x] = cv::GC_BGD;
        ++sure_bg;
      } else {
        g[x] = q[x] ? cv::GC_PR_FGD : cv::GC_PR_BGD;
      }
    }
  }
  if (sure_fg == 0 || sure_bg == 0) return decided;
  // Models carried from the previous frame spare learning them afresh, which
  // costs as much as the cut itself; they are renewed every few frames.
  bool fresh = at_anchor || t->cut_bg.empty() || t->cut_fg.empty() || ++t->cut_age >= t->settings.cut_relearn;
  if (fresh) t->cut_age = 0;
  cv::theRNG().state = kCutSeed;
  const double scale = cut_scale(roi.area());
  cv::Mat out = cv::Mat::zeros(decided.size(), CV_8U);
  if (scale == 1.0) {
    cv::grabCut(work(roi), gc, cv::Rect(), t->cut_bg, t->cut_fg, 1,
                fresh ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
    out(roi).setTo(255, (gc == cv::GC_FGD) | (gc == cv::GC_PR_FGD));
    return out;
  }
  // A large character is cut at a reduced size; only the band's undecided
  // pixels take the cut's word, the sure ones keep theirs.
  cv::Mat small_work, small_gc;
  const cv::Size small(std::max(1, static_cast<int>(roi.width * scale)),
                       std::max(1, static_cast<int>(roi.height * scale)));
  cv::resize(work(roi), small_work, small, 0, 0, cv::INTER_AREA);
  cv::resize(gc, small_gc, small, 0, 0, cv::INTER_NEAREST);
  cv::grabCut(small_work, small_gc, cv::Rect(), t->cut_bg, t->cut_fg, 1,
              fresh ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
  cv::Mat small_fg = (small_gc == cv::GC_FGD) | (small_gc == cv::GC_PR_FGD), fg;
  cv::resize(small_fg, fg, roi.size(), 0, 0, cv::INTER_LINEAR);
  cv::Mat in = (gc == cv::GC_FGD) | (((gc == cv::GC_PR_FGD) | (gc == cv::GC_PR_BGD)) & (fg > 127));
  out(roi).setTo(255, in);
  return out;
}

}  // namespace tessel
