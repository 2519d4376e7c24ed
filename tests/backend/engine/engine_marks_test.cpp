// The user's box and dabs are constraints on the matte, and the same request
// gives the same mattes.
#include "engine_testing.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace mattivo_test {
namespace {

constexpr int kW = 320, kH = 180;
const cv::Scalar kCoat(60, 40, 170), kBag(112, 128, 118);

// A figure standing still on a textured, still background while one arm
// swings; a bag at its side is nearly the colour of the ground. `wall` puts a
// patch of the coat's colour against its right side.
struct Scene {
  std::vector<cv::Mat> pictures, truth;
  cv::Rect body, bag;
};

Scene standing_figure(int frames, bool wall) {
  cv::Mat ground(kH, kW, CV_8UC3), noise(kH, kW, CV_8UC3);
  ground.setTo(cv::Scalar(110, 130, 120));
  cv::RNG rng(7);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 60);
  cv::GaussianBlur(noise, noise, cv::Size(5, 5), 0);
  ground += noise;
  ground -= cv::Scalar(30, 30, 30);
  Scene s;
  s.body = cv::Rect(140, 60, 40, 80);
  s.bag = cv::Rect(122, 96, 18, 26);
  for (int i = 0; i < frames; ++i) {
    cv::Mat pic = ground.clone(), mask = cv::Mat::zeros(kH, kW, CV_8U);
    double a = std::sin(i * 0.7) * 1.0 - 0.6;
    cv::Point shoulder(176, 68),
        hand(176 + static_cast<int>(40 * std::cos(a)), 68 + static_cast<int>(40 * std::sin(a)));
    for (cv::Mat* m : {&pic, &mask}) {
      cv::Scalar c = m == &pic ? kCoat : cv::Scalar(255);
      cv::rectangle(*m, s.body, c, cv::FILLED);
      cv::circle(*m, cv::Point(160, 48), 12, c, cv::FILLED);
      cv::rectangle(*m, cv::Rect(144, 140, 12, 30), c, cv::FILLED);
      cv::rectangle(*m, cv::Rect(164, 140, 12, 30), c, cv::FILLED);
      cv::line(*m, shoulder, hand, c, 8);
      cv::rectangle(*m, s.bag, m == &pic ? kBag : cv::Scalar(255), cv::FILLED);
    }
    if (wall) cv::rectangle(pic, cv::Rect(180, 100, 140, 40), kCoat, cv::FILLED);
    s.pictures.push_back(pic);
    s.truth.push_back(mask);
  }
  return s;
}

tessel::EngineRequest box_request(tessel::Quality q, int anchor) {
  tessel::EngineRequest r;
  r.quality = q;
  r.anchor_frame = anchor;
  r.has_box = true;
  r.box = {110.0 / kW, 30.0 / kH, 115.0 / kW, 145.0 / kH};
  return r;
}

double jaccard(const cv::Mat& matte, const cv::Mat& truth) {
  cv::Mat m = matte > 127, t = truth > 127;
  double u = cv::countNonZero(m | t);
  return u == 0 ? 1.0 : cv::countNonZero(m & t) / u;
}

// Mean alpha, 0..1, over `region` (8-bit mask) of `matte`.
double mean_alpha(const cv::Mat& matte, const cv::Mat& region) { return cv::mean(matte, region)[0] / 255.0; }

cv::Mat disc(cv::Point c, int r) {
  cv::Mat m = cv::Mat::zeros(kH, kW, CV_8U);
  cv::circle(m, c, r, cv::Scalar(255), cv::FILLED);
  return m;
}

protocol::Dab dab_at(cv::Point c, int r, bool add) {
  double rr = static_cast<double>(r) / kW;
  return {static_cast<double>(c.x) / kW, static_cast<double>(c.y) / kH, add ? rr : -rr};
}

