// Command-line parsing of `mattivo pull`: what users type, and what must be refused.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace {

std::string parse(std::vector<std::string> args, mattivo::PullOptions* o) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  return mattivo::parse_pull(static_cast<int>(argv.size()), argv.data(), o);
}

TEST(PullOptions, BoxIsNormalisedUnlessPixelsAreSaid) {
  mattivo::Box b;
  ASSERT_EQ(mattivo::parse_box("0.1,0.2,0.5,0.6", &b), "");
  EXPECT_FALSE(b.pixels);
  EXPECT_DOUBLE_EQ(b.w, 0.5);
  ASSERT_EQ(mattivo::parse_box("100,50,320,240", &b), "");
  EXPECT_TRUE(b.pixels);
  ASSERT_EQ(mattivo::parse_box("0,0,1,1px", &b), "");
  EXPECT_TRUE(b.pixels);
  // The suffix may follow every value, as people write pixel sizes.
  ASSERT_EQ(mattivo::parse_box("372px,176px,42px,82px", &b), "");
  EXPECT_TRUE(b.pixels);
  EXPECT_DOUBLE_EQ(b.x, 372);
  EXPECT_DOUBLE_EQ(b.h, 82);
  mattivo::Dab d;
  ASSERT_EQ(mattivo::parse_dab("1px,1px", &d), "");
  EXPECT_TRUE(d.pixels);
  EXPECT_NE(mattivo::parse_box("px,1,1,1", &b), "");
}

TEST(PullOptions, HelpNeedsNothingElse) {
  for (const char* flag : {"--help", "-h"}) {
    std::vector<std::string> words = {"--box", "0.1,0.2,0.3,0.4", flag, "--bogus"};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    mattivo::PullOptions o;
    EXPECT_EQ(mattivo::parse_pull(static_cast<int>(argv.size()), argv.data(), &o), "") << flag;
    EXPECT_TRUE(o.help) << flag;
  }
}

TEST(PullOptions, BadBoxesAreRefusedWithAReason) {
  mattivo::Box b;
  for (const char* bad : {"", "1,2,3", "0.1,0.2,0.3,0.4,0.5", "a,b,c,d", "0.1,0.2,0,0.3", "-0.1,0.2,0.3,0.3",
                          "0.1,0.2,nan,0.3", "0.1,,0.2,0.3"}) {
    EXPECT_NE(mattivo::parse_box(bad, &b), "") << bad;
  }
}

TEST(PullOptions, DabsTakeAnOptionalSize) {
  mattivo::Dab d;
  ASSERT_EQ(mattivo::parse_dab("0.5,0.25", &d), "");
  EXPECT_DOUBLE_EQ(d.size, 0.03);
  ASSERT_EQ(mattivo::parse_dab("0.5,0.25,0.1", &d), "");
  EXPECT_DOUBLE_EQ(d.size, 0.1);
  EXPECT_NE(mattivo::parse_dab("0.5", &d), "");
  EXPECT_NE(mattivo::parse_dab("0.5,0.5,0", &d), "");
  EXPECT_NE(mattivo::parse_dab("0.5,0.5,0.9", &d), "");
}

TEST(PullOptions, AWholeCommandLine) {
  mattivo::PullOptions o;
  ASSERT_EQ(parse({"--input", "clip/%04d.png", "--box", "0.1,0.1,0.5,0.8", "--add", "0.3,0.4", "--exclude",
                   "0.9,0.9,0.05", "--hint", "dancer", "--quality", "fast", "--softness", "0.5", "--anchor",
                   "3", "--out", "o"},
                  &o),
            "");
  EXPECT_EQ(o.input, "clip/%04d.png");
  ASSERT_TRUE(o.box.has_value());
  EXPECT_EQ(o.adds.size(), 1u);
  EXPECT_EQ(o.excludes.size(), 1u);
  EXPECT_EQ(o.quality, "fast");
  EXPECT_EQ(o.anchor, 3);
}

