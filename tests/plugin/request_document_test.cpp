#include "plugin/request_document.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

RequestInputs inputs() {
  RequestInputs in;
  in.time = 12.0;
  in.first_frame = 0.0;
  in.frame_count = 30;
  in.quality_index = 0;
  in.edge_softness = 0.35;
  return in;
}

TEST(RequestDocument, SerialisesCompactlyWithKeysAscending) {
  RequestInputs in = inputs();
  in.bbox_json = R"({"h":0.25,"w":0.5,"x":0.125,"y":0.3})";
  EXPECT_EQ(request_body(in), R"({"anchor_frame":12,"bbox":{"h":0.25,"w":0.5,"x":0.125,"y":0.3},)"
                              R"("edge_softness":0.35,"quality":"fine","strokes":[],"text_prompt":""})");

  in.bbox_json.clear();
  in.brush_json = "[[0.5,0.25,0.03],[0.52,0.25,-0.03]]";
  in.quality_index = 2;  // any index but 0 is the fast mode
  in.edge_softness = 1.0;
  in.text_hint = "the man in red";
  EXPECT_EQ(request_body(in),
            R"({"anchor_frame":12,"edge_softness":1.0,"quality":"fast",)"
            R"("strokes":[[0.5,0.25,0.03],[0.52,0.25,-0.03]],"text_prompt":"the man in red"})");
}

TEST(RequestDocument, AnchorIsRoundedAndClampedIntoTheGrab) {
  struct Case {
    double time, first;
    int count, expected;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {10.0, 10.0, 10, 0}, {17.5, 10.0, 10, 8}, {16.4, 10.0, 10, 6}, {3.0, 10.0, 10, 0},
      {9.6, 10.0, 10, 0},  {19.0, 10.0, 10, 9}, {25.0, 10.0, 10, 9}, {1e300, 0.0, 5, 4},
      {-1e300, 0.0, 5, 0}, {nan, 0.0, 5, 0},    {3.0, 0.0, 1, 0},    {-2.5, -5.0, 10, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(anchor_frame(c.time, c.first, c.count), c.expected)
        << "time " << c.time << " first " << c.first << " count " << c.count;
  }
  RequestInputs in = inputs();
  in.time = 100.0;
  EXPECT_EQ(request_document(in)["anchor_frame"], 29);
}

TEST(RequestDocument, OnlyAnObjectWithAPositiveNumericWidthIsABox) {
  const char* no_box[] = {
      "",
      "not json",
      "[0.1,0.2,0.3,0.4]",
      R"({"h":0.0,"w":0.0,"x":0.3,"y":0.4})",
      R"({"h":0.2,"w":-0.1,"x":0.3,"y":0.4})",
      R"({"h":0.2,"x":0.3,"y":0.4})",
      R"({"h":0.2,"w":"0.5","x":0.3,"y":0.4})",
      R"({"h":0.2,"w":true,"x":0.3,"y":0.4})",
      R"({"h":0.2,"w":null,"x":0.3,"y":0.4})",
      R"({"h":0.2,"w":[1],"x":0.3,"y":0.4})",
      R"({"h":0.2,"w":{"v":1},"x":0.3,"y":0.4})",
      R"({"w":0.5,})",
      R"({"w":0.5 /* drag */})",
  };
  RequestInputs in = inputs();
  for (const char* text : no_box) {
    in.bbox_json = text;
    EXPECT_FALSE(request_document(in).contains("bbox")) << text;
  }
  // Integral widths of either sign kind count, and the object goes through whole.
  for (const char* text : {R"({"w":1})", R"({"w":1,"extra":"kept","h":2})", R"({"w":0.001})"}) {
    in.bbox_json = text;
    nlohmann::json doc = request_document(in);
    ASSERT_TRUE(doc.contains("bbox")) << text;
    EXPECT_EQ(doc["bbox"], nlohmann::json::parse(text));
  }
}

TEST(RequestDocument, StrokesAreTheStoredArrayOrEmpty) {
  RequestInputs in = inputs();
  for (const char* text : {"", "[]", "{}", "\"dabs\"", "[[0.5,0.25,0.03]"}) {
    in.brush_json = text;
    EXPECT_EQ(request_document(in)["strokes"], nlohmann::json::array()) << text;
  }
  // Entries are not checked or filtered.
  in.brush_json = R"([[0.5,0.25,0.03],"odd",{"x":1}])";
  EXPECT_EQ(request_document(in)["strokes"].dump(), in.brush_json);
}

TEST(RequestDocument, HintTextStaysUtf8AndBadBytesAreReplaced) {
  RequestInputs in = inputs();
  in.text_hint = "Zoë \"the\" café\n";
  std::string body = request_body(in);
  EXPECT_NE(body.find(R"("text_prompt":"Zoë \"the\" café\n")"), std::string::npos) << body;
  EXPECT_EQ(body.find("\\u"), std::string::npos);

  in.text_hint = std::string(
      "ab\xff\xfe"
      "c\xc3",
      6);
  ASSERT_NO_THROW(body = request_body(in));
  EXPECT_NE(body.find("\"text_prompt\":\"ab\xEF\xBF\xBD\xEF\xBF\xBD"
                      "c\xEF\xBF\xBD\""),
            std::string::npos)
      << body;
  EXPECT_NO_THROW(nlohmann::json::parse(body));
}

// Marks kept per clip frame: the clip here starts at frame 100, so matte
// index i is clip frame 100 + i. The frame being edited keeps its marks in
// bbox_json and brush_json.
RequestInputs marked_inputs() {
  RequestInputs in = inputs();
  in.first_frame = 100.0;
  in.time = 112.0;
  in.bbox_json = R"({"h":0.5,"w":0.25,"x":0.1,"y":0.2})";
  in.brush_json = "[[0.2,0.3,0.03]]";
  in.frame_marks = R"({"editing":112,"frames":{"125":{"strokes":[[0.6,0.5,-0.04]]},)"
                   R"("104":{"bbox":{"h":0.4,"w":0.3,"x":0.5,"y":0.1},"strokes":[]}}})";
  return in;
}

TEST(RequestDocumentMarks, TheFramePressedOnIsTheAnchorAndEveryOtherMarkedFrameIsListed) {
  RequestInputs in = marked_inputs();
  EXPECT_EQ(request_body(in),
            R"({"anchor_frame":12,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"edge_softness":0.35,)"
            R"("marked_frames":[{"bbox":{"h":0.4,"w":0.3,"x":0.5,"y":0.1},"frame":4,"strokes":[]},)"
            R"({"frame":25,"strokes":[[0.6,0.5,-0.04]]}],)"
            R"("quality":"fine","strokes":[[0.2,0.3,0.03]],"text_prompt":""})");

  // Pressed on another marked frame: its marks are the anchor's, the edited frame's are listed.
  in.time = 125.0;
  EXPECT_EQ(request_body(in),
            R"({"anchor_frame":25,"edge_softness":0.35,)"
            R"("marked_frames":[{"bbox":{"h":0.4,"w":0.3,"x":0.5,"y":0.1},"frame":4,"strokes":[]},)"
            R"({"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"frame":12,"strokes":[[0.2,0.3,0.03]]}],)"
            R"("quality":"fine","strokes":[[0.6,0.5,-0.04]],"text_prompt":""})");
}

