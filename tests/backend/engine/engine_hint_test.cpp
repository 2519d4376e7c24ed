// A hint with nothing selected: its colour words choose among the people found.
#include "engine/engine_parts.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

namespace {

TEST(EngineHint, ColourWordsAreReadWhateverTheirCaseAndPunctuation) {
  EXPECT_EQ(tessel::hint_colour_words("The man in the Red-jacket, GREY trousers."),
            (std::vector<std::string>{"red", "grey"}));
  EXPECT_EQ(tessel::hint_colour_words("the woman in the red coat and blue jeans"),
            (std::vector<std::string>{"red", "blue"}));
  EXPECT_TRUE(tessel::hint_colour_words("the person walking").empty());
}

// Three figures: a strong detection in grey, a weaker one in red, a weaker
// one in blue.
struct Crowd {
  cv::Mat picture;
  std::vector<tessel::PersonCandidate> people;
};

Crowd crowd() {
  Crowd c;
  c.picture = cv::Mat(240, 360, CV_8UC3, cv::Scalar(90, 140, 90));
  const cv::Scalar colours[] = {cv::Scalar(128, 128, 128), cv::Scalar(30, 30, 200), cv::Scalar(200, 60, 20)};
  for (int i = 0; i < 3; ++i) {
    cv::Rect box(20 + 120 * i, 40, 60, 160);
    cv::rectangle(c.picture, cv::Rect(box.x + 12, box.y + 10, 36, 140), colours[i], cv::FILLED);
    c.people.push_back({box, i == 0 ? 2.0 : 1.0});
  }
  return c;
}

TEST(EngineHint, TheHintsColoursChooseAmongThePeopleFound) {
  const Crowd c = crowd();
  EXPECT_EQ(tessel::choose_person(c.picture, c.people, "the one in red"), 1);
  EXPECT_EQ(tessel::choose_person(c.picture, c.people, "the woman in the blue dress"), 2);
  EXPECT_EQ(tessel::choose_person(c.picture, c.people, "the man in grey"), 0);
  // No colour words, or colours nobody wears: the strongest detection.
  EXPECT_EQ(tessel::choose_person(c.picture, c.people, "the person walking"), 0);
  EXPECT_EQ(tessel::choose_person(c.picture, c.people, "the one in yellow"), 0);
  EXPECT_EQ(tessel::choose_person(c.picture, {}, "the one in red"), -1);
}

}  // namespace