TEST(PullOptions, MisuseIsRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* says;
  } cases[] = {
      {{"--box", "0,0,1,1"}, "--input"},
      {{"--input", "x"}, "mark the character"},
      {{"--input", "x", "--hint"}, "needs a value"},
      {{"--input", "x", "--hint", "h", "--quality", "best"}, "fine or fast"},
      {{"--input", "x", "--hint", "h", "--softness", "2"}, "0 to 1"},
      {{"--input", "x", "--hint", "h", "--backend", "ftp://x"}, "http"},
      {{"--input", "x", "--hint", "h", "--anchor", "-1"}, "--anchor"},
      {{"--input", "x", "--hint", "h", "--frobnicate"}, "unknown option"},
  };
  for (auto& c : cases) {
    mattivo::PullOptions o;
    std::string err = parse(c.args, &o);
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
  }
}

TEST(PullOptions, CorrectionsNameAFrameAndAMarkInTheUnitsOfBoxAndAdd) {
  mattivo::PullOptions o;
  ASSERT_EQ(parse({"--input", "clip/", "--box", "0.1,0.1,0.5,0.8", "--correct", "12:add=0.4,0.5", "--correct",
                   "12:exclude=300,200,0.05", "--correct", "40:box=100px,50px,320px,240px", "--correct",
                   "0:add=0.5,0.5,0.1"},
                  &o),
            "");
  ASSERT_EQ(o.corrections.size(), 4u);
  using Kind = mattivo::Correction::Kind;
  EXPECT_EQ(o.corrections[0].frame, 12);
  EXPECT_EQ(o.corrections[0].kind, Kind::Add);
  EXPECT_FALSE(o.corrections[0].dab.pixels);
  EXPECT_DOUBLE_EQ(o.corrections[0].dab.size, 0.03);
  EXPECT_EQ(o.corrections[1].kind, Kind::Exclude);
  EXPECT_TRUE(o.corrections[1].dab.pixels);
  EXPECT_DOUBLE_EQ(o.corrections[1].dab.size, 0.05);
  EXPECT_EQ(o.corrections[2].frame, 40);
  EXPECT_EQ(o.corrections[2].kind, Kind::Box);
  EXPECT_TRUE(o.corrections[2].box.pixels);
  EXPECT_DOUBLE_EQ(o.corrections[2].box.w, 320);
  EXPECT_DOUBLE_EQ(o.corrections[3].dab.size, 0.1);

  // Corrections alone mark the character well enough to pull.
  mattivo::PullOptions only;
  EXPECT_EQ(parse({"--input", "clip/", "--correct", "3:box=0.1,0.1,0.5,0.5"}, &only), "");

  for (const char* bad :
       {"12", "12:add", "x:add=0.1,0.1", "-1:add=0.1,0.1", "12:paint=0.1,0.1", "12:add=0.1",
        "12:box=0.1,0.1,0.5", "12:exclude=0.1,0.1,0.9", ":add=0.1,0.1", "12:box=0.1,0.1,0,0.5"}) {
    mattivo::Correction c;
    const std::string err = mattivo::parse_correction(bad, &c);
    EXPECT_EQ(err.rfind("--correct", 0), 0u) << bad << ": " << err;
  }
}

TEST(PullOptions, ASessionBringsItsClipAndMarks) {
  mattivo::PullOptions o;
  EXPECT_EQ(parse({"--session", "earlier", "--correct", "7:exclude=0.8,0.2"}, &o), "");
  EXPECT_EQ(o.session, "earlier");
  EXPECT_TRUE(o.input.empty());
  EXPECT_FALSE(o.anchor_given);
  EXPECT_FALSE(o.out_given);
  mattivo::PullOptions given;
  EXPECT_EQ(parse({"--session", "earlier", "--anchor", "4", "--out", "new", "--max-frames", "9"}, &given),
            "");
  EXPECT_TRUE(given.anchor_given);
  EXPECT_TRUE(given.out_given);
  EXPECT_TRUE(given.max_frames_given);
  EXPECT_NE(parse({"--session"}, &o).find("needs a value"), std::string::npos);
}

}  // namespace
