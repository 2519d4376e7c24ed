// The start document as the plug-in sends it, read into the engine's request.
#include "server/matte_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

TEST(MatteRequest, ReadsThePluginsDocument) {
  tessel::EngineRequest r;
  std::string error;
  ASSERT_TRUE(tessel::parse_matte_request(
      R"({"anchor_frame":12,"bbox":{"h":0.25,"w":0.5,"x":0.125,"y":0.3},"edge_softness":0.35,"quality":"fine","strokes":[[0.5,0.25,0.03],[0.52,0.25,-0.03],[0.5,0.5],7,["a",1,2],[0.1,0.1,0.0,9]],"text_prompt":"la danseuse \u00e9toile"})",
      &r, &error))
      << error;
  EXPECT_EQ(r.anchor_frame, 12);
  EXPECT_EQ(r.quality, tessel::Quality::Fine);
  EXPECT_DOUBLE_EQ(r.edge_softness, 0.35);
  EXPECT_EQ(r.text_prompt, "la danseuse \xC3\xA9toile");
  ASSERT_TRUE(r.has_box);
  EXPECT_DOUBLE_EQ(r.box.w, 0.5);
  // Dabs that are not three numbers are skipped; extra elements are ignored.
  ASSERT_EQ(r.dabs.size(), 3u);
  EXPECT_DOUBLE_EQ(r.dabs[1].r, -0.03);
  EXPECT_DOUBLE_EQ(r.dabs[2].r, 0.0);
}

TEST(MatteRequest, DefaultsClampsAndRefusals) {
  tessel::EngineRequest r;
  std::string error;
  ASSERT_TRUE(tessel::parse_matte_request("{}", &r, &error));
  EXPECT_EQ(r.anchor_frame, 0);
  EXPECT_FALSE(r.has_box);
  ASSERT_TRUE(tessel::parse_matte_request(
      R"({"edge_softness":7,"quality":"fast","bbox":{"h":0.0,"w":0.0,"x":0.3,"y":0.4}})", &r, &error));
  EXPECT_EQ(r.edge_softness, 1.0);
  EXPECT_EQ(r.quality, tessel::Quality::Fast);
  EXPECT_FALSE(r.has_box);  // a pen-down without motion
  ASSERT_TRUE(tessel::parse_matte_request(R"({"bbox":{"h":0.5,"w":0.5,"x":0.8,"y":-0.2}})", &r, &error));
  ASSERT_TRUE(r.has_box);  // clipped to the frame
  EXPECT_DOUBLE_EQ(r.box.x, 0.8);
  EXPECT_NEAR(r.box.w, 0.2, 1e-12);
  EXPECT_DOUBLE_EQ(r.box.y, 0.0);
  EXPECT_NEAR(r.box.h, 0.3, 1e-12);

  const std::pair<const char*, const char*> refused[] = {
      {"", "body is not a JSON object"},
      {"[]", "body is not a JSON object"},
      {R"({"anchor_frame":1.5})", "anchor_frame must be an integer"},
      {R"({"anchor_frame":-1})", "anchor_frame out of range"},
      {R"({"quality":"best"})", "quality must be \"fine\" or \"fast\""},
      {R"({"edge_softness":"soft"})", "edge_softness must be a number"},
      {R"({"text_prompt":3})", "text_prompt must be a string"},
      {R"({"bbox":[0,0,1,1]})", "bbox must be an object"},
      {R"({"bbox":{"w":"1"}})", "bbox.w must be a number"},
      {R"({"strokes":{}})", "strokes must be an array"},
  };
  for (const auto& [text, why] : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(tessel::parse_matte_request(text, &r, &error));
    EXPECT_EQ(error, why);
  }
}

// Radii beyond the frame's width are held to it, on either side.
TEST(MatteRequest, DabRadiiAreHeldToTheFrameWidth) {
  tessel::EngineRequest r;
  std::string error;
  ASSERT_TRUE(
      tessel::parse_matte_request(R"({"strokes":[[0.5,0.5,3],[0.5,0.5,-7],[0.2,0.3,-0.0]]})", &r, &error))
      << error;
  ASSERT_EQ(r.dabs.size(), 3u);
  EXPECT_EQ(r.dabs[0].r, 1.0);
  EXPECT_EQ(r.dabs[1].r, -1.0);
  EXPECT_EQ(r.dabs[2].x, 0.2);
  EXPECT_TRUE(std::signbit(r.dabs[2].r));  // an exclude dab of no size stays one
}

