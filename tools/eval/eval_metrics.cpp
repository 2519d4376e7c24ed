#include "eval_metrics.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace tessel {
namespace {

cv::Mat boundary(const cv::Mat& mask) {
  cv::Mat eroded;
  cv::erode(mask, eroded, cv::Mat(), cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::Scalar(0));
  return mask & ~eroded;
}

// Share of `from` boundary pixels that lie within `tolerance` of `to`'s.
double matched_share(const cv::Mat& from, const cv::Mat& to, double tolerance) {
  int total = cv::countNonZero(from);
  if (total == 0) return 1.0;
  cv::Mat dist;
  cv::distanceTransform(~to, dist, cv::DIST_L2, cv::DIST_MASK_PRECISE);
  cv::Mat near = (dist <= tolerance) & from;
  return static_cast<double>(cv::countNonZero(near)) / total;
}

cv::Mat as_size(const cv::Mat& m, cv::Size size) {
  if (m.size() == size) return m;
  cv::Mat out;
  cv::resize(m, out, size, 0, 0, cv::INTER_LINEAR);
  return out;
}

}  // namespace

double boundary_f(const cv::Mat& predicted_mask, const cv::Mat& truth_mask) {
  cv::Mat bp = boundary(predicted_mask), bt = boundary(truth_mask);
  int np = cv::countNonZero(bp), nt = cv::countNonZero(bt);
  if (np == 0 && nt == 0) return 1.0;
  if (np == 0 || nt == 0) return 0.0;
  double diag = std::hypot(truth_mask.cols, truth_mask.rows);
  double tol = std::max(1.0, std::round(0.008 * diag));
  double precision = matched_share(bp, bt, tol);
  double recall = matched_share(bt, bp, tol);
  return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0.0;
}

FrameScore score_frame(const cv::Mat& predicted, const cv::Mat& truth) {
  cv::Mat p = as_size(predicted, truth.size());
  cv::Mat mp = p > 127, mt = truth > 127;
  FrameScore s;
  int uni = cv::countNonZero(mp | mt);
  s.j = uni == 0 ? 1.0 : static_cast<double>(cv::countNonZero(mp & mt)) / uni;
  s.f = boundary_f(mp, mt);
  cv::Mat diff;
  cv::absdiff(p, truth, diff);
  s.mae = cv::mean(diff)[0] / 255.0;
  return s;
}

void ClipScorer::add(const cv::Mat& predicted, const cv::Mat& truth) {
  FrameScore s = score_frame(predicted, truth);
  j_ += s.j;
  f_ += s.f;
  mae_ += s.mae;
  ++frames_;
  cv::Mat p, t;
  as_size(predicted, truth.size()).convertTo(p, CV_32F, 1.0 / 255);
  truth.convertTo(t, CV_32F, 1.0 / 255);
  if (!prev_pred_.empty() && prev_pred_.size() == p.size()) {
    cv::Mat d = (p - prev_pred_) - (t - prev_truth_);
    dtssd_ += std::sqrt(cv::mean(d.mul(d))[0]) * 100.0;
    ++pairs_;
  }
  prev_pred_ = p;
  prev_truth_ = t;
}

ClipScore ClipScorer::result() const {
  ClipScore r;
  r.frames = frames_;
  if (frames_ > 0) {
    r.j = j_ / frames_;
    r.f = f_ / frames_;
    r.mae = mae_ / frames_;
  }
  r.dtssd = pairs_ > 0 ? dtssd_ / pairs_ : 0.0;
  return r;
}

}  // namespace tessel
