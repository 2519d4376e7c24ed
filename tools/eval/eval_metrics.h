// Scores of mattes against ground truth: region similarity J (IoU of the
// mattes cut at one half), boundary F-measure F, mean absolute alpha error,
// and temporal stability dtSSD.
#pragma once

#include <opencv2/core.hpp>

namespace tessel {

struct FrameScore {
  double j = 0, f = 0, mae = 0;
};

// Both 8-bit grey; the prediction is resized to the truth's size if needed.
FrameScore score_frame(const cv::Mat& predicted, const cv::Mat& truth);

// Boundary F-measure with a tolerance of 0.8% of the image diagonal.
double boundary_f(const cv::Mat& predicted_mask, const cv::Mat& truth_mask);

struct ClipScore {
  double j = 0, f = 0, mae = 0;
  double dtssd = 0;  // x100: root mean square of the difference in temporal change
  int frames = 0;
};

// Accumulates frames in clip order.
class ClipScorer {
 public:
  void add(const cv::Mat& predicted, const cv::Mat& truth);
  ClipScore result() const;

 private:
  double j_ = 0, f_ = 0, mae_ = 0, dtssd_ = 0;
  int frames_ = 0, pairs_ = 0;
  cv::Mat prev_pred_, prev_truth_;  // CV_32F, 0..1
};

}  // namespace tessel
