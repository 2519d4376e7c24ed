// Anchor segmentation: the user's box and dabs (or a detected person) seed a
// GrabCut at reduced resolution.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

#include <algorithm>
#include <cmath>
#include <map>

namespace tessel {
namespace {

// The region the add dabs mark, grown generously: a dab or two on the torso
// should still let GrabCut find the head and the feet.
cv::Rect dab_region(const std::vector<protocol::Dab>& dabs, cv::Size size) {
  double x0 = 1, y0 = 1, x1 = 0, y1 = 0, rmax = 0;
  for (const protocol::Dab& d : dabs) {
    if (d.r <= 0) continue;
    double ry = d.r * size.width / size.height;
    x0 = std::min(x0, d.x - d.r);
    x1 = std::max(x1, d.x + d.r);
    y0 = std::min(y0, d.y - ry);
    y1 = std::max(y1, d.y + ry);
    rmax = std::max(rmax, d.r);
  }
  double gx = (x1 - x0) * 0.6 + rmax * 2, gy = (y1 - y0) * 0.6 + rmax * 2;
  protocol::Box b{x0 - gx, y0 - gy, (x1 - x0) + 2 * gx, (y1 - y0) + 2 * gy};
  b.x = std::max(0.0, b.x);
  b.y = std::max(0.0, b.y);
  b.w = std::min(1.0 - b.x, b.w);
  b.h = std::min(1.0 - b.y, b.h);
  return box_pixels(b, size);
}

// Drops islands: keeps the components that hold a sure-foreground seed, or
// the largest one when there is no seed.
cv::Mat keep_main_components(const cv::Mat& mask, const cv::Mat& seeds) {
  cv::Mat labels, stats, centroids;
  int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  if (n <= 2) return mask;
  std::vector<char> keep(n, 0);
  int largest = 1;
  for (int i = 1; i < n; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
  }
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* s = seeds.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (l[x] > 0 && s[x]) keep[l[x]] = 1;
    }
  }
  keep[largest] = 1;
  // Large pieces of the character cut apart by a thin occluder stay too.
  int big = stats.at<int>(largest, cv::CC_STAT_AREA) / 4;
  for (int i = 1; i < n; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) >= big) keep[i] = 1;
  }
  cv::Mat out = cv::Mat::zeros(mask.size(), CV_8U);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) o[x] = keep[l[x]] && l[x] > 0 ? 255 : 0;
  }
  return out;
}

// The translations shared by at least `share` of the pixels set in `where`
// (at most three, strongest first).
std::vector<cv::Point2f> layer_motions(const cv::Mat& flow, const cv::Mat& where, double share) {
  std::map<std::pair<int, int>, int> bins;
  int total = 0;
  for (int y = 0; y < flow.rows; y += 2) {
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    const uchar* w = where.ptr<uchar>(y);
    for (int x = 0; x < flow.cols; x += 2) {
      if (!w[x]) continue;
      ++bins[{static_cast<int>(std::lround(f[x].x)), static_cast<int>(std::lround(f[x].y))}];
      ++total;
    }
  }
  std::vector<std::pair<int, std::pair<int, int>>> ranked;
  for (const auto& b : bins) {
    if (b.second >= share * total) ranked.push_back({b.second, b.first});
  }
  std::sort(ranked.rbegin(), ranked.rend());
  std::vector<cv::Point2f> out;
  for (size_t i = 0; i < ranked.size() && i < 3; ++i) {
    out.emplace_back(static_cast<float>(ranked[i].second.first), static_cast<float>(ranked[i].second.second));
  }
  return out;
}

// What moves on its own. Neighbouring frames are aligned to the anchor by the
// camera's motion: a pixel that differs from most of them belongs to
// something that moved in the scene (within the box: the character); one
// that some of them show unchanged is background, or a flat part of the
// character that overlaps itself.
struct MotionSeeds {
  bool usable = false;
  cv::Mat moving;     // changed against most neighbours, solid parts only
  cv::Mat still_any;  // unchanged against at least one neighbour
  cv::Mat still_all;  // unchanged against every neighbour
};

