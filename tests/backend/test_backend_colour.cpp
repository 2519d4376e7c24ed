// The engine's colour evidence: global and per-tile models.
#include "engine_parts.h"

#include <gtest/gtest.h>

namespace {

// Left half: a skin-like character on sand; right half: sand-coloured
// character on skin-coloured ground. Globally both colours are half
// character, half ground.
struct Swapped {
  cv::Mat bgr, fg, bg;
  cv::Vec3b skin{120, 160, 220}, sand{60, 150, 200};
};

Swapped swapped_scene() {
  Swapped s;
  s.bgr.create(240, 480, CV_8UC3);
  s.fg = cv::Mat::zeros(s.bgr.size(), CV_8U);
  for (int y = 0; y < s.bgr.rows; ++y) {
    for (int x = 0; x < s.bgr.cols; ++x) {
      bool left = x < s.bgr.cols / 2, inside = y >= 80 && y < 160;
      s.bgr.at<cv::Vec3b>(y, x) = (left == inside) ? s.skin : s.sand;
      s.fg.at<uchar>(y, x) = inside ? 255 : 0;
    }
  }
  cv::bitwise_not(s.fg, s.bg);
  return s;
}

TEST(Colour, TilesTellApartWhatTheWholePictureCannot) {
  Swapped s = swapped_scene();
  tessel::ColourModel global;
  tessel::colour_learn(&global, s.bgr, s.fg, s.bg, 1.0f);
  cv::Mat lr = tessel::colour_log_ratio(global, s.bgr, 5.0f);
  // Globally the two colours say little either way.
  EXPECT_LT(std::abs(lr.at<float>(120, 60)), 1.0f);

  tessel::LocalColourModel local;
  tessel::local_colour_learn(&local, s.bgr, s.fg, s.bg);
  tessel::local_colour_apply(local, s.bgr, 5.0f, &lr);
  // Near the outline, where the tiles saw both sides:
  EXPECT_GT(lr.at<float>(85, 60), 2.0f);    // skin, left, inside
  EXPECT_LT(lr.at<float>(75, 60), -2.0f);   // sand, left, outside
  EXPECT_GT(lr.at<float>(85, 420), 2.0f);   // sand, right, inside
  EXPECT_LT(lr.at<float>(75, 420), -2.0f);  // skin, right, outside
}

TEST(Colour, TilesWithoutBothSidesKeepTheGlobalEvidence) {
  Swapped s = swapped_scene();
  cv::Mat lr(s.bgr.size(), CV_32F, cv::Scalar(0.7f));
  // Only the top rows are labelled, all as ground: no tile sees both sides.
  cv::Mat fg = cv::Mat::zeros(s.bgr.size(), CV_8U), bg = cv::Mat::zeros(s.bgr.size(), CV_8U);
  bg.rowRange(0, 20).setTo(255);
  tessel::LocalColourModel local;
  tessel::local_colour_learn(&local, s.bgr, fg, bg);
  tessel::local_colour_apply(local, s.bgr, 5.0f, &lr);
  EXPECT_EQ(cv::countNonZero(lr != 0.7f), 0);
  // A picture larger than the model was learnt on is left alone too.
  cv::Mat big(480, 960, CV_8UC3, cv::Scalar(0, 0, 0)), big_lr(big.size(), CV_32F, cv::Scalar(0.7f));
  tessel::local_colour_learn(&local, s.bgr, s.fg, s.bg);
  tessel::local_colour_apply(local, big, 5.0f, &big_lr);
  EXPECT_EQ(cv::countNonZero(big_lr != 0.7f), 0);
}

}  // namespace
