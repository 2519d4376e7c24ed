#include "protocol/selection_document.h"

#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

using protocol::Box;
using protocol::Dab;

std::string dabs_text(std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) text += (i ? "," : "") + std::string("[0.5,0.5,0.03]");
  return text + "]";
}

TEST(BoxDocument, TextIsCompactWithSortedKeysAndFractionalNumbers) {
  EXPECT_EQ(protocol::box_text({0.125, 0.3, 0.5, 0.25}), R"({"h":0.25,"w":0.5,"x":0.125,"y":0.3})");
  // A click writes a zero-size box; integral values keep their ".0".
  EXPECT_EQ(protocol::box_text(Box{0.3, 0.4, 0.0, 0.0}), R"({"h":0.0,"w":0.0,"x":0.3,"y":0.4})");
  EXPECT_EQ(protocol::box_text({0, 0, 1, 1}), R"({"h":1.0,"w":1.0,"x":0.0,"y":0.0})");
  // The text reads back as the same doubles.
  const Box odd{0.1 + 0.2, 1.0 / 3.0, 2.0 / 7.0, 1e-9};
  const auto back = protocol::read_box(protocol::box_text(odd));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->x, odd.x);
  EXPECT_EQ(back->y, odd.y);
  EXPECT_EQ(back->w, odd.w);
  EXPECT_EQ(back->h, odd.h);
}

TEST(BoxDocument, PresentOnlyAsAnObjectWithPositiveWidth) {
  const char* absent[] = {"",
                          "{}",
                          "not json",
                          "[0.1,0.2,0.3,0.4]",
                          "0.5",
                          R"({"h":0.0,"w":0.0,"x":0.3,"y":0.4})",
                          R"({"h":0.5,"w":-0.1,"x":0.3,"y":0.4})",
                          R"({"h":0.5,"w":"0.4","x":0.3,"y":0.4})",
                          R"({"h":0.5,"w":true,"x":0.3,"y":0.4})",
                          R"({"h":0.5,"w":null})",
                          R"({"w":1e400})",
                          R"({"h":0.5,"w":0.4,"x":0.3,"y":0.4)"};
  for (const char* text : absent) EXPECT_FALSE(protocol::read_box(text)) << text;

  const auto flat = protocol::read_box(R"({"h":0.0,"w":0.4,"x":0.3,"y":0.2})");
  ASSERT_TRUE(flat);  // zero height still draws as a flat outline
  EXPECT_EQ(flat->w, 0.4);
  EXPECT_EQ(flat->h, 0.0);

  // Missing members and members that are not numbers read as 0.
  const auto partial = protocol::read_box(R"({"w":1,"x":"left","y":[1],"extra":{}})");
  ASSERT_TRUE(partial);
  EXPECT_EQ(partial->x, 0.0);
  EXPECT_EQ(partial->y, 0.0);
  EXPECT_EQ(partial->w, 1.0);
  EXPECT_EQ(partial->h, 0.0);
}

TEST(BrushDocument, AppendKeepsTextCompactAndSignsExcludeRadius) {
  auto text = protocol::append_dab("[]", {0.5, 0.25, 0.03});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "[[0.5,0.25,0.03]]");
  text = protocol::append_dab(*text, {0.52, 0.25, -0.05});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "[[0.5,0.25,0.03],[0.52,0.25,-0.05]]");
  // An exclude dab painted with size 0 keeps its sign as negative zero.
  text = protocol::append_dab("[]", {1.0, 0.0, -0.0});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "[[1.0,0.0,-0.0]]");
  const auto dabs = protocol::read_dabs(*text);
  ASSERT_EQ(dabs.size(), 1u);
  EXPECT_TRUE(std::signbit(dabs[0].r));
}

TEST(BrushDocument, TextThatIsNotAnArrayStartsOverWithOneDab) {
  const char* replaced[] = {"", "not json", "{\"a\":1}", "3", "null", "[[0.1,0.2,0.3]"};
  for (const char* before : replaced) {
    const auto text = protocol::append_dab(before, {0.25, 0.75, 0.03});
    ASSERT_TRUE(text) << before;
    EXPECT_EQ(*text, "[[0.25,0.75,0.03]]") << before;
  }
}

TEST(BrushDocument, HoldsAtMost2048Dabs) {
  const auto at2048 = protocol::append_dab(dabs_text(2047), {0.1, 0.1, 0.03});
  ASSERT_TRUE(at2048);
  EXPECT_EQ(nlohmann::json::parse(*at2048).size(), 2048u);
  EXPECT_FALSE(protocol::append_dab(*at2048, {0.1, 0.1, 0.03}));
  // A document already over the limit (written by someone else) is left alone too.
  EXPECT_FALSE(protocol::append_dab(dabs_text(3000), {0.1, 0.1, 0.03}));
}

TEST(BrushDocument, ReaderSkipsMalformedEntriesAppenderKeepsThem) {
  const std::string text = R"([[0.1,0.2,0.03],[0.5,0.5],7,"dab",[0.3,"y",0.1],[0.4,0.4,null],)"
                           R"([0.6,0.7,-0.02,"extra",9],{"x":1},[],[0.8,0.9,0]])";
  const auto dabs = protocol::read_dabs(text);
  ASSERT_EQ(dabs.size(), 3u);
  EXPECT_EQ(dabs[0].x, 0.1);
  EXPECT_EQ(dabs[0].r, 0.03);
  EXPECT_EQ(dabs[1].x, 0.6);  // elements past the third are ignored
  EXPECT_EQ(dabs[1].r, -0.02);
  EXPECT_EQ(dabs[2].r, 0.0);  // integer literals are numbers too

  const auto appended = protocol::append_dab(text, {0.9, 0.9, 0.03});
  ASSERT_TRUE(appended);
  const auto doc = nlohmann::json::parse(*appended);
  const auto before = nlohmann::json::parse(text);
  ASSERT_EQ(doc.size(), before.size() + 1);
  for (std::size_t i = 0; i < before.size(); ++i) EXPECT_EQ(doc[i], before[i]) << i;
  EXPECT_EQ(doc.back(), nlohmann::json::parse("[0.9,0.9,0.03]"));
}

TEST(BrushDocument, NonArrayDocumentsDrawNothing) {
  for (const char* text : {"", "[]", "{}", "oops", "[[0.1,0.2,0.3]", "\"[[0.1,0.2,0.3]]\""})
    EXPECT_TRUE(protocol::read_dabs(text).empty()) << text;
}

TEST(Documents, AbsurdNestingIsTreatedAsUnparseable) {
  // Writing a value back recurses per level; such a text must not reach the writer.
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_TRUE(protocol::read_dabs(deep).empty());
  const auto text = protocol::append_dab(deep, {0.5, 0.5, 0.03});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "[[0.5,0.5,0.03]]");
  EXPECT_FALSE(protocol::read_box("{\"w\":1,\"a\":" + deep + "}"));
  // Ordinary nesting inside an entry survives an append.
  const auto kept = protocol::append_dab("[[[[[1]]]]]", {0.5, 0.5, 0.03});
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept, "[[[[[1]]]],[0.5,0.5,0.03]]");
}

}  // namespace