MotionSeeds motion_seeds(const cv::Mat& small, const std::vector<Neighbour>& neighbours,
                         const cv::Mat& outside, const cv::Mat& box, bool layers) {
  MotionSeeds seeds;
  if (neighbours.size() < 2) return seeds;
  cv::Mat gray, blurred;
  cv::cvtColor(small, gray, cv::COLOR_BGR2GRAY);
  cv::GaussianBlur(small, blurred, cv::Size(3, 3), 0);
  std::vector<cv::Mat> diffs;
  std::vector<int> sides;
  auto dis = cv::DISOpticalFlow::create(cv::DISOpticalFlow::PRESET_MEDIUM);
  for (const Neighbour& n : neighbours) {
    cv::Mat ns, ng, flow, affine, aligned, diff;
    cv::resize(n.work, ns, small.size(), 0, 0, cv::INTER_AREA);
    cv::GaussianBlur(ns, ns, cv::Size(3, 3), 0);
    cv::cvtColor(ns, ng, cv::COLOR_BGR2GRAY);
    dis->calc(gray, ng, flow);
    if (!camera_motion(flow, outside, &affine)) continue;
    cv::warpAffine(ns, aligned, affine, small.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                   cv::BORDER_REPLICATE);
    // The camera model is good to a pixel or so: compare each pixel with the
    // best match among its aligned neighbours, so textured background that
    // is a little off does not read as change.
    cv::Mat best(small.size(), CV_8U, cv::Scalar(255));
    auto compare = [&](const cv::Mat& al) {
      for (int dy = -1; dy <= 1; ++dy) {
        for (int dx = -1; dx <= 1; ++dx) {
          cv::Mat shifted;
          cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
          cv::warpAffine(al, shifted, m, small.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
          cv::absdiff(blurred, shifted, diff);
          std::vector<cv::Mat> ch;
          cv::split(diff, ch);
          cv::min(best, cv::max(cv::max(ch[0], ch[1]), ch[2]), best);
        }
      }
    };
    compare(aligned);
    // Scenery nearer or further than most (a tree, a far ridge) slides at its
    // own pace: each motion shared by much of the surroundings is tried too.
    if (layers) {
      for (const cv::Point2f& t : layer_motions(flow, outside, 0.12)) {
        cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, t.x, 0, 1, t.y), al;
        cv::warpAffine(ns, al, m, small.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        compare(al);
      }
    }
    diffs.push_back(best);
    sides.push_back(n.offset < 0 ? 0 : 1);
  }
  if (diffs.size() < 2) return seeds;
  // Per frame, the noise level of the aligned surroundings (a passer-by there
  // is far less than half of them); a pixel counts as changed above it.
  cv::Mat votes[2] = {cv::Mat::zeros(small.size(), CV_8U), cv::Mat::zeros(small.size(), CV_8U)};
  int frames[2] = {0, 0};
  seeds.still_any = cv::Mat::zeros(small.size(), CV_8U);
  seeds.still_all = cv::Mat(small.size(), CV_8U, cv::Scalar(255));
  for (size_t k = 0; k < diffs.size(); ++k) {
    const cv::Mat& d = diffs[k];
    std::vector<uchar> values;
    for (int y = 0; y < d.rows; ++y) {
      const uchar* v = d.ptr<uchar>(y);
      const uchar* o = outside.ptr<uchar>(y);
      for (int x = 0; x < d.cols; ++x) {
        if (o[x]) values.push_back(v[x]);
      }
    }
    if (values.empty()) return seeds;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    double thr = std::max(12.0, 4.0 * values[values.size() / 2]);
    votes[sides[k]] += (d > thr) / 255;
    ++frames[sides[k]];
    seeds.still_any |= d < thr * 0.5;
    seeds.still_all &= d < thr * 0.5;
  }
  // Changed against frames before and after: the character where it is now,
  // without the ghosts of where it was or will be (those differ on one side
  // only). With frames on one side only, against all of them.
  cv::Mat changed;
  if (frames[0] > 0 && frames[1] > 0) {
    changed = (votes[0] >= 1) & (votes[1] >= 1);
  } else {
    int side = frames[0] > 0 ? 0 : 1;
    changed = votes[side] >= frames[side];
  }
  seeds.moving = changed & box;
  // Solid moving parts only: thin moving things (strands of hair) mix in the
  // colours of what lies behind them.
  cv::morphologyEx(seeds.moving, seeds.moving, cv::MORPH_OPEN, cv::Mat(), cv::Point(-1, -1), 2);
  int area = cv::countNonZero(box), inside = cv::countNonZero(seeds.moving);
  int stray = cv::countNonZero(changed & outside);
  // Too little of the box moves, or the camera model does not explain the
  // surroundings: motion tells nothing here.
  seeds.usable = inside >= area / 20 && stray <= cv::countNonZero(outside) / 5;
  cv::Mat near_moving;
  cv::dilate(seeds.moving, near_moving, cv::Mat(), cv::Point(-1, -1), 2);
  seeds.still_any &= ~near_moving;
  seeds.still_all &= ~near_moving;
  return seeds;
}

// GrabCut may spill over background next to the character that shares its
// colours. What it added there that the neighbouring frames show unchanged is
// taken back, unless the character encloses it (its flat inside).
cv::Mat trim_still(const cv::Mat& result, const cv::Mat& still) {
  cv::Mat doubtful = result & still;
  cv::Mat kept = result & ~doubtful;
  cv::Mat labels, stats, centroids;
  int n = cv::connectedComponentsWithStats(kept == 0, labels, stats, centroids, 4, CV_32S);
  cv::Mat out = kept.clone();
  for (int i = 1; i < n; ++i) {
    const int* s = stats.ptr<int>(i);
    bool border = s[cv::CC_STAT_LEFT] == 0 || s[cv::CC_STAT_TOP] == 0 ||
                  s[cv::CC_STAT_LEFT] + s[cv::CC_STAT_WIDTH] == result.cols ||
                  s[cv::CC_STAT_TOP] + s[cv::CC_STAT_HEIGHT] == result.rows;
    if (border) continue;
    cv::Rect r(s[cv::CC_STAT_LEFT], s[cv::CC_STAT_TOP], s[cv::CC_STAT_WIDTH], s[cv::CC_STAT_HEIGHT]);
    out(r).setTo(255, (labels(r) == i) & doubtful(r));
  }
  return out;
}

// What the person prior marks as the person within `box`, at GrabCut's
// size: parts that motion may not take away. When most of it moves, the
// character moves as a whole, and what stays put against every neighbouring
// frame is scenery behind it that the prior took in (a tree behind the head).
// Otherwise a still part is still the character: a figure standing while an
// arm waves, or colours so near the ground's that moving shows no change.
cv::Mat person_shape(const cv::Mat& prior, const cv::Mat& box, const MotionSeeds& motion) {
  if (prior.empty()) return cv::Mat();
  cv::Mat p;
  cv::resize(prior, p, box.size(), 0, 0, cv::INTER_AREA);
  cv::Mat shaped = (p > 0.5f) & box;
  const int marked = cv::countNonZero(shaped);
  if (marked == 0) return cv::Mat();
  if (cv::countNonZero(shaped & motion.moving) * 2 >= marked) shaped &= ~motion.still_all;
  return shaped;
}

}  // namespace

