// The learned person prior: P(person) per pixel around a box, from a small
// segmentation network. It is evidence for the engine, never a detector: on a
// crop with no person it still marks whatever stands out.
#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace tessel {

// The model file later calls run; empty turns the prior off. Set at start-up,
// before any job; by default the model fetched into the build tree.
void person_prior_use(const std::string& model_path);

// True when the model is there and translates (loaded on the first call).
bool person_prior_ready();
// One plain line for the start-up log: the model in use, or why there is none.
std::string person_prior_status();

// P(person) over a square crop centred on `around`, its longer side grown by
// `grow`, run through the network and put back: CV_32F at the size of `bgr`
// (8-bit BGR), 0 outside the crop. Where the square leaves the picture its
// border is repeated, so a person is never squashed. Empty without a model.
cv::Mat person_probability(const cv::Mat& bgr, cv::Rect around, double grow = 0.15);
// That square, before it is clipped to the picture.
cv::Rect square_crop(cv::Rect around, double grow);

}  // namespace tessel