// A started session keeps its request on disk and reads it back after a
// restart: what comes back is what was started, field for field.
TEST(MatteRequest, TheStoredFormReadsBackTheSame) {
  tessel::EngineRequest started;
  started.anchor_frame = 7;
  started.quality = tessel::Quality::Fast;
  started.edge_softness = 0.6;
  started.text_prompt = "the dancer";
  started.has_box = true;
  started.box = {0.125, 0.25, 0.25, 0.5};
  started.dabs = {{0.3, 0.4, 0.02}, {0.31, 0.45, -0.05}};
  started.marked_frames = {{30, true, {0.5, 0.125, 0.25, 0.75}, {{0.6, 0.5, -0.01}}},
                           {2, false, {}, {{0.1, 0.2, 0.03}}}};
  for (const tessel::EngineRequest& request : {started, tessel::EngineRequest{}}) {
    SCOPED_TRACE(request.anchor_frame);
    tessel::EngineRequest back;
    std::string error;
    ASSERT_TRUE(tessel::parse_matte_request(tessel::matte_request_json(request), &back, &error)) << error;
    EXPECT_EQ(back.anchor_frame, request.anchor_frame);
    EXPECT_EQ(back.quality, request.quality);
    EXPECT_EQ(back.edge_softness, request.edge_softness);
    EXPECT_EQ(back.text_prompt, request.text_prompt);
    EXPECT_EQ(back.has_box, request.has_box);
    const double box[] = {back.box.x, back.box.y, back.box.w, back.box.h};
    const double want[] = {request.box.x, request.box.y, request.box.w, request.box.h};
    EXPECT_TRUE(std::equal(box, box + 4, want));
    ASSERT_EQ(back.dabs.size(), request.dabs.size());
    for (size_t k = 0; k < back.dabs.size(); ++k) {
      EXPECT_EQ(back.dabs[k].x, request.dabs[k].x);
      EXPECT_EQ(back.dabs[k].y, request.dabs[k].y);
      EXPECT_EQ(back.dabs[k].r, request.dabs[k].r);
    }
    ASSERT_EQ(back.marked_frames.size(), request.marked_frames.size());
    for (size_t k = 0; k < back.marked_frames.size(); ++k) {
      const tessel::MarkedFrame &got = back.marked_frames[k], &sent = request.marked_frames[k];
      EXPECT_EQ(got.frame, sent.frame);
      EXPECT_EQ(got.has_box, sent.has_box);
      EXPECT_EQ(got.box.y, sent.box.y);
      EXPECT_EQ(got.box.h, sent.box.h);
      ASSERT_EQ(got.dabs.size(), sent.dabs.size());
      EXPECT_EQ(got.dabs[0].r, sent.dabs[0].r);
    }
  }
  // Without corrections the stored form is the one kept before there were any.
  EXPECT_EQ(tessel::matte_request_json(tessel::EngineRequest{}).find("marked_frames"), std::string::npos);
}

// Other marked frames come in the anchor's own forms, each read as strictly.
TEST(MatteRequest, ReadsTheOtherMarkedFrames) {
  tessel::EngineRequest r;
  std::string error;
  ASSERT_TRUE(tessel::parse_matte_request(
      R"({"anchor_frame":5,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"marked_frames":[)"
      R"({"frame":40,"bbox":{"h":0.5,"w":0.5,"x":0.75,"y":0.25},"strokes":[[0.8,0.5,0.02],[1,2],[0.9,0.4,-3]]},)"
      R"({"frame":12,"strokes":[[0.3,0.3,-0.01]]},)"
      R"({"frame":5,"bbox":{"h":0.1,"w":0.1,"x":0.0,"y":0.0}},)"
      R"({"frame":20,"bbox":{"h":0,"w":0,"x":0.5,"y":0.5},"strokes":[]},)"
      R"({"frame":21}]})",
      &r, &error))
      << error;
  // The anchor keeps its own keys; an entry on its frame, or one marking
  // nothing (a pen-down without motion), adds nothing.
  EXPECT_EQ(r.anchor_frame, 5);
  EXPECT_DOUBLE_EQ(r.box.w, 0.25);
  ASSERT_EQ(r.marked_frames.size(), 2u);
  const tessel::MarkedFrame &late = r.marked_frames[0], &exclude = r.marked_frames[1];
  EXPECT_EQ(late.frame, 40);
  ASSERT_TRUE(late.has_box);
  EXPECT_DOUBLE_EQ(late.box.w, 0.25);  // clipped to the frame, as the anchor's
  ASSERT_EQ(late.dabs.size(), 2u);     // the unusable dab skipped
  EXPECT_EQ(late.dabs[1].r, -1.0);     // and radii held to the width
  EXPECT_EQ(exclude.frame, 12);
  EXPECT_FALSE(exclude.has_box);
  ASSERT_EQ(exclude.dabs.size(), 1u);

  ASSERT_TRUE(tessel::parse_matte_request(R"({"marked_frames":null})", &r, &error));
  EXPECT_TRUE(r.marked_frames.empty());

  std::string too_many = R"({"marked_frames":[)";
  for (int i = 1; i <= 101; ++i)
    too_many += (i > 1 ? "," : "") + std::string(R"({"frame":)") + std::to_string(i) + "}";
  too_many += "]}";
  const std::pair<std::string, const char*> refused[] = {
      {R"({"marked_frames":{}})", "marked_frames must be an array"},
      {R"({"marked_frames":[3]})", "marked_frames[0] must be an object"},
      {R"({"marked_frames":[{"strokes":[]}]})", "marked_frames[0].frame is missing"},
      {R"({"marked_frames":[{"frame":1},{"frame":"2"}]})", "marked_frames[1].frame must be an integer"},
      {R"({"marked_frames":[{"frame":-3}]})", "marked_frames[0].frame out of range"},
      {R"({"marked_frames":[{"frame":3,"bbox":[0,0,1,1]}]})", "marked_frames[0].bbox must be an object"},
      {R"({"marked_frames":[{"frame":3,"bbox":{"x":null}}]})", "marked_frames[0].bbox.x must be a number"},
      {R"({"marked_frames":[{"frame":3,"strokes":"0.5,0.5,0.1"}]})",
       "marked_frames[0].strokes must be an array"},
      {R"({"marked_frames":[{"frame":3},{"frame":3,"strokes":[[0.5,0.5,0.1]]}]})",
       "marked_frames lists frame 3 twice"},
      {too_many, "marked_frames lists more than 100 frames"},
  };
  for (const auto& [text, why] : refused) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(tessel::parse_matte_request(text, &r, &error));
    EXPECT_EQ(error, why);
  }
}

}  // namespace
