// Corrections: every marked frame is an anchor, tracking runs from the
// nearest, and the trackers hand over between two anchors without a seam.
#include "engine_testing.h"

#include "engine/engine_parts.h"
#include "eval/eval_metrics.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>

namespace mattivo_test {
namespace {

double frame_j(const std::string& clip, const EngineRun& run, int i) {
  cv::Mat truth = cv::imread(clip + "/alpha/" + six(i) + ".png", cv::IMREAD_GRAYSCALE);
  return tessel::score_frame(run.mattes[i], truth).j;
}

// How much the matte changes from frame i - 1 to frame i: the share of
// pixels that cross half.
double change(const EngineRun& run, int i) {
  cv::Mat a = run.mattes[i - 1] > 127, b = run.mattes[i] > 127;
  return static_cast<double>(cv::countNonZero(a != b)) / a.total();
}

// The user's box on frame t, as the generator would draw it.
tessel::MarkedFrame boxed(const tessel::ClipSpec& spec, int t) {
  tessel::ClipGenerator gen(spec);
  tessel::ClipSelection sel = gen.selection(t);
  return tessel::MarkedFrame{t, true, {sel.box_x, sel.box_y, sel.box_w, sel.box_h}, {}};
}

tessel::EngineRequest clip_engine_request(const std::string& clip, const char* quality) {
  tessel::EngineRequest request;
  std::string error;
  EXPECT_TRUE(tessel::parse_matte_request(clip_request(clip, quality, "box"), &request, &error)) << error;
  return request;
}

EngineRun matte_request_on(const std::string& clip, const tessel::EngineRequest& request) {
  return matte_frames(request, clip_frame_count(clip), [&clip](int i, int reduce) {
    return tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
  });
}

// A look-alike crosses the character after the anchor and the tracker from
// the anchor follows it; a box on a later frame brings those frames back,
// the hand-over halfway shows no jump, and frames the correction does not
// reach stay as they were.
TEST(EngineAnchors, ACorrectionLaterMendsWhatTrackingLost) {
  const int kFrames = 48, kMark = 40;
  tessel::ClipSpec spec;
  tessel::scenario_spec("crossing", &spec);
  spec.width = 640;
  spec.height = 360;
  spec.frames = kFrames;
  spec.seed = 1;
  const std::string clip = test_clip("crossing", spec.width, spec.height, kFrames, 1);
  tessel::EngineRequest request = clip_engine_request(clip, "fast");
  const int anchor = request.anchor_frame;
  ASSERT_LT(anchor + 4, kMark);
  EngineRun alone = matte_request_on(clip, request);
  ASSERT_TRUE(alone.outcome.ok) << alone.outcome.error;

  tessel::MarkedFrame mark = boxed(spec, kMark);
  request.marked_frames = {mark};
  EngineRun corrected = matte_request_on(clip, request);
  ASSERT_TRUE(corrected.outcome.ok) << corrected.outcome.error;

  double lost = 0;
  for (int i = kMark; i <= kMark + 3; ++i) {
    SCOPED_TRACE(i);
    lost = std::max(lost, 1.0 - frame_j(clip, alone, i));
    EXPECT_GE(frame_j(clip, corrected, i), 0.85);
  }
  EXPECT_GT(lost, 0.25);  // the clip does lose the character there on its own

  int lo = 0, hi = 0;
  tessel::meeting_frames(anchor, kMark, &lo, &hi);
  for (int i = 0; i < lo; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cv::countNonZero(alone.mattes[i] != corrected.mattes[i]), 0);
  }
  // No seam: across the hand-over the matte changes no more from frame to
  // frame than it does elsewhere in the clip.
  double across = 0, elsewhere = 0;
  for (int i = 1; i < kFrames; ++i) {
    double& worst = i >= lo && i <= hi + 1 ? across : elsewhere;
    worst = std::max(worst, change(corrected, i));
  }
  EXPECT_LE(across, elsewhere * 1.25) << "hand-over " << lo << ".." << hi;

