// Propagation: the previous probability map is carried along dense optical
// flow, then the band around its edge is decided again by colour.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/ximgproc/edge_filter.hpp>

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessel {
namespace {

// Signed distance to the mask's edge: positive inside, negative outside.
// Only within `reach` of the mask is it measured (the transforms cost as much
// as the rest of a frame's tracking); further out it reads as far outside.
cv::Mat signed_distance(const cv::Mat& mask, int reach) {
  cv::Mat out(mask.size(), CV_32F, cv::Scalar(-1e6f));
  cv::Rect around = cv::boundingRect(mask);
  if (around.area() == 0) return out;
  // Two pixels more, so that the window's rim is outside the mask wherever it
  // is not the picture's own border: distances inside come out as over the whole.
  const int m = reach + 2;
  const cv::Rect win = cv::Rect(around.x - m, around.y - m, around.width + 2 * m, around.height + 2 * m) &
                       cv::Rect(0, 0, mask.cols, mask.rows);
  cv::Mat inside, outside, not_mask;
  cv::bitwise_not(mask(win), not_mask);
  cv::distanceTransform(mask(win), inside, cv::DIST_L2, cv::DIST_MASK_3);
  cv::distanceTransform(not_mask, outside, cv::DIST_L2, cv::DIST_MASK_3);
  cv::Mat(inside - outside).copyTo(out(win));
  return out;
}

// Components of the new mask that do not touch the carried mask are colour
// look-alikes that appeared from nowhere (a distractor): drop them.
cv::Mat keep_connected(const cv::Mat& mask, const cv::Mat& carried) {
  cv::Mat labels;
  int n = cv::connectedComponents(mask, labels, 8, CV_32S);
  if (n <= 2) return mask;
  std::vector<char> keep(n, 0);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const uchar* c = carried.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) {
      if (l[x] > 0 && c[x]) keep[l[x]] = 1;
    }
  }
  cv::Mat out(mask.size(), CV_8U);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) o[x] = l[x] > 0 && keep[l[x]] ? 255 : 0;
  }
  return out;
}

// Tidies a mask: fills small enclosed holes (a stripe the colour model
// doubted) and drops pieces far smaller than the character (a sliver left
// along an occluder's edge).
cv::Mat tidy(const cv::Mat& mask) {
  cv::Mat labels, stats, centroids;
  int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  int total = 0;
  for (int i = 1; i < n; ++i) total += stats.at<int>(i, cv::CC_STAT_AREA);
  std::vector<char> keep(n, 0);
  for (int i = 1; i < n; ++i) keep[i] = stats.at<int>(i, cv::CC_STAT_AREA) * 40 >= total;
  cv::Mat out(mask.size(), CV_8U);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    uchar* o = out.ptr<uchar>(y);
    for (int x = 0; x < mask.cols; ++x) o[x] = keep[l[x]] && l[x] > 0 ? 255 : 0;
  }
  // Holes: background pieces that do not touch the picture's border.
  cv::Mat background = out == 0;
  n = cv::connectedComponentsWithStats(background, labels, stats, centroids, 4, CV_32S);
  const int small_hole = std::max(4, static_cast<int>(total * 0.01));
  for (int i = 1; i < n; ++i) {
    const int* s = stats.ptr<int>(i);
    bool border = s[cv::CC_STAT_LEFT] == 0 || s[cv::CC_STAT_TOP] == 0 ||
                  s[cv::CC_STAT_LEFT] + s[cv::CC_STAT_WIDTH] == mask.cols ||
                  s[cv::CC_STAT_TOP] + s[cv::CC_STAT_HEIGHT] == mask.rows;
    if (border || s[cv::CC_STAT_AREA] > small_hole) continue;
    cv::Rect r(s[cv::CC_STAT_LEFT], s[cv::CC_STAT_TOP], s[cv::CC_STAT_WIDTH], s[cv::CC_STAT_HEIGHT]);
    out(r).setTo(255, labels(r) == i);
  }
  return out;
}

// The label of the largest of the `n` - 1 pieces that `stats` describes
// (label 0 is the background): the character's main body.
int largest_piece(const cv::Mat& stats, int n) {
  int body = 1;
  for (int i = 2; i < n; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(body, cv::CC_STAT_AREA)) body = i;
  }
  return body;
}

