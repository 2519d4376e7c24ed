// The matting engine without HTTP: selections, softness, failures, and the
// pieces it is made of.
#include "engine_testing.h"

#include "engine/engine_parts.h"
#include "eval/eval_metrics.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace mattivo_test {
namespace {

tessel::ClipScore score(const std::string& clip, const EngineRun& run) {
  tessel::ClipScorer scorer;
  for (size_t i = 0; i < run.mattes.size(); ++i) {
    scorer.add(run.mattes[i],
               cv::imread(clip + "/alpha/" + six(static_cast<int>(i)) + ".png", cv::IMREAD_GRAYSCALE));
  }
  return scorer.result();
}

// What the tracker hands over for a character with hair: its body and its
// hair as one solid mass.
cv::Mat tracked_mass(cv::Size size, const cv::Rect& body, const cv::Rect& hair) {
  cv::Mat tracked = cv::Mat::zeros(size, CV_32F);
  tracked(body).setTo(1.0f);
  tracked(hair).setTo(1.0f);
  return tracked;
}

// Refines `tracked` at full size, with colours learned as the tracker learns
// them: the whole tracked mass against the rest.
cv::Mat refine_as_tracked(const cv::Mat& picture, const cv::Mat& tracked) {
  tessel::ColourModel colour;
  cv::Mat mass = tracked > 0.5f;
  tessel::colour_learn(&colour, picture, mass, ~mass, 1.0f);
  return tessel::refine_matte(tracked, picture, colour, 0.0, picture.size());
}

// The plug-in's selection in each of its forms finds the character.
TEST(Engine, EachKindOfSelectionFindsTheCharacter) {
  std::string walk = test_clip("walk"), dance = test_clip("dance");
  struct Case {
    const char* what;
    std::string clip, document;
  } cases[] = {
      {"box, fast", walk, clip_request(walk, "fast", "box")},
      {"box, fine", walk, clip_request(walk, "fine", "box")},
      {"dabs only", walk, clip_request(walk, "fast", "dabs")},
      {"box and dabs", dance, clip_request(dance, "fine", "both")},
      {"hint only", dance, clip_request(dance, "fast", "hint")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EngineRun run = matte_clip(c.clip, c.document);
    ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
    tessel::ClipScore s = score(c.clip, run);
    EXPECT_GE(s.j, 0.7);
    EXPECT_GE(s.f, 0.7);
  }
}

// A striped shirt whose light stripes look like the ground beside them, at
// the working size and over two seconds: the stripes stay in the matte.
// (Deciding each pixel by colour alone scored J 0.83 here.)
TEST(Engine, FineKeepsStripesThatLookLikeTheGround) {
  std::string clip = test_clip("walk", 960, 540, 48, 6);
  EngineRun run = matte_clip(clip, clip_request(clip, "fine", "box"));
  ASSERT_TRUE(run.outcome.ok) << run.outcome.error;
  EXPECT_GE(score(clip, run).j, 0.88);
}

// The cut on its own: the colour decision lost the ends of stripes that look
// like the ground beside them; the cut gives them back and takes nothing of
// the ground.
// A figure of `body` whose shirt has background-coloured stripes; the carried
// shape kept them deep inside but not near the sides. The cut's answer.
struct BayCase {
  cv::Mat cut, bays, carried, deep;
};
BayCase cut_bays(const cv::Rect& body) {
  cv::RNG rng(7);
  cv::Mat work(540, 960, CV_8UC3);
  rng.fill(work, cv::RNG::NORMAL, cv::Scalar(110, 170, 110), cv::Scalar(6, 6, 6));
  cv::Mat shirt(body.size(), CV_8UC3);
  rng.fill(shirt, cv::RNG::NORMAL, cv::Scalar(40, 40, 170), cv::Scalar(6, 6, 6));
  BayCase c;
  c.carried = cv::Mat::zeros(work.size(), CV_8U);
  c.bays = c.carried.clone();
  c.carried(body).setTo(255);
  for (int y = 20; y + 12 < body.height; y += 40) {
    cv::Rect stripe(0, y, body.width, 12);
    shirt(stripe).setTo(cv::Scalar(125, 190, 125));
    c.bays(stripe + body.tl()) = 255;
  }
  shirt.copyTo(work(body));
  // A figure's outline.
  cv::rectangle(work, cv::Rect(body.x + 1, body.y + 1, body.width - 2, body.height - 2),
                cv::Scalar(20, 30, 60), 2);
  cv::Mat inner = cv::Mat::zeros(work.size(), CV_8U);
  inner(cv::Rect(body.x + 24, body.y, body.width - 48, body.height)).setTo(255);
  c.bays &= ~inner;
  // Further inside than the cut's sure reach (2.5 bands of 12).
  c.deep = cv::Mat::zeros(work.size(), CV_8U);
  c.deep(cv::Rect(body.x + 32, body.y + 32, body.width - 64, body.height - 64)).setTo(255);
  cv::Mat decided = c.carried & ~c.bays;

  cv::Mat inside, outside, not_carried;
  cv::bitwise_not(c.carried, not_carried);
  cv::distanceTransform(c.carried, inside, cv::DIST_L2, cv::DIST_MASK_3);
  cv::distanceTransform(not_carried, outside, cv::DIST_L2, cv::DIST_MASK_3);
  tessel::Tracker tracker;
  tracker.settings = tessel::engine_settings(tessel::Quality::Fine);
  c.cut = tessel::cut_decide(&tracker, work, inside - outside, decided, true);
  return c;
}

// A close-up is cut on a reduced copy: it must fill the same bays, and keep
// what is sure inside and out, as a figure cut at full size.
TEST(Engine, TheCutFillsBaysTheColourDecisionLeft) {
  for (const cv::Rect& body : {cv::Rect(380, 70, 200, 400), cv::Rect(120, 20, 720, 500)}) {
    SCOPED_TRACE(body.width);
    BayCase c = cut_bays(body);
    EXPECT_GT(cv::countNonZero(c.cut & c.bays), cv::countNonZero(c.bays) * 8 / 10);
    EXPECT_LT(cv::countNonZero(c.cut & ~c.carried), cv::countNonZero(c.carried) / 100);
    EXPECT_EQ(cv::countNonZero(c.deep & ~c.cut), 0) << "a sure pixel inside was cut away";
  }
}

// The anchor's mask took in a piece of scenery in the character's colours,
// apart from its body. The camera pans one way and the character walks the
// other: the piece moves with the camera and is dropped within a few frames;
// the body stays.
TEST(Engine, TrackingDropsScenerySeparateFromTheCharacter) {
  const cv::Size size(960, 540);
  cv::RNG rng(11);
  cv::Mat land(size.height + 80, size.width + 120, CV_8UC3);
  rng.fill(land, cv::RNG::UNIFORM, cv::Scalar(60, 110, 60), cv::Scalar(140, 190, 140));
  cv::GaussianBlur(land, land, cv::Size(0, 0), 3);
  auto character_coloured = [&rng](cv::Mat m) {
    cv::Mat texture(m.size(), CV_8UC3);
    rng.fill(texture, cv::RNG::UNIFORM, cv::Scalar(30, 30, 150), cv::Scalar(60, 60, 200));
    cv::GaussianBlur(texture, texture, cv::Size(0, 0), 2);
    texture.copyTo(m);
  };
  const cv::Rect trunk(330, 200, 40, 200);  // in the landscape
  character_coloured(land(trunk));
  cv::Mat body_look(300, 100, CV_8UC3);
  character_coloured(body_look);
  auto frame = [&](int t, cv::Rect* body, cv::Rect* trunk_now) {
    const cv::Point camera(20 + 3 * t, 20 + t);  // the view's corner on the landscape
    cv::Mat f = land(cv::Rect(camera, size)).clone();
    *body = cv::Rect(450 - 4 * t, 150, 100, 300);
    body_look.copyTo(f(*body));
    *trunk_now = trunk - camera;
    return f;
  };
  cv::Rect body, trunk_now;
  cv::Mat first = frame(0, &body, &trunk_now);
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  mask(body).setTo(255);
  mask(trunk_now).setTo(255);
  tessel::Tracker tracker;
  tessel::tracker_start(&tracker, first, mask, cv::Mat(), false,
                        tessel::engine_settings(tessel::Quality::Fine));
  cv::Mat prob;
  for (int t = 1; t <= 6; ++t) prob = tessel::tracker_step(&tracker, frame(t, &body, &trunk_now));
  cv::Mat kept = prob > 0.5f;
  EXPECT_LT(cv::countNonZero(kept(trunk_now)), trunk_now.area() / 10);
  EXPECT_GT(cv::countNonZero(kept(body)), body.area() * 9 / 10);
}

// The anchor's mask took in a passer-by in the character's colours. They
// walk apart: once clear of the character the passer-by is dropped, while a
// piece of the character apart from its body that moves along with it (a
// raised hand beyond a gap) stays.
TEST(Engine, TrackingDropsAPasserByThatWalkedAway) {
  const cv::Size size(960, 540);
  cv::RNG rng(5);
  cv::Mat land(size, CV_8UC3);
  rng.fill(land, cv::RNG::UNIFORM, cv::Scalar(60, 110, 60), cv::Scalar(140, 190, 140));
  cv::GaussianBlur(land, land, cv::Size(0, 0), 3);
  cv::Mat look(300, 100, CV_8UC3);
  rng.fill(look, cv::RNG::UNIFORM, cv::Scalar(30, 30, 150), cv::Scalar(60, 60, 200));
  cv::GaussianBlur(look, look, cv::Size(0, 0), 2);
  struct Scene {
    cv::Mat picture;
    cv::Rect body, hand, passer;
  };
  auto scene = [&](int t) {
    Scene s{land.clone(), cv::Rect(420 + 4 * t, 180, 100, 300), cv::Rect(440 + 4 * t, 100, 60, 40),
            cv::Rect(280 - 6 * t, 230, 80, 200)};
    for (const cv::Rect& r : {s.body, s.hand, s.passer})
      look(cv::Rect(cv::Point(), r.size())).copyTo(s.picture(r));
    return s;
  };
  Scene s = scene(0);
  cv::Mat mask = cv::Mat::zeros(size, CV_8U);
  for (const cv::Rect& r : {s.body, s.hand, s.passer}) mask(r).setTo(255);
  tessel::Tracker tracker;
  tessel::tracker_start(&tracker, s.picture, mask, cv::Mat(), false,
                        tessel::engine_settings(tessel::Quality::Fine));
  cv::Mat prob;
  for (int t = 1; t <= 6; ++t) {
    s = scene(t);
    prob = tessel::tracker_step(&tracker, s.picture);
  }
  cv::Mat kept = prob > 0.5f;
  EXPECT_LT(cv::countNonZero(kept(s.passer)), s.passer.area() / 10);
  EXPECT_GT(cv::countNonZero(kept(s.body)), s.body.area() * 9 / 10);
  EXPECT_GT(cv::countNonZero(kept(s.hand)), s.hand.area() * 8 / 10);
}

// Hair tracked as one solid mass with a smooth outline: at full size the
// background between the strands is taken out, and the strands that reach
// beyond the outline are taken in. A background-coloured patch deep inside
// the character (a print on the shirt) is the tracker's to decide and stays.
TEST(Engine, RefinementSeparatesStrandsFromTheGapsBetweenThem) {
  cv::RNG rng(3);
  cv::Mat picture(480, 640, CV_8UC3);
  rng.fill(picture, cv::RNG::NORMAL, cv::Scalar(110, 170, 110), cv::Scalar(5, 5, 5));
  const cv::Rect body(220, 120, 200, 320), hair(220, 80, 200, 40), print(300, 260, 40, 40);
  const cv::Rect tips(220, 65, 200, 15);  // beyond the tracked outline
  cv::Mat tracked = tracked_mass(picture.size(), body, hair);
  picture(body).setTo(cv::Scalar(40, 40, 170));
  cv::Mat strands = cv::Mat::zeros(picture.size(), CV_8U);
  for (int x = hair.x; x < hair.x + hair.width; x += 6) strands(cv::Rect(x, tips.y, 2, 55)).setTo(255);
  picture.setTo(cv::Scalar(120, 200, 230), strands);
  picture(print).setTo(cv::Scalar(110, 170, 110));

  cv::Mat character = tracked > 0.5f;
  character(hair).setTo(0);
  character |= strands;
  character(print).setTo(0);
  tessel::ColourModel colour;
  tessel::colour_learn(&colour, picture, character, ~character, 1.0f);
  cv::Mat alpha = tessel::refine_matte(tracked, picture, colour, 0.35, picture.size());

  cv::Mat gaps = cv::Mat::zeros(picture.size(), CV_8U), near_strands;
  gaps(hair).setTo(255);
  gaps(tips).setTo(255);
  cv::dilate(strands, near_strands, cv::Mat(), cv::Point(-1, -1), 1);
  gaps &= ~near_strands;
  cv::Mat strand_tips = cv::Mat::zeros(picture.size(), CV_8U);
  strands(tips).copyTo(strand_tips(tips));
  EXPECT_LT(cv::countNonZero(gaps & (alpha > 127)), cv::countNonZero(gaps) / 5);
  EXPECT_GT(cv::mean(alpha, strands)[0], 127);
  EXPECT_GT(cv::mean(alpha, strand_tips)[0], 127);
  EXPECT_GT(cv::mean(alpha(print))[0], 240);
  EXPECT_GT(cv::mean(alpha(cv::Rect(body.x + 20, body.y + 20, body.width - 40, body.height - 40)))[0], 240);
}

// Loose strands reaching far out from the hair's mass into the sky, each
// a pixel wide and mixed with the sky behind it, come in although no clear
// strand lies near them; the sky between them stays out, and so does a tuft
// of the same strands in the scenery beside the character, apart from it.
TEST(Engine, RefinementTakesInLooseStrandsFarFromTheHair) {
  cv::RNG rng(11);
  cv::Mat picture(480, 640, CV_8UC3);
  const cv::Scalar sky(230, 190, 140), strand(30, 70, 120), mixed = sky * 0.4 + strand * 0.6;
  rng.fill(picture, cv::RNG::NORMAL, sky, cv::Scalar(3, 3, 3));
  const cv::Rect body(220, 200, 200, 280), head(260, 120, 120, 80), tuft(150, 300, 50, 80);
  picture(body).setTo(cv::Scalar(140, 40, 120));
  for (int x = head.x; x < head.br().x; x += 4) picture(cv::Rect(x, head.y, 2, head.height)).setTo(strand);
  cv::Mat loose = cv::Mat::zeros(picture.size(), CV_8U);
  for (int x = head.x; x < head.br().x; x += 5) loose(cv::Rect(x, head.y - 70, 1, 70)).setTo(255);
  for (int x = tuft.x; x < tuft.br().x; x += 5) picture(cv::Rect(x, tuft.y, 1, tuft.height)).setTo(mixed);
  picture.setTo(mixed, loose);
  cv::Mat tracked = tracked_mass(picture.size(), body, head);
  cv::Mat alpha = refine_as_tracked(picture, tracked);

  // Far out: beyond the reach of the outline's colour zone.
  const cv::Rect far(head.x, head.y - 70, head.width, 45);
  cv::Mat far_strands = cv::Mat::zeros(picture.size(), CV_8U), near_loose;
  loose(far).copyTo(far_strands(far));
  cv::dilate(loose, near_loose, cv::Mat(), cv::Point(-1, -1), 1);
  cv::Mat far_sky = cv::Mat::zeros(picture.size(), CV_8U);
  far_sky(far).setTo(255);
  far_sky &= ~near_loose;
  EXPECT_GT(cv::mean(alpha, far_strands)[0], 110);
  EXPECT_LT(cv::mean(alpha, far_sky)[0], 20);
  EXPECT_LT(cv::mean(alpha(tuft))[0], 10);
  EXPECT_GT(cv::mean(alpha(cv::Rect(body.x + 20, body.y + 20, body.width - 40, body.height - 40)))[0], 240);
}

// The colours the tracker learns along the outline include, in hair, the
// background between the strands. Where the picture shows hair, the strands'
// own colours decide: the gaps go although the character's model has seen
// their colours, while the strands and the smooth body stay.
TEST(Engine, RefinementTakesOutGapsTheCharactersColoursIncluded) {
  cv::RNG rng(5);
  cv::Mat picture(480, 640, CV_8UC3);
  cv::Mat left = picture(cv::Rect(0, 0, 320, 480)), right = picture(cv::Rect(320, 0, 320, 480));
  rng.fill(left, cv::RNG::NORMAL, cv::Scalar(150, 220, 170), cv::Scalar(4, 4, 4));
  rng.fill(right, cv::RNG::NORMAL, cv::Scalar(230, 190, 140), cv::Scalar(4, 4, 4));
  const cv::Rect body(220, 110, 200, 360), hair(220, 60, 200, 50);
  cv::Mat tracked = tracked_mass(picture.size(), body, hair);
  picture(body).setTo(cv::Scalar(40, 40, 170));
  cv::Mat strands = cv::Mat::zeros(picture.size(), CV_8U);
  for (int x = hair.x; x < hair.x + hair.width; x += 8)
    strands(cv::Rect(x, hair.y, 2, hair.height)).setTo(255);
  picture.setTo(cv::Scalar(30, 60, 110), strands);
  cv::Mat alpha = refine_as_tracked(picture, tracked);

  cv::Mat gaps = cv::Mat::zeros(picture.size(), CV_8U), near_strands;
  gaps(hair).setTo(255);
  cv::dilate(strands, near_strands, cv::Mat(), cv::Point(-1, -1), 1);
  gaps &= ~near_strands;
  // Judged by the character's model alone, they would stay about a third in.
  EXPECT_LT(cv::mean(alpha, gaps)[0], 45);
  EXPECT_GT(cv::mean(alpha, strands)[0], 240);
  EXPECT_GT(cv::mean(alpha(cv::Rect(body.x + 20, body.y + 20, body.width - 40, body.height - 40)))[0], 240);
}

// Grass one shade off the shirt's colour: the tracker's outline overshoots
// onto it by a strip, which the refinement takes out at full size, while
// the shirt stays.
TEST(Engine, RefinementTellsApartNeighbouringShades) {
  cv::RNG rng(11);
  cv::Mat picture(480, 640, CV_8UC3);
  rng.fill(picture, cv::RNG::NORMAL, cv::Scalar(60, 120, 150), cv::Scalar(2, 2, 2));
  const cv::Rect body(220, 60, 200, 400), strip(208, 60, 12, 400);
  cv::Mat shirt(body.size(), CV_8UC3);
  rng.fill(shirt, cv::RNG::NORMAL, cv::Scalar(60, 120, 168), cv::Scalar(2, 2, 2));
  shirt.copyTo(picture(body));
  cv::Mat character = cv::Mat::zeros(picture.size(), CV_8U);
  character(body).setTo(255);
  tessel::ColourModel colour;
  tessel::colour_learn(&colour, picture, character, ~character, 1.0f);
  cv::Mat tracked = cv::Mat::zeros(picture.size(), CV_32F);
  tracked(body | strip).setTo(1.0f);
  cv::Mat alpha = tessel::refine_matte(tracked, picture, colour, 0.0, picture.size());
  // Spread over neighbouring shades, the model reads the grass as only
  // somewhat less the shirt's than the ground's, and the strip stays in.
  EXPECT_LT(cv::mean(alpha(cv::Rect(strip.x, strip.y, strip.width - 3, strip.height)))[0], 64);
  EXPECT_GT(cv::mean(alpha(cv::Rect(body.x + 4, body.y + 20, body.width - 8, body.height - 40)))[0], 240);
}

// Pale stripes across the shirt that the tracker only half believed (its
// colours doubted them) are deep inside the character: fully in.
TEST(Engine, RefinementKeepsWhatTheTrackerDoubtedDeepInside) {
  cv::RNG rng(9);
  cv::Mat picture(480, 640, CV_8UC3);
  rng.fill(picture, cv::RNG::NORMAL, cv::Scalar(110, 170, 110), cv::Scalar(4, 4, 4));
  const cv::Rect body(220, 60, 200, 400);
  picture(body).setTo(cv::Scalar(40, 40, 170));
  cv::Mat tracked = cv::Mat::zeros(picture.size(), CV_32F);
  tracked(body).setTo(1.0f);
  cv::Mat stripes = cv::Mat::zeros(picture.size(), CV_8U);
  for (int y = body.y + 30; y + 10 < body.br().y; y += 40)
    stripes(cv::Rect(body.x, y, body.width, 10)).setTo(255);
  picture.setTo(cv::Scalar(200, 200, 200), stripes);
  tracked.setTo(0.6f, stripes);
  cv::Mat alpha = refine_as_tracked(picture, tracked);
  cv::Mat deep = cv::Mat::zeros(picture.size(), CV_8U);
  deep(cv::Rect(body.x + 30, body.y, body.width - 60, body.height)).setTo(255);
  EXPECT_GT(cv::mean(alpha, stripes & deep)[0], 240);
}

// Strands differ in how much of a pixel they cover. Against the background
// right behind them, a faint strand (a third of a pixel) stays out while a
// dense one comes in, as the truth at half coverage has it.
TEST(Engine, RefinementTellsDenseStrandsFromFaintOnes) {
  cv::RNG rng(7);
  cv::Mat picture(480, 640, CV_8UC3);
  rng.fill(picture, cv::RNG::NORMAL, cv::Scalar(150, 220, 170), cv::Scalar(4, 4, 4));
  const cv::Rect body(220, 110, 200, 360), hair(220, 50, 200, 60);
  cv::Mat tracked = tracked_mass(picture.size(), body, hair);
  picture(body).setTo(cv::Scalar(40, 40, 170));
  const cv::Vec3f strand(30, 60, 110);
  cv::Mat dense = cv::Mat::zeros(picture.size(), CV_8U), faint = dense.clone();
  for (int x = hair.x; x + 2 <= hair.x + hair.width; x += 4) {
    cv::Mat& which = (x - hair.x) % 8 == 0 ? dense : faint;
    which(cv::Rect(x, hair.y, 2, hair.height)).setTo(255);
  }
  for (int y = hair.y; y < hair.y + hair.height; ++y) {
    for (int x = hair.x; x < hair.x + hair.width; ++x) {
      float cover = dense.at<uchar>(y, x) ? 0.9f : faint.at<uchar>(y, x) ? 0.3f : 0.f;
      cv::Vec3b& p = picture.at<cv::Vec3b>(y, x);
      for (int c = 0; c < 3; ++c) p[c] = cv::saturate_cast<uchar>(cover * strand[c] + (1 - cover) * p[c]);
    }
  }

  cv::Mat alpha = refine_as_tracked(picture, tracked);
  EXPECT_GT(cv::mean(alpha, dense)[0], 180);
  EXPECT_LT(cv::mean(alpha, faint)[0], 110);
}

TEST(Engine, ReportsItsStagesInOrder) {
  std::string clip = test_clip("walk");
  EngineRun run = matte_clip(clip, clip_request(clip, "fast", "box"));
  ASSERT_TRUE(run.outcome.ok);
  ASSERT_EQ(run.stages.size(), 13u);
  EXPECT_EQ(run.stages.front(), "segmenting anchor");
  EXPECT_EQ(run.stages[1], "tracking 1/12");
  EXPECT_EQ(run.stages.back(), "tracking 12/12");
}

// An exclude dab over the chest takes it out of the matte.
TEST(Engine, ExcludeDabsCutOutWhatTheyCover) {
  std::string clip = test_clip("walk");
  nlohmann::json doc = parse(clip_request(clip, "fast", "box"));
  nlohmann::json meta = parse(read_file(clip + "/clip.json"));
  double hx = meta["strokes"][0][0], hy = meta["strokes"][0][1];
  doc["strokes"] = nlohmann::json::array({{hx, hy, -0.02}});
  EngineRun run = matte_clip(clip, doc.dump());
  ASSERT_TRUE(run.outcome.ok);
  int anchor = meta["anchor_frame"];
  const cv::Mat& a = run.mattes[anchor];
  cv::Point chest(static_cast<int>(hx * a.cols), static_cast<int>(hy * a.rows));
  EXPECT_LT(a.at<uchar>(chest), 64);
  EngineRun plain = matte_clip(clip, clip_request(clip, "fast", "box"));
  EXPECT_GT(plain.mattes[anchor].at<uchar>(chest), 192);
}

// Softer edges mean more pixels between fully in and fully out.
TEST(Engine, EdgeSoftnessWidensTheTransition) {
  std::string clip = test_clip("walk");
  auto partial = [&clip](double softness) {
    EngineRun run = matte_clip(clip, clip_request(clip, "fine", "box", softness), 3);
    EXPECT_TRUE(run.outcome.ok);
    int n = 0;
    for (const cv::Mat& m : run.mattes) n += cv::countNonZero((m > 12) & (m < 243));
    return n;
  };
  int hard = partial(0.0), medium = partial(0.5), soft = partial(1.0);
  EXPECT_LT(hard, medium);
  EXPECT_LT(medium, soft);
}

TEST(Engine, FailuresArePlainTexts) {
  std::string clip = test_clip("walk");
  tessel::EngineRequest box;
  std::string error;
  ASSERT_TRUE(tessel::parse_matte_request(clip_request(clip, "fast", "box"), &box, &error));
  auto reader = [&clip](int i, int reduce) {
    return tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
  };
  auto sink = [](int, const cv::Mat&) { return true; };
  auto quiet = [](const std::string&) {};

  // A frame that does not decode, after the anchor.
  auto broken = [&reader](int i, int reduce) { return i == 9 ? tessel::Frame{} : reader(i, reduce); };
  tessel::EngineOutcome o = tessel::run_engine(box, 12, broken, sink, quiet, nullptr);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.error, "frame 9 cannot be decoded");

  // A matte that cannot be stored.
  o = tessel::run_engine(
      box, 12, reader, [](int i, const cv::Mat&) { return i != 4; }, quiet, nullptr);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.error, "cannot store the matte of frame 4");