// What stands still is as much the character as what moves: only the arm
// moves here, and the whole figure is matted on every frame.
TEST(EngineMarks, StillPartsStayWhenOnlyAnArmMoves) {
  Scene s = standing_figure(16, false);
  for (tessel::Quality q : {tessel::Quality::Fast, tessel::Quality::Fine}) {
    SCOPED_TRACE(q == tessel::Quality::Fast ? "fast" : "fine");
    EngineRun run = matte_pictures(box_request(q, 8), s.pictures);
    ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
    cv::Mat body = cv::Mat::zeros(kH, kW, CV_8U);
    body(s.body).setTo(255);
    for (int i : {0, 8, 15}) {
      SCOPED_TRACE(i);
      EXPECT_GT(mean_alpha(run.mattes[i], body), 0.9);
      EXPECT_GT(jaccard(run.mattes[i], s.truth[i]), 0.75);
    }
  }
}

// At the anchor: add dabs are character over their inner half, exclude dabs
// are background, and nothing of the look-alike wall beyond the box is taken
// in except where a dab puts it.
TEST(EngineMarks, DabsAndTheBoxHoldAtTheAnchor) {
  Scene s = standing_figure(10, true);
  const cv::Point bag(131, 109), wall_dab(280, 120), elbow(190, 70);
  for (tessel::Quality q : {tessel::Quality::Fast, tessel::Quality::Fine}) {
    SCOPED_TRACE(q == tessel::Quality::Fast ? "fast" : "fine");
    tessel::EngineRequest r = box_request(q, 5);
    r.dabs = {dab_at(bag, 8, true), dab_at(wall_dab, 10, true), dab_at(elbow, 6, false)};
    EngineRun run = matte_pictures(r, s.pictures);
    ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
    const cv::Mat& a = run.mattes[5];
    EXPECT_GE(cv::mean(a, disc(bag, 4))[0], 0.9 * 255) << "add dab on the bag";
    cv::Mat inner_wall = disc(wall_dab, 5);
    double lowest = 0;
    cv::minMaxLoc(a, &lowest, nullptr, nullptr, nullptr, inner_wall);
    EXPECT_GE(lowest, 0.9 * 255) << "add dab beyond the box";
    double highest = 0;
    cv::minMaxLoc(a, nullptr, &highest, nullptr, nullptr, disc(elbow, 6));
    EXPECT_LE(highest, 0.1 * 255) << "exclude dab";
    // Beyond the box and its small margin, the wall is out except around its dab.
    cv::Mat beyond = cv::Mat::zeros(kH, kW, CV_8U);
    beyond(cv::Rect(240, 0, kW - 240, kH)).setTo(255);
    beyond.setTo(0, disc(wall_dab, 20));
    cv::minMaxLoc(a, nullptr, &highest, nullptr, nullptr, beyond);
    EXPECT_EQ(highest, 0) << "beyond the box";
  }
}

// A region the user painted in is not lost on the next frames because it did
// not move: the bag, nearly the ground's colour, stays with the figure.
TEST(EngineMarks, PaintedRegionsStayThroughTheClip) {
  Scene s = standing_figure(16, false);
  tessel::EngineRequest r = box_request(tessel::Quality::Fine, 8);
  r.dabs = {dab_at(cv::Point(131, 102), 7, true), dab_at(cv::Point(131, 116), 7, true)};
  EngineRun run = matte_pictures(r, s.pictures);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  cv::Mat bag = cv::Mat::zeros(kH, kW, CV_8U);
  bag(cv::Rect(s.bag.x + 3, s.bag.y + 3, s.bag.width - 6, s.bag.height - 6)).setTo(255);
  for (int i : {0, 7, 9, 15}) {
    SCOPED_TRACE(i);
    EXPECT_GT(mean_alpha(run.mattes[i], bag), 0.8);
  }
}

// Byte-identical mattes for the same request and frames, run after run in
// one process (where earlier jobs have used the random generators).
TEST(EngineMarks, TheSameRequestGivesTheSameMattes) {
  std::string clip = test_clip("mixed");
  for (const char* quality : {"fast", "fine"}) {
    SCOPED_TRACE(quality);
    std::string doc = clip_request(clip, quality, "both");
    EngineRun first = matte_clip(clip, doc);
    cv::theRNG().next();
    EngineRun second = matte_clip(clip, doc);
    ASSERT_TRUE(first.outcome.ok && second.outcome.ok);
    for (size_t i = 0; i < first.mattes.size(); ++i) {
      EXPECT_EQ(cv::norm(first.mattes[i], second.mattes[i], cv::NORM_INF), 0) << "frame " << i;
    }
  }
}

}  // namespace
}  // namespace mattivo_test