// Pieces of the mask apart from the character's main body that move the way
// the camera does, while the body does not, are scenery the mask once took
// in (a trunk beside an arm): drop them. `motion` is the camera evidence:
// -3 for pixels moving exactly with the camera, 0 for those moving otherwise.
cv::Mat drop_scenery(const cv::Mat& mask, const cv::Mat& motion) {
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  if (n <= 2) return mask;
  std::vector<double> sum(n, 0.0);
  for (int y = 0; y < mask.rows; ++y) {
    const int* l = labels.ptr<int>(y);
    const float* m = motion.ptr<float>(y);
    for (int x = 0; x < mask.cols; ++x) sum[l[x]] += m[x];
  }
  auto mean = [&](int i) { return sum[i] / stats.at<int>(i, cv::CC_STAT_AREA); };
  const int body = largest_piece(stats, n);
  // A character that stands still moves with the camera too: nothing tells then.
  const double with_camera = -1.5;
  if (mean(body) <= with_camera / 2) return mask;
  cv::Mat out = mask.clone();
  for (int i = 1; i < n; ++i) {
    if (i != body && mean(i) <= with_camera) out.setTo(0, labels == i);
  }
  return out;
}

// Another figure that came apart from the character (a passer-by it once
// overlapped): a piece of the mask, apart from the main body, of some size,
// well clear of the body and moving otherwise than it. Not while the body is
// much smaller than usual: then an occluder has cut the character in parts,
// and the parts that show again beside it move erratically for a frame or two.
// `usual_area` follows the body's area from frame to frame.
cv::Mat drop_strays(const cv::Mat& mask, const cv::Mat& flow, float unit, float* usual_area) {
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
  if (n < 2) return mask;
  const int body = largest_piece(stats, n);
  const float area = static_cast<float>(stats.at<int>(body, cv::CC_STAT_AREA)), usual = *usual_area;
  *usual_area = usual > 0 ? 0.9f * usual + 0.1f * area : area;
  if (n == 2 || area < 0.5f * usual) return mask;

  std::vector<std::vector<float>> fx(n), fy(n);
  for (int y = 0; y < mask.rows; y += 2) {
    const int* l = labels.ptr<int>(y);
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    for (int x = 0; x < mask.cols; x += 2) {
      if (l[x] > 0) fx[l[x]].push_back(f[x].x), fy[l[x]].push_back(f[x].y);
    }
  }
  auto median = [](std::vector<float>& v) {
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
  };
  const size_t min_samples = 10;
  if (fx[body].size() < min_samples) return mask;
  const cv::Point2f moves(median(fx[body]), median(fy[body]));
  const float min_area = 0.05f * area, min_apart = 6.0f * unit;
  const double min_gap = 0.1 * stats.at<int>(body, cv::CC_STAT_HEIGHT);
  cv::Mat out = mask.clone(), from_body;
  for (int i = 1; i < n; ++i) {
    if (i == body || stats.at<int>(i, cv::CC_STAT_AREA) < min_area || fx[i].size() < min_samples) continue;
    if (std::hypot(median(fx[i]) - moves.x, median(fy[i]) - moves.y) <= min_apart) continue;
    if (from_body.empty()) cv::distanceTransform(labels != body, from_body, cv::DIST_L2, cv::DIST_MASK_3);
    double gap = 0;
    cv::minMaxLoc(from_body, &gap, nullptr, nullptr, nullptr, labels == i);
    if (gap > min_gap) out.setTo(0, labels == i);
  }
  return out;
}

// The person prior's say around the carried character, as log odds, and only
// ever against: it rules out what is plainly no person (background the colour
// model mistakes for the character) but adds nothing, since a look-alike that
// crosses is a person too. Empty when it has nothing to say.
cv::Mat person_term(const Tracker& t, const cv::Mat& work, const cv::Mat& carried) {
  if (!t.person) return cv::Mat();
  // A wide crop: the character may have moved or grown past last frame's
  // outline, and only what the model has seen gets its say.
  cv::Rect seen;
  cv::Mat p = person_evidence(work, cv::boundingRect(carried > 0.5f), 0.4, &seen);
  if (p.empty()) return p;
  cv::Mat against = cv::Mat::zeros(p.size(), CV_32F);
  cv::Mat lo = cv::min(person_log_odds(p(seen), 4.0f) * 0.75f, 0.0f);
  lo.copyTo(against(seen));
  return against;
}