  // Cancelled (the server is stopping, or the user cancelled): not a failure
  // to report, and stopped before the anchor's matte is handed out.
  std::atomic<bool> stop{true};
  std::atomic<int> written{0};
  o = tessel::run_engine(
      box, 12, reader, [&written](int, const cv::Mat&) { return ++written > 0; }, quiet, &stop);
  EXPECT_FALSE(o.ok);
  EXPECT_TRUE(o.cancelled);
  EXPECT_EQ(written.load(), 0);

  // A selection that excludes all it includes.
  tessel::EngineRequest empty = box;
  empty.dabs = {{box.box.x + box.box.w / 2, box.box.y + box.box.h / 2, -1.0}};
  o = tessel::run_engine(empty, 12, reader, sink, quiet, nullptr);
  EXPECT_EQ(o.error, "the selection covers nothing");
}

// Only dabs with some size add; the rest exclude, -0 and 0 included.
TEST(EngineRequest, OnlyDabsWithAPositiveRadiusAdd) {
  tessel::EngineRequest request;
  EXPECT_FALSE(tessel::has_positive_dab(request));
  request.dabs = {{0.5, 0.5, -0.0}, {0.5, 0.5, 0.0}, {0.4, 0.5, -0.03}};
  EXPECT_FALSE(tessel::has_positive_dab(request));
  request.dabs.push_back({0.6, 0.5, 0.01});
  EXPECT_TRUE(tessel::has_positive_dab(request));
}