bool segment_anchor(const cv::Mat& work, const std::vector<Neighbour>& neighbours,
                    const EngineRequest& request, const EngineSettings& settings, cv::Mat* mask,
                    cv::Mat* pins, bool* person, std::string* error) {
  cv::Mat small;
  cv::Rect region;  // where the character is, in work pixels, for the person prior
  cv::resize(work, small, fit_side(work.size(), settings.grabcut_side), 0, 0, cv::INTER_AREA);
  cv::Mat gc(small.size(), CV_8U, cv::Scalar(cv::GC_BGD));
  if (request.has_box) {
    // A loosely drawn box may clip the hair: allow a little growth past it.
    cv::Rect inner = box_pixels(request.box, small.size());
    int m = box_margin(small.size());
    cv::Rect outer = cv::Rect(inner.x - m, inner.y - m, inner.width + 2 * m, inner.height + 2 * m) &
                     cv::Rect(0, 0, small.cols, small.rows);
    gc(outer).setTo(cv::GC_PR_BGD);
    gc(inner).setTo(cv::GC_PR_FGD);
    region = box_pixels(request.box, work.size());
  } else if (has_positive_dab(request)) {
    gc.setTo(cv::GC_PR_BGD);
    gc(dab_region(request.dabs, small.size())).setTo(cv::GC_PR_FGD);
    region = dab_region(request.dabs, work.size());
  } else {
    const std::vector<PersonCandidate> people = find_people(work);
    const int chosen = choose_person(work, people, request.text_prompt);
    if (chosen < 0) {
      *error = request.text_prompt.empty()
                   ? "nothing selected and no person found: draw a box or brush over the character"
                   : "no person found for the hint";
      return false;
    }
    const cv::Rect person = people[chosen].box;
    double s = static_cast<double>(small.cols) / work.cols;
    cv::Rect r(static_cast<int>(person.x * s), static_cast<int>(person.y * s),
               std::max(1, static_cast<int>(person.width * s)),
               std::max(1, static_cast<int>(person.height * s)));
    gc(r & cv::Rect(0, 0, small.cols, small.rows)).setTo(cv::GC_PR_FGD);
    region = person;
  }
  cv::Mat outside = (gc == cv::GC_BGD) | (gc == cv::GC_PR_BGD);
  MotionSeeds motion = motion_seeds(small, neighbours, outside, gc == cv::GC_PR_FGD, settings.scenery_layers);
  // Here the person prior says whether the character is a person, for the
  // tracking to ask it on every frame, and what motion may not take away.
  // It does not join the cut itself: that moved GrabCut's colour models, and
  // on small figures took a dark jacket out with the dark ground.
  const cv::Mat prior = person_evidence(work, region, 0.15);
  *person = settings.person_prior && !prior.empty();
  const cv::Mat shaped = motion.usable ? person_shape(prior, gc == cv::GC_PR_FGD, motion) : cv::Mat();
  // The character's colour model then starts from what moves, not from
  // whatever else shares the box (a trunk, a hillside).
  if (motion.usable) {
    cv::Mat demote = (gc == cv::GC_PR_FGD) & motion.still_any;
    if (!shaped.empty()) demote &= ~shaped;
    gc.setTo(cv::GC_PR_BGD, demote);
  }
  paint_dabs(&gc, request.dabs, cv::GC_FGD, cv::GC_BGD);

  cv::Mat seeds = gc == cv::GC_FGD;
  if (cv::countNonZero((gc == cv::GC_FGD) | (gc == cv::GC_PR_FGD)) == 0) {
    *error = "the selection covers nothing";
    return false;
  }
  cv::Mat result;
  // Pictures of a few pixels are taken as selected; GrabCut needs more.
  if (small.cols >= 8 && small.rows >= 8) {
    // GrabCut needs background samples; a box over the whole frame gives none.
    if (cv::countNonZero((gc == cv::GC_BGD) | (gc == cv::GC_PR_BGD)) == 0) {
      cv::rectangle(gc, cv::Rect(0, 0, gc.cols, gc.rows), cv::Scalar(cv::GC_PR_BGD), 1);
    }
    cv::Mat bgd, fgd;
    // GrabCut seeds its colour mixtures from the thread's generator: a fixed
    // start gives the same mattes whatever ran on this thread before.
    cv::theRNG().state = kCutSeed;
    cv::grabCut(small, gc, cv::Rect(), bgd, fgd, settings.grabcut_iterations, cv::GC_INIT_WITH_MASK);
  }
  result = (gc == cv::GC_FGD) | (gc == cv::GC_PR_FGD);
  if (cv::countNonZero(result) == 0) {
    *error = "the selection covers nothing";
    return false;
  }
  if (motion.usable) {
    cv::Mat doubtful = motion.still_any & ~seeds;
    if (!shaped.empty()) doubtful &= ~shaped;
    result = trim_still(result, doubtful);
  }
  result = keep_main_components(result, seeds);

  cv::Mat up;
  result.convertTo(up, CV_32F, 1.0 / 255);
  cv::resize(up, up, work.size(), 0, 0, cv::INTER_LINEAR);
  *mask = up > 0.5f;
  *pins = anchor_pins(request, work.size());
  return true;
}

}  // namespace tessel