// Decides the band around the edge of `carried` (a probability map already
// aligned with `work`) by blending distance to that edge with colour evidence
// and, when given, motion evidence (log odds per pixel).
cv::Mat band_update(Tracker* t, const cv::Mat& work, const cv::Mat& carried, float temporal,
                    cv::Mat* colour_lr, const cv::Mat& motion = cv::Mat(), const cv::Mat& flow = cv::Mat()) {
  const cv::Mat person = person_term(*t, work, carried);
  const EngineSettings& s = t->settings;
  cv::Mat colour = colour_log_ratio(t->colour, work, 5.0f);
  if (colour_lr) *colour_lr = colour;
  cv::Mat carried_mask = carried > 0.5f;
  if (cv::countNonZero(carried_mask) == 0) return cv::Mat::zeros(work.size(), CV_32F);

  // Distance to the carried edge is trusted over a wide reach, yet colour can
  // still overrule it well inside (legs that part open a gap of background).
  const float tau = 8.0f * s.work_side / 960.f;
  const int radius = std::max(1, s.work_side / 240);
  const int margin = static_cast<int>(std::ceil(8.0f * tau)) + 2 * radius + 2;
  cv::Mat sd = signed_distance(carried_mask, margin);
  // Beyond eight reaches outside the edge, where distance has its full say,
  // colour alone (at most 5) cannot lift a pixel near one half: the work is
  // done in a window around the character and the rest stays out.
  const cv::Rect around = cv::boundingRect(carried_mask);
  const cv::Rect win =
      cv::Rect(around.x - margin, around.y - margin, around.width + 2 * margin, around.height + 2 * margin) &
      cv::Rect(0, 0, work.cols, work.rows);
  cv::Mat logit(win.size(), CV_32F);
  for (int y = 0; y < win.height; ++y) {
    const float* d = sd.ptr<float>(y + win.y) + win.x;
    const float* c = colour.ptr<float>(y + win.y) + win.x;
    const float* m = motion.empty() ? nullptr : motion.ptr<float>(y + win.y) + win.x;
    const float* h = person.empty() ? nullptr : person.ptr<float>(y + win.y) + win.x;
    float* o = logit.ptr<float>(y);
    for (int x = 0; x < win.width; ++x) {
      float dist = d[x] / tau;
      dist = dist < -8.f ? -8.f : dist > 8.f ? 8.f : dist;
      o[x] = dist + c[x] + (m ? m[x] : 0.f) + (h ? h[x] : 0.f);
    }
  }
  cv::Mat near;
  cv::exp(-logit, near);
  near = 1.0 / (1.0 + near);
  cv::ximgproc::guidedFilter(work(win), near, near, radius, 0.04 * 255 * 0.04 * 255);
  cv::Mat prob = cv::Mat::zeros(work.size(), CV_32F);
  near.copyTo(prob(win));
  if (temporal > 0) cv::addWeighted(prob, 1.0 - temporal, carried, temporal, 0.0, prob);

  const bool at_anchor = temporal == 0.0f;  // nothing carried in to blend with
  cv::Mat decided = cut_decide(t, work, sd, prob > 0.5f, at_anchor);
  // Nothing outside the window is decided in: the mask's tidying works there
  // alone. Its corner is kept on even pixels, where the strays' flow is sampled.
  const cv::Rect even(win.x & ~1, win.y & ~1, win.width + (win.x & 1), win.height + (win.y & 1));
  cv::Mat part = tidy(keep_connected(decided(even), carried_mask(even)));
  if (!motion.empty()) part = drop_scenery(part, motion(even));
  if (!flow.empty()) part = drop_strays(part, flow(even), work.cols / 960.f, &t->body_area);
  cv::Mat mask = cv::Mat::zeros(work.size(), CV_8U);
  part.copyTo(mask(even));
  cv::Mat out;
  prob.copyTo(out);
  cv::Mat out_win = out(even), prob_win = prob(even);
  out_win.setTo(0.49f, (part == 0) & (prob_win > 0.49f));
  out_win.setTo(0.51f, (part != 0) & (prob_win < 0.51f));
  cv::min(cv::max(out_win, 0.0), 1.0, out_win);

  // Learn colours from rings on either side of the new edge: local to the
  // character's outline, and following the background as it changes.
  float ring = 2.0f * s.band;
  cv::Mat sd_new = signed_distance(mask, static_cast<int>(std::ceil(ring)) + 2);
  cv::Mat fg_ring = (sd_new >= 1.0f) & (sd_new <= 1.0f + ring);
  cv::Mat bg_ring = (sd_new <= -1.0f) & (sd_new >= -1.0f - ring);
  colour_learn(&t->colour, work, fg_ring, bg_ring, 0.15f);
  return out;
}