// Frames far smaller than the plug-in sends, and clips of one frame.
TEST(Engine, TinyFramesAndSingleFrames) {
  for (cv::Size size : {cv::Size(2, 2), cv::Size(9, 5), cv::Size(40, 30)}) {
    SCOPED_TRACE(size.width);
    cv::Mat img(size, CV_8UC3, cv::Scalar(30, 60, 90));
    cv::circle(img, cv::Point(size.width / 2, size.height / 2), std::max(1, size.height / 3),
               cv::Scalar(200, 200, 40), cv::FILLED);
    tessel::EngineRequest request;
    request.has_box = true;
    request.box = {0.25, 0.2, 0.5, 0.6};
    request.quality = tessel::Quality::Fine;
    cv::Mat out;
    tessel::EngineOutcome o = tessel::run_engine(
        request, 1,
        [&img](int, int) {
          return tessel::Frame{img, img.size()};
        },
        [&out](int, const cv::Mat& a) {
          out = a.clone();
          return true;
        },
        [](const std::string&) {}, nullptr);
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(out.size(), size);
  }
}

// Frames of another size than the anchor's get mattes of their own size.
TEST(Engine, MattesFollowEachFramesSize) {
  std::string clip = test_clip("walk");
  tessel::EngineRequest request;
  std::string error;
  ASSERT_TRUE(tessel::parse_matte_request(clip_request(clip, "fast", "box"), &request, &error));
  request.anchor_frame = 0;
  std::vector<cv::Size> sizes(4);
  tessel::EngineOutcome o = tessel::run_engine(
      request, 4,
      [&clip](int i, int reduce) {
        tessel::Frame f = tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
        if (i == 2) {
          cv::resize(f.bgr, f.bgr, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
          f.full_size = f.bgr.size();
        }
        return f;
      },
      [&sizes](int i, const cv::Mat& a) {
        sizes[i] = a.size();
        return true;
      },
      [](const std::string&) {}, nullptr);
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(sizes[1], cv::Size(320, 180));
  EXPECT_EQ(sizes[2], cv::Size(160, 90));
}

}  // namespace
}  // namespace mattivo_test
