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

}  // namespace
