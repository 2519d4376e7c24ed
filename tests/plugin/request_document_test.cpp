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

}  // namespace