  // The box holds on its frame: nothing beyond it (and its margin) is matted.
  const cv::Mat& m = corrected.mattes[kMark];
  cv::Rect box = tessel::box_pixels(mark.box, m.size());
  int margin = tessel::box_margin(m.size());
  cv::Mat beyond(m.size(), CV_8U, cv::Scalar(255));
  beyond(cv::Rect(box.x - margin, box.y - margin, box.width + 2 * margin, box.height + 2 * margin) &
         cv::Rect(0, 0, m.cols, m.rows))
      .setTo(0);
  EXPECT_EQ(cv::countNonZero(m & beyond), 0);
}

// Anchors on the first and last frames, two side by side, and some apart:
// each frame is matted once, progress counts every frame once, the marks hold
// on their frames, and the same request gives the same mattes.
TEST(EngineAnchors, EveryFrameOnceWhereverTheAnchorsLie) {
  const std::string clip = test_clip("walk");
  tessel::ClipSpec spec;
  tessel::scenario_spec("walk", &spec);
  spec.width = 320;
  spec.height = 180;
  spec.frames = 12;
  spec.seed = 2;
  tessel::EngineRequest request = clip_engine_request(clip, "fast");
  request.anchor_frame = 6;
  tessel::MarkedFrame excluded = boxed(spec, 9);
  tessel::ClipGenerator gen(spec);
  const cv::Vec3d torso = gen.selection(9).dabs[0];
  excluded.dabs = {{torso[0], torso[1], -0.5 * torso[2]}};
  request.marked_frames = {boxed(spec, 11), boxed(spec, 0), excluded, boxed(spec, 1), boxed(spec, 3)};

  std::vector<int> written(12, 0);
  std::vector<cv::Mat> mattes(12);
  std::vector<std::string> stages;
  auto run = [&] {
    return tessel::run_engine(
        request, 12,
        [&clip](int i, int reduce) {
          return tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
        },
        [&](int i, const cv::Mat& a) {
          ++written[i];
          mattes[i] = a.clone();
          return true;
        },
        [&stages](const std::string& s) { stages.push_back(s); }, nullptr);
  };
  tessel::EngineOutcome o = run();
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(written, std::vector<int>(12, 1));
  std::vector<std::string> tracking;
  for (const std::string& s : stages) {
    if (s.rfind("tracking ", 0) == 0) tracking.push_back(s);
  }
  ASSERT_EQ(tracking.size(), 12u);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(tracking[i], "tracking " + std::to_string(i + 1) + "/12");
  EXPECT_EQ(stages.front(), "segmenting anchor 1/6");
  EXPECT_NE(std::find(stages.begin(), stages.end(), "segmenting anchor 6/6"), stages.end());

  std::vector<cv::Mat> first = mattes;
  ASSERT_TRUE(run().ok);
  for (int i = 0; i < 12; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(cv::countNonZero(first[i] != mattes[i]), 0);
  }

  // The exclude dab holds on its own frame, where the box alone keeps the chest.
  const cv::Mat& m9 = first[9];
  cv::Point chest(static_cast<int>(torso[0] * m9.cols), static_cast<int>(torso[1] * m9.rows));
  EXPECT_EQ(m9.at<uchar>(chest), 0);
  request.marked_frames[2].dabs.clear();
  ASSERT_TRUE(run().ok);
  EXPECT_GT(mattes[9].at<uchar>(chest), 192);
}

TEST(EngineAnchors, FailuresOnAMarkedFrameSayWhich) {
  const std::string clip = test_clip("walk");
  tessel::EngineRequest request = clip_engine_request(clip, "fast");
  request.anchor_frame = 2;
  auto reader = [&clip](int i, int reduce) {
    return tessel::read_frame_file(clip + "/frames/" + six(i) + ".jpg", reduce);
  };
  std::vector<int> written;
  auto sink = [&written](int i, const cv::Mat&) {
    written.push_back(i);
    return true;
  };
  auto quiet = [](const std::string&) {};

  // A box on a marked frame that an exclude dab takes back entirely.
  tessel::MarkedFrame nothing{9, true, request.box, {{request.box.x + request.box.w / 2, 0.5, -1.0}}};
  request.marked_frames = {nothing};
  tessel::EngineOutcome o = tessel::run_engine(request, 12, reader, sink, quiet, nullptr);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.error, "marked frame 9: the selection covers nothing");

  // A marked frame that does not decode.
  request.marked_frames = {{9, true, request.box, {}}};
  auto broken = [&reader](int i, int reduce) { return i == 9 ? tessel::Frame{} : reader(i, reduce); };
  o = tessel::run_engine(request, 12, broken, sink, quiet, nullptr);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.error, "frame 9 cannot be decoded");

  // A mark past the clip's end is refused before any work.
  written.clear();
  request.marked_frames = {{12, true, request.box, {}}};
  o = tessel::run_engine(request, 12, reader, sink, quiet, nullptr);
  EXPECT_EQ(o.error, "marked frame 12 is not in the clip of 12 frames");
  EXPECT_TRUE(written.empty());

  // A cancel while the second anchor is segmented stops there.
  written.clear();
  request.marked_frames = {{9, true, request.box, {}}};
  std::atomic<bool> stop{false};
  o = tessel::run_engine(
      request, 12, reader, sink,
      [&stop](const std::string& s) { stop = stop || s == "segmenting anchor 2/2"; }, &stop);
  EXPECT_TRUE(o.cancelled);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(written, std::vector<int>{2});
}

}  // namespace
}  // namespace mattivo_test
