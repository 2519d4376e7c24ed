// The property suite's contract, and the image layout helpers.
#include <cstring>

#include "probe.h"

namespace {

using ofxhost::PropertySet;

const OfxPropertySuiteV1* props() { return probe::suite<OfxPropertySuiteV1>(kOfxPropertySuite); }

TEST(PropertySuite, MissingPropertiesAnswerUnknownAndLeaveOutputsAlone) {
  PropertySet set;
  OfxPropertySetHandle h = ofxhost::handle_of(set);
  int i = 7;
  double d = 7.5;
  char* s = const_cast<char*>("keep");
  void* p = &i;
  EXPECT_EQ(props()->propGetInt(h, "Nope", 0, &i), kOfxStatErrUnknown);
  EXPECT_EQ(props()->propGetDouble(h, "Nope", 0, &d), kOfxStatErrUnknown);
  EXPECT_EQ(props()->propGetString(h, "Nope", 0, &s), kOfxStatErrUnknown);
  EXPECT_EQ(props()->propGetPointer(h, "Nope", 0, &p), kOfxStatErrUnknown);
  int n = 5;
  EXPECT_EQ(props()->propGetDimension(h, "Nope", &n), kOfxStatErrUnknown);
  EXPECT_EQ(props()->propReset(h, "Nope"), kOfxStatErrUnknown);
  EXPECT_EQ(i, 7);
  EXPECT_EQ(d, 7.5);
  EXPECT_STREQ(s, "keep");
  EXPECT_EQ(p, &i);
  EXPECT_EQ(n, 5);
  EXPECT_EQ(props()->propGetInt(nullptr, "Nope", 0, &i), kOfxStatErrBadHandle);
}

TEST(PropertySuite, WritesGrowAndIndexesAreChecked) {
  PropertySet set;
  OfxPropertySetHandle h = ofxhost::handle_of(set);
  EXPECT_EQ(props()->propSetDouble(h, "D", 2, 3.5), kOfxStatOK);
  int n = 0;
  EXPECT_EQ(props()->propGetDimension(h, "D", &n), kOfxStatOK);
  EXPECT_EQ(n, 3);
  double all[3] = {-1, -1, -1};
  EXPECT_EQ(props()->propGetDoubleN(h, "D", 3, all), kOfxStatOK);
  EXPECT_EQ(all[0], 0.0);
  EXPECT_EQ(all[2], 3.5);
  double d = -1;
  EXPECT_EQ(props()->propGetDouble(h, "D", 3, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(props()->propGetDouble(h, "D", -1, &d), kOfxStatErrBadIndex);
  EXPECT_EQ(props()->propGetDoubleN(h, "D", 4, all), kOfxStatErrBadIndex);
  EXPECT_EQ(props()->propSetDouble(h, "D", -1, 1.0), kOfxStatErrBadIndex);
  EXPECT_EQ(d, -1);

  const int ints[] = {1, 2, 3, 4};
  EXPECT_EQ(props()->propSetIntN(h, "I", 4, ints), kOfxStatOK);
  // Setting fewer values keeps the rest.
  EXPECT_EQ(props()->propSetIntN(h, "I", 2, ints + 2), kOfxStatOK);
  int back[4] = {};
  EXPECT_EQ(props()->propGetIntN(h, "I", 4, back), kOfxStatOK);
  EXPECT_EQ(back[0], 3);
  EXPECT_EQ(back[1], 4);
  EXPECT_EQ(back[3], 4);

  void* ptrs[] = {&n, nullptr};
  EXPECT_EQ(props()->propSetPointerN(h, "P", 2, ptrs), kOfxStatOK);
  void* got[2] = {nullptr, &d};
  EXPECT_EQ(props()->propGetPointerN(h, "P", 2, got), kOfxStatOK);
  EXPECT_EQ(got[0], &n);
  EXPECT_EQ(got[1], nullptr);

  EXPECT_EQ(props()->propReset(h, "I"), kOfxStatOK);
  EXPECT_EQ(set.integer("I", 3, -1), 0);
  EXPECT_EQ(set.dimension("I"), 4);
}

TEST(PropertySuite, TypesAreStrict) {
  PropertySet set;
  OfxPropertySetHandle h = ofxhost::handle_of(set);
  set.set_dbl("Time", {12.0});
  int i = 9;
  EXPECT_EQ(props()->propGetInt(h, "Time", 0, &i), kOfxStatErrValue);
  EXPECT_EQ(i, 9);
  EXPECT_EQ(props()->propSetString(h, "Time", 0, "x"), kOfxStatErrValue);
  EXPECT_EQ(set.dbl("Time"), 12.0);
}

TEST(PropertySuite, StringsLiveInTheSet) {
  PropertySet set;
  OfxPropertySetHandle h = ofxhost::handle_of(set);
  std::string source = "first";
  EXPECT_EQ(props()->propSetString(h, "S", 0, source.c_str()), kOfxStatOK);
  source = "changed";  // the set keeps its own copy
  const char* many[] = {"a", "b", "c"};
  EXPECT_EQ(props()->propSetStringN(h, "L", 3, many), kOfxStatOK);
  EXPECT_EQ(props()->propSetString(h, "N", 0, nullptr), kOfxStatOK);
  char* s = nullptr;
  EXPECT_EQ(props()->propGetString(h, "S", 0, &s), kOfxStatOK);
  EXPECT_STREQ(s, "first");
  char* l[3] = {};
  EXPECT_EQ(props()->propGetStringN(h, "L", 3, l), kOfxStatOK);
  EXPECT_STREQ(l[2], "c");
  EXPECT_EQ(props()->propGetString(h, "N", 0, &s), kOfxStatOK);
  EXPECT_STREQ(s, "");

  PropertySet copy = set;
  copy.set_str("S", {"copy"});
  EXPECT_EQ(set.str("S"), "first");
  EXPECT_EQ(set.str("S", 1, "fallback"), "fallback");
}

TEST(ImageLayout, BottomUpTopDownPaddedAndNull) {
  const OfxRectI b{-3, 5, 4, 9};  // 7 x 4
  ofxhost::Image up = ofxhost::make_image(b, kOfxBitDepthByte);
  EXPECT_EQ(up.row_bytes, 28);
  EXPECT_EQ(up.storage.size(), 112u);
  EXPECT_EQ(up.data(), up.storage.data());
  EXPECT_EQ(up.pixel8(-3, 8), up.storage.data() + 3 * 28);

  ofxhost::Image down = ofxhost::make_image(b, kOfxBitDepthFloat, true, 8);
  EXPECT_EQ(down.bytes_per_pixel(), 16);
  EXPECT_EQ(down.row_bytes, -(7 * 16 + 8));
  // Row y1 is stored last; the top row first.
  EXPECT_EQ(down.data(), down.storage.data() + 3 * (7 * 16 + 8));
  EXPECT_EQ(down.pixel8(-3, 8), down.storage.data());
  EXPECT_EQ(reinterpret_cast<unsigned char*>(down.pixelf(3, 5)), down.storage.data() + 3 * 120 + 6 * 16);

  // Padding that would misalign float rows is rounded up to a whole channel.
  EXPECT_EQ(ofxhost::make_image(b, kOfxBitDepthFloat, false, 2).row_bytes, 7 * 16 + 4);
  EXPECT_EQ(ofxhost::make_image(b, kOfxBitDepthByte, false, 2).row_bytes, 7 * 4 + 2);

  down.null_data = true;
  EXPECT_EQ(down.data(), nullptr);
}

}  // namespace
