// Edge refinement: the tracked probability map becomes a soft matte that
// follows the picture's own edges (hair, motion blur), as soft as asked.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace tessel {
namespace {

// Depth of the zone along the outline where colour has its say, as a share
// of the character's longest side; as far again as half of it beyond, and
// for loose strands of hair one and a half times as far.
constexpr float kOutlineZone = 0.12f;
constexpr float kStrandReach = 1.5f;

// 0 at `lo`, 1 at `hi`, straight between.
inline float ramp(float v, float lo, float hi) { return std::min(1.f, std::max(0.f, (v - lo) / (hi - lo))); }

// Where hair is: fine detail (strands against what lies behind them), dense
// over a small window. Smooth cloth, skin and a single edge of the outline
// stay below it. 0..1 per pixel of `bgr`; `unit` is its size against 1080p.
cv::Mat hairiness(const cv::Mat& bgr, double unit) {
  cv::Mat grey, detail;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  grey.convertTo(grey, CV_32F);
  cv::GaussianBlur(grey, detail, cv::Size(0, 0), std::max(0.7, 1.5 * unit));
  cv::absdiff(grey, detail, detail);
  const int window = std::max(3, static_cast<int>(std::lround(15 * unit)) | 1);
  cv::boxFilter(detail, detail, -1, cv::Size(window, window));
  const float none = 5.0f, full = 10.0f;  // mean grey levels of detail
  detail = (detail - none) / (full - none);
  cv::min(cv::max(detail, 0.0), 1.0, detail);
  return detail;
}

// The character's colours, learned along its outline, include the
// background seen between strands of hair. With that background's share
// taken out, what remains are the strands' own colours. Only when the two
// are far enough apart: where the character wears the background's colours,
// taking them out would take the character too. False then. The colours as
// counted are used: they are for the full-size picture.
bool strand_colours(const ColourModel& colour, ColourModel* strands) {
  const cv::Mat& fg = colour.fg_exact;
  const cv::Mat& bg = colour.bg_exact;
  const double apart = cv::sum(cv::max(fg - 0.3 * bg, 0.0))[0];
  if (apart < 0.88) return false;
  strands->fg = cv::max(fg - bg, 0.0);
  const double left = cv::sum(strands->fg)[0];
  if (left < 1e-6) return false;
  strands->fg /= left;
  strands->bg = bg;
  strands->ready = true;
  return true;
}

// Hair outside the character within `reach` of it (`from_hard` is the
// distance to its mask) and joined through hair to `roots`, the hair along
// the inside of its outline: strands the tracking's smooth outline left out,
// not hairy scenery beside the character. Only near the roots is it looked
// for, within `near`; 0/255 there, 0 elsewhere.
cv::Mat loose_hair(const cv::Mat& hair, const cv::Mat& roots, const cv::Mat& from_hard, float reach,
                   cv::Rect near) {
  cv::Mat loose = cv::Mat::zeros(hair.size(), CV_8U);
  if (near.area() == 0) return loose;
  cv::Mat part = (hair(near) > 0.f) & (from_hard(near) > 0.f) & (from_hard(near) <= reach), labels;
  const int n = cv::connectedComponents(part | roots(near), labels, 8, CV_32S);
  std::vector<char> joined(static_cast<size_t>(n), 0);
  for (int y = 0; y < near.height; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* r = roots.ptr<uchar>(y + near.y) + near.x;
    for (int x = 0; x < near.width; ++x)
      if (r[x]) joined[l[x]] = 1;
  }
  for (int y = 0; y < near.height; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* p = part.ptr<uchar>(y);
    uchar* o = loose.ptr<uchar>(y + near.y) + near.x;
    for (int x = 0; x < near.width; ++x) o[x] = p[x] && joined[l[x]] ? 255 : 0;
  }
  return loose;
}

// Tracking at the working size sees hair as one solid mass with a smooth
// outline: the background between the strands, and the strands beyond the
// outline, only show at full size. The tracker's colour model decides them
// there, in a zone along the outline, by its colours as counted (log ratios:
// -1 and below is out, 0 and above untouched; +1 and above comes in, fully
// from +3). Where there is hair, the strands' own colours decide, more
// strictly (-0.5 and below out, +1 and above untouched), and the strands'
// coverage where it can be told.
// Deeper inside, the tracker's shape is trusted over colour.
// `from_hard` is the distance of each pixel outside `hard` to it.
void colour_at_the_outline(const cv::Mat& guide, const cv::Mat& hard, const cv::Mat& from_hard,
                           const ColourModel& colour, double unit, cv::Mat* alpha) {
  if (!colour.ready) return;
  cv::Rect box = cv::boundingRect(hard);
  if (box.area() == 0) return;
  const float depth = std::max(2.0f, kOutlineZone * std::max(box.width, box.height)), beyond = depth / 2;
  const float strands_beyond = kStrandReach * depth;
  // A margin, so that the mask's edge and the zones beyond lie inside the window.
  const int margin = static_cast<int>(strands_beyond) + 1;
  box = cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
        cv::Rect(0, 0, hard.cols, hard.rows);
  // The box holds all of the mask: distances from it are as over the whole window.
  cv::Mat inside, outside = from_hard(box);
  cv::distanceTransform(hard(box), inside, cv::DIST_L2, cv::DIST_MASK_3);
  // Holes enclosed by the character are the tracker's (or the user's) to
  // decide: nothing grows into them.
  cv::Mat labels;
  const int pieces = cv::connectedComponents(~hard(box), labels, 4, CV_32S);
  std::vector<char> open(static_cast<size_t>(pieces), 0);
  for (int x = 0; x < box.width; ++x)
    open[labels.at<int>(0, x)] = open[labels.at<int>(box.height - 1, x)] = 1;
  for (int y = 0; y < box.height; ++y)
    open[labels.at<int>(y, 0)] = open[labels.at<int>(y, box.width - 1)] = 1;
  cv::Mat lr = colour_log_ratio(colour, guide(box), 5.0f, true);
  ColourModel strands;
  cv::Mat strand_lr, hair, coverage, loose;
  if (strand_colours(colour, &strands)) {
    strand_lr = colour_log_ratio(strands, guide(box), 5.0f);
    hair = hairiness(guide(box), unit);
    // Coverage counts only within the zone, where there is hair (the roots),
    // and over the loose strands growing out of it.
    const cv::Mat roots = (inside > 0.f) & (inside <= depth) & (hair > 0.f);
    // On a small character the strands' reach is no wider than the window
    // their colour would come from afar: no loose strands to tell apart.
    const bool far_strands = strands_beyond > kWideStrandWindow * strand_window(unit);
    const cv::Rect inner = cv::boundingRect(roots);
    loose = loose_hair(hair, roots, outside, strands_beyond,
                       inner.area() == 0 || !far_strands
                           ? cv::Rect()
                           : grown(inner, static_cast<int>(strands_beyond), box.size()));
    const cv::Rect wanted = inner | cv::boundingRect(loose);
    coverage = unmix_strands(guide(box), strand_lr, hair, unit, wanted, far_strands);
  }
  const float out = -1.0f, keep = 0.0f, in = 1.0f, full_in = 3.0f;
  const float strand_out = -0.5f, strand_keep = 1.0f;
  for (int y = 0; y < box.height; ++y) {
    const float* di = inside.ptr<float>(y);
    const float* dout = outside.ptr<float>(y);
    const float* l = lr.ptr<float>(y);
    const int* lab = labels.ptr<int>(y);
    const float* h = hair.empty() ? nullptr : hair.ptr<float>(y);
    const float* sl = hair.empty() ? nullptr : strand_lr.ptr<float>(y);
    const float* cov = hair.empty() ? nullptr : coverage.ptr<float>(y);
    const uchar* lo = hair.empty() ? nullptr : loose.ptr<uchar>(y);
    float* a = alpha->ptr<float>(y + box.y) + box.x;
    for (int x = 0; x < box.width; ++x) {
      if (di[x] > 0.f && di[x] <= depth) {
        float v = ramp(l[x], out, keep);
        if (h && h[x] > 0.f) v = h[x] * ramp(sl[x], strand_out, strand_keep) + (1.f - h[x]) * v;
        a[x] = std::min(a[x], v);
        if (h && h[x] > 0.f && cov[x] >= 0.f) a[x] = h[x] * cov[x] + (1.f - h[x]) * a[x];
      } else if (dout[x] > 0.f && open[lab[x]]) {
        if (dout[x] <= beyond && l[x] > in) a[x] = std::max(a[x], ramp(l[x], in, full_in));
        // Sparse loose strands read as less hairy than the mass: their
        // coverage counts in full from a third of the hair's density.
        if (lo && lo[x] && cov[x] >= 0.f) a[x] = std::max(a[x], std::min(1.f, 3.f * h[x]) * cov[x]);
      }
    }
  }
}

// Half width of the band around the edge where the tracked values stand as
// they are, and the radius of the edge-aware smoothing: both grow with softness.
int band_reach(double s, double unit) {
  return std::max(1, static_cast<int>(std::lround((0.75 + 4.0 * s) * unit)));
}
int smoothing_radius(double s, double unit) {
  return std::max(1, static_cast<int>(std::lround((12.0 + 48.0 * s) * unit)));
}

// The refinement of `m` (the probability map at the size of `guide`) within
// a window around the character; a soft matte, CV_32F. Along the edge the
// tracked values stand: estimating alpha afresh there from the local colours
// of either side blurred hard edges against textured cloth and scenery.
cv::Mat refine_window(const cv::Mat& m, const cv::Mat& guide, const ColourModel& colour, double s,
                      double unit, cv::Rect smoothed) {
  cv::Mat hard = m > 0.5f;
  // Away from the edge the matte is fully in, or, where tracking was sure,
  // fully out. Inside, a doubtful value (a pale stripe the tracker's colours
  // half believed) would only be pulled below one half by the smoothing.
  const int reach = band_reach(s, unit);
  cv::Mat kernel = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1));
  const cv::Mat not_hard = ~hard;
  cv::Mat sure_fg, sure_bg;
  cv::erode(hard, sure_fg, kernel);
  cv::erode(not_hard, sure_bg, kernel);
  cv::Mat alpha(m.size(), CV_32F);
  for (int y = 0; y < m.rows; ++y) {
    const float* v = m.ptr<float>(y);
    const uchar *in = sure_fg.ptr<uchar>(y), *out = sure_bg.ptr<uchar>(y);
    float* a = alpha.ptr<float>(y);
    for (int x = 0; x < m.cols; ++x) {
      const bool unsure = v[x] > 0.15f && v[x] < 0.85f;
      a[x] = in[x] ? 1.0f : out[x] && !unsure ? 0.0f : v[x];
    }
  }
  cv::Mat from_mask;
  cv::distanceTransform(not_hard, from_mask, cv::DIST_L2, cv::DIST_MASK_3);
  colour_at_the_outline(guide, hard, from_mask, colour, unit, &alpha);
  // Edge-aware smoothing keeps neighbouring estimates coherent. Held tight
  // to the picture's colours, it reaches far: alpha follows the colours of a
  // wide window, which fills a stripe the colour step doubted and separates
  // strands from the gaps between them. A grey guide cannot tell apart
  // colours of equal brightness (skin against sand).
  // Softness widens and loosens this smoothing: softer, wider edges.
  double eps = std::pow((0.0045 + 0.022 * s) * 255.0, 2.0);
  const int radius = smoothing_radius(s, unit);
  cv::Mat before = alpha.clone();
  // Only near the outline: further out, where loose strands reach, smoothing
  // could only take away, and it is the costliest step.
  guided_smooth(guide(smoothed), alpha(smoothed), radius, eps).copyTo(alpha(smoothed));
  // Well outside the tracker's mask the smoothing may not raise the matte:
  // across a flat colour (an exclude dab on a plain shirt) it would fill the
  // hole the user cut.
  const float far = static_cast<float>(std::max(1, radius / 2));
  for (int y = 0; y < alpha.rows; ++y) {
    const float* d = from_mask.ptr<float>(y);
    const float* b = before.ptr<float>(y);
    float* a = alpha.ptr<float>(y);
    for (int x = 0; x < alpha.cols; ++x)
      if (d[x] > far) a[x] = std::min(a[x], b[x]);
  }
  return alpha;
}

}  // namespace

