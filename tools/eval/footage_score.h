// Identity on real footage, where there is no exact alpha: does the matte stay
// on the chosen person? Scored against the hand-drawn boxes of footage_cases.
#pragma once

#include "eval/footage_cases.h"

#include <opencv2/core.hpp>

#include <vector>

namespace tessel {

// A person fills roughly half of a box drawn from head to feet, so a matte of
// the whole person covers about 0.4-0.7 of it; one that keeps at least half of
// the person stays above 0.25, while a head or an arm alone falls well below.
constexpr double kHeldCoverage = 0.25;
// "Holds most of the matte": over half the matte's mass inside the chosen box.
constexpr double kHeldShare = 0.5;
// Leak is counted outside the chosen box grown by this share of its height on
// every side: soft edges and a swinging hand may pass a tight box.
constexpr double kLeakMargin = 0.1;

struct FootageFrameScore {
  double coverage = 0;    // share of the chosen box with matte >= 0.5
  double inside = 0;      // share of the matte's mass inside the chosen box
  double leak = 0;        // share of the mass outside the grown chosen box
  double distractor = 0;  // share of the mass in a distractor's box and not the chosen one
  bool held = false;      // inside > kHeldShare and coverage >= kHeldCoverage
};

struct FootageScore {
  double coverage = 0, leak = 0, distractor = 0;  // means over the frames
  double held = 0;                                // share of frames held
  int frames = 0;
};

// `matte` is 8-bit grey at any size; boxes are in frame pixels and scaled to it.
// An empty matte scores zero everywhere and is not held.
FootageFrameScore score_footage_frame(const cv::Mat& matte, const cv::Size& frame_size,
                                      const cv::Rect2d& chosen, const std::vector<cv::Rect2d>& distractors);

// mattes[i] is the matte of video frame c.first + i, for every frame of the
// range; every frame is scored, with boxes moving linearly between the listed ones.
FootageScore score_footage(const FootageCase& c, const std::vector<cv::Mat>& mattes);

}  // namespace tessel
