// Graph cut over the character's surroundings. The per-pixel colour decision
// loses stripes of the character that look like the background next to them;
// a cut whose colour models are learned from the whole inside, with the
// picture's edges as boundaries, keeps them.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace tessel {

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
  cv::grabCut(work(roi), gc, cv::Rect(), t->cut_bg, t->cut_fg, 1,
              fresh ? cv::GC_INIT_WITH_MASK : cv::GC_EVAL);
  cv::Mat out = cv::Mat::zeros(decided.size(), CV_8U);
  out(roi).setTo(255, (gc == cv::GC_FGD) | (gc == cv::GC_PR_FGD));
  return out;
}

}  // namespace tessel