TEST(RequestDocumentMarks, PressedOnAnUnmarkedFrameTheNearestMarkedFrameIsTheAnchor) {
  struct Case {
    double time;
    int anchor;
  };
  // Marked at matte indexes 4 (being edited) and 20; a tie goes to the earlier.
  for (const Case& c : {Case{112.0, 4}, Case{100.0, 4}, Case{116.0, 20}, Case{129.0, 20}}) {
    RequestInputs in = marked_inputs();
    in.time = c.time;
    in.bbox_json = "";
    in.frame_marks = R"({"editing":104,"frames":{"120":{"strokes":[[0.4,0.3,0.03]]}}})";
    const nlohmann::json doc = request_document(in);
    EXPECT_EQ(doc["anchor_frame"], c.anchor) << c.time;
    EXPECT_EQ(doc["strokes"][0][0], c.anchor == 4 ? 0.2 : 0.4) << c.time;
    ASSERT_EQ(doc["marked_frames"].size(), 1u) << c.time;
    EXPECT_EQ(doc["marked_frames"][0]["frame"], c.anchor == 4 ? 20 : 4) << c.time;
  }
  // With no marks anywhere the hint carries the pull from the frame pressed on.
  RequestInputs bare = marked_inputs();
  bare.bbox_json = "";
  bare.brush_json = "[]";
  bare.frame_marks = R"({"editing":104,"frames":{}})";
  bare.text_hint = "the dancer";
  EXPECT_EQ(request_body(bare), R"({"anchor_frame":12,"edge_softness":0.35,"quality":"fine","strokes":[],)"
                                R"("text_prompt":"the dancer"})");
}

TEST(RequestDocumentMarks, MarksOfAnOlderProjectPullAsTheyAlwaysDid) {
  RequestInputs old = marked_inputs();
  old.frame_marks.clear();
  const std::string before = request_body(old);
  EXPECT_EQ(before, R"({"anchor_frame":12,"bbox":{"h":0.5,"w":0.25,"x":0.1,"y":0.2},"edge_softness":0.35,)"
                    R"("quality":"fine","strokes":[[0.2,0.3,0.03]],"text_prompt":""})");
  // Without an editing frame they are the marks of whichever frame is pressed on.
  old.time = 127.0;
  EXPECT_EQ(request_document(old)["anchor_frame"], 27);
  old.time = 112.0;
  // Documents that add nothing beyond the edited frame change nothing either.
  for (const char* marks : {"{}", "not json", "[]", R"({"editing":112,"frames":{}})",
                            R"({"editing":112,"frames":{"99":{"strokes":[[0.1,0.1,0.03]]}}})",
                            R"({"editing":112,"frames":{"130":{"strokes":[[0.1,0.1,0.03]]}}})",
                            R"({"editing":112,"frames":{"x":{"strokes":[[0.1,0.1,0.03]]}}})",
                            R"({"editing":112,"frames":{"110":{"strokes":[]}}})"}) {
    RequestInputs in = old;
    in.frame_marks = marks;
    EXPECT_EQ(request_body(in), before) << marks;
  }
  // Marks edited on a frame the grab no longer holds (a trimmed clip) are nobody's anchor.
  RequestInputs trimmed = old;
  trimmed.frame_marks = R"({"editing":99,"frames":{"120":{"strokes":[[0.4,0.3,0.03]]}}})";
  const nlohmann::json doc = request_document(trimmed);
  EXPECT_EQ(doc["anchor_frame"], 20);
  EXPECT_EQ(doc["strokes"], nlohmann::json::parse("[[0.4,0.3,0.03]]"));
  EXPECT_FALSE(doc.contains("bbox"));
  EXPECT_FALSE(doc.contains("marked_frames"));
}

}  // namespace
