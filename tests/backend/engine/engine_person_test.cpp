// The person prior as the engine uses it: believed on a figure the user boxed,
// not on a box over scenery, and the engine is whole without it.
#include "engine_testing.h"

#include "protocol/clip_folder.h"

#include "engine/engine_parts.h"
#include "eval/eval_metrics.h"
#include "person/person_prior.h"

#include <opencv2/imgcodecs.hpp>

#include <filesystem>

namespace mattivo_test {
namespace {

bool have_model() { return std::filesystem::exists(MATTIVO_PERSON_MODEL); }

cv::Mat anchor_picture(const std::string& clip, int* anchor) {
  const nlohmann::json doc = protocol::read_clip_document(clip);
  *anchor = doc.value("anchor_frame", 0);
  return cv::imread(clip + "/frames/" + six(*anchor) + ".jpg", cv::IMREAD_COLOR);
}

tessel::EngineRequest boxed(const protocol::Box& box) {
  tessel::EngineRequest r;
  r.has_box = true;
  r.box = box;
  return r;
}

TEST(EnginePerson, BelievedOnTheBoxedFigureAndNotOnScenery) {
  if (!have_model()) GTEST_SKIP() << "no person model at " MATTIVO_PERSON_MODEL;
  tessel::person_prior_use(MATTIVO_PERSON_MODEL);
  const std::string clip = test_clip("walk", 640, 360, 4);
  int anchor = 0;
  const cv::Mat picture = anchor_picture(clip, &anchor);
  ASSERT_FALSE(picture.empty());
  const nlohmann::json doc = protocol::read_clip_document(clip);
  const protocol::Box figure{doc["bbox"]["x"], doc["bbox"]["y"], doc["bbox"]["w"], doc["bbox"]["h"]};
  const tessel::EngineSettings settings = tessel::engine_settings(tessel::Quality::Fine);
  cv::Mat mask, pins;
  bool person = false;
  std::string error;
  ASSERT_TRUE(tessel::segment_anchor(picture, {}, boxed(figure), settings, &mask, &pins, &person, &error));
  EXPECT_TRUE(person);
  // The same size of box beside the figure holds only landscape.
  protocol::Box beside = figure;
  beside.x = figure.x + figure.w < 0.5 ? figure.x + figure.w + 0.05 : figure.x - figure.w - 0.05;
  ASSERT_TRUE(beside.x >= 0 && beside.x + beside.w <= 1);
  const cv::Mat scenery = tessel::person_evidence(picture, tessel::box_pixels(beside, picture.size()), 0.15);
  EXPECT_TRUE(scenery.empty());
}

// A figure that stands while one arm waves, cut at the anchor beside the
// frames the engine compares it with: the whole figure, not the arm. Motion
// tells nothing about what stands still; the prior sees a person.
TEST(EnginePerson, AStandingFigureIsCutWholeWhenOnlyAnArmMoves) {
  if (!have_model()) GTEST_SKIP() << "no person model at " MATTIVO_PERSON_MODEL;
  tessel::person_prior_use(MATTIVO_PERSON_MODEL);
  const std::string clip = test_clip("still-limb", 960, 540, 48, 6);
  int anchor = 0;
  const cv::Mat picture = anchor_picture(clip, &anchor);
  ASSERT_FALSE(picture.empty());
  std::vector<tessel::Neighbour> neighbours;
  for (int offset : {-24, -12, -4, 4, 12, 23})
    neighbours.push_back({offset, cv::imread(clip + "/frames/" + six(anchor + offset) + ".jpg")});
  const nlohmann::json doc = protocol::read_clip_document(clip);
  const protocol::Box figure{doc["bbox"]["x"], doc["bbox"]["y"], doc["bbox"]["w"], doc["bbox"]["h"]};
  const cv::Mat truth = cv::imread(clip + "/alpha/" + six(anchor) + ".png", cv::IMREAD_GRAYSCALE) > 127;
  for (tessel::Quality q : {tessel::Quality::Fast, tessel::Quality::Fine}) {
    SCOPED_TRACE(q == tessel::Quality::Fast ? "fast" : "fine");
    cv::Mat mask, pins;
    bool person = false;
    std::string error;
    ASSERT_TRUE(tessel::segment_anchor(picture, neighbours, boxed(figure), tessel::engine_settings(q), &mask,
                                       &pins, &person, &error))
        << error;
    const double j = static_cast<double>(cv::countNonZero(mask & truth)) / cv::countNonZero(mask | truth);
    EXPECT_GT(j, 0.75);
  }
}

TEST(EnginePerson, WithoutTheModelTheEngineStillMattes) {
  tessel::person_prior_use("");
  const std::string clip = test_clip("walk", 320, 180, 6);
  EngineRun run = matte_clip(clip, clip_request(clip, "fast", "box"));
  tessel::person_prior_use(MATTIVO_PERSON_MODEL);
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  tessel::ClipScorer scorer;
  for (int i = 0; i < 6; ++i)
    scorer.add(run.mattes[i], cv::imread(clip + "/alpha/" + six(i) + ".png", cv::IMREAD_GRAYSCALE));
  EXPECT_GT(scorer.result().j, 0.7);
}

}  // namespace
}  // namespace mattivo_test