// Evidence from motion: what moves the way the camera does (fitted away from
// the character) is background, however character-like its colour. What moves
// otherwise says nothing on its own: a passer-by or a post does too.
cv::Mat camera_evidence(const cv::Mat& flow, const cv::Mat& carried) {
  cv::Mat away;
  cv::dilate(carried > 0.2f, away, cv::Mat(), cv::Point(-1, -1), std::max(2, flow.cols / 100));
  cv::bitwise_not(away, away);
  cv::Mat residual;
  float noise = 0;
  if (!motion_residual(flow, away, &residual, &noise)) return cv::Mat();
  const float thr = std::max(0.75f, 3.0f * noise), weight = 3.0f;
  cv::Mat out(flow.size(), CV_32F);
  for (int y = 0; y < flow.rows; ++y) {
    const float* r = residual.ptr<float>(y);
    float* o = out.ptr<float>(y);
    for (int x = 0; x < flow.cols; ++x) o[x] = weight * std::min(0.f, std::max(-1.f, (r[x] - thr) / thr));
  }
  return out;
}

}  // namespace

cv::Mat tracker_start(Tracker* t, const cv::Mat& work, const cv::Mat& mask, const cv::Mat& pins, bool person,
                      const EngineSettings& settings) {
  t->settings = settings;
  t->person = person;
  t->flow = cv::DISOpticalFlow::create(settings.flow_preset);
  cv::cvtColor(work, t->prev_gray, cv::COLOR_BGR2GRAY);
  cv::Mat not_mask;
  cv::bitwise_not(mask, not_mask);
  colour_learn(&t->colour, work, mask, not_mask, 1.0f);
  cv::Mat carried;
  mask.convertTo(carried, CV_32F, 1.0 / 255);
  t->prev_prob = band_update(t, work, carried, 0.0f, nullptr);
  // The user's word beats the colour model. The box bounds the anchor only;
  // the dabs' spots are carried with the character.
  apply_pins(pins, &t->prev_prob);
  if (!pins.empty()) {
    t->pins = pins.clone();
    t->pins.setTo(kPinFree, pins == kPinBeyondBox);
    if (cv::countNonZero(t->pins) > 0) {
      t->pin_colour = work.clone();
    } else {
      t->pins.release();
    }
  }
  t->hidden = cv::Mat::zeros(work.size(), CV_32F);
  t->body_area = cv::countNonZero(t->prev_prob > 0.5f);
  return t->prev_prob;
}

Tracker tracker_copy(const Tracker& t) {
  Tracker c;
  c.settings = t.settings;
  c.flow = cv::DISOpticalFlow::create(t.settings.flow_preset);
  c.prev_gray = t.prev_gray.clone();
  c.prev_prob = t.prev_prob.clone();
  c.hidden = t.hidden.clone();
  c.shift = t.shift;
  c.has_shift = t.has_shift;
  c.body_area = t.body_area;
  c.colour.fg = t.colour.fg.clone();
  c.colour.bg = t.colour.bg.clone();
  c.colour.fg_exact = t.colour.fg_exact.clone();
  c.colour.bg_exact = t.colour.bg_exact.clone();
  c.colour.ready = t.colour.ready;
  c.cut_bg = t.cut_bg.clone();
  c.cut_fg = t.cut_fg.clone();
  c.cut_age = t.cut_age;
  c.cut_turn = t.cut_turn;
  c.pins = t.pins.clone();
  c.pin_colour = t.pin_colour.clone();
  c.person = t.person;
  return c;
}

cv::Mat tracker_step(Tracker* t, const cv::Mat& work) {
  cv::Mat gray, flow;
  cv::cvtColor(work, gray, cv::COLOR_BGR2GRAY);
  // Flow from the new picture back to the previous one, so that every new
  // pixel knows where to fetch its probability from.
  t->flow->calc(gray, t->prev_gray, flow);
  cv::Mat map(flow.size(), CV_32FC2);
  for (int y = 0; y < flow.rows; ++y) {
    const cv::Point2f* f = flow.ptr<cv::Point2f>(y);
    cv::Point2f* m = map.ptr<cv::Point2f>(y);
    for (int x = 0; x < flow.cols; ++x) m[x] = cv::Point2f(x + f[x].x, y + f[x].y);
  }
  cv::Mat carried;
  cv::remap(t->prev_prob, carried, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::Mat colour_lr;
  cv::Mat motion = camera_evidence(flow, carried);
  cv::Mat prob = band_update(t, work, carried, 0.1f, &colour_lr, motion, flow);
  occlusion_update(t, flow, colour_lr, &prob);
  carry_pins(t, map, work);
  apply_pins(t->pins, &prob);
  t->prev_prob = prob;
  t->prev_gray = gray;
  return t->prev_prob;
}

}  // namespace tessel