cv::Mat refine_matte(const cv::Mat& prob, const cv::Mat& guide, const ColourModel& colour, double softness,
                     cv::Size full) {
  const double s = std::min(1.0, std::max(0.0, softness));
  const double unit = std::max(guide.cols, guide.rows) / 1920.0;
  cv::Mat m;
  cv::resize(prob, m, guide.size(), 0, 0, cv::INTER_LINEAR);
  // Far from the character there is nothing to refine: the work is done in a
  // window around it, wide enough for every step's reach.
  cv::Mat out = cv::Mat::zeros(guide.size(), CV_8U);
  const cv::Rect around = cv::boundingRect(m > 0.01f);
  if (around.area() > 0) {
    const int reach = band_reach(s, unit) + smoothing_radius(s, unit) + 4;
    const int longest = std::max(around.width, around.height);
    const cv::Rect window =
        grown(around, reach + static_cast<int>(kStrandReach * kOutlineZone * longest), guide.size());
    const cv::Rect smoothed =
        grown(around, reach + static_cast<int>(kOutlineZone / 2 * longest), guide.size());
    cv::Mat alpha = refine_window(m(window), guide(window), colour, s, unit, smoothed - window.tl());
    alpha.convertTo(out(window), CV_8U, 255.0);
  }
  if (out.size() != full) cv::resize(out, out, full, 0, 0, cv::INTER_LINEAR);
  return out;
}

}  // namespace tessel
