#include "protocol/api.h"
#include "protocol/json_text.h"

#include <gtest/gtest.h>

namespace {

TEST(BackendProtocol, BodiesAreCompactWithKeysAscending) {
  EXPECT_EQ(protocol::create_body(25.0), R"({"fps":25.0,"source":"plugin"})");
  EXPECT_EQ(protocol::create_body(23.976), R"({"fps":23.976,"source":"plugin"})");
#if defined(__linux__) && defined(__x86_64__)
  EXPECT_EQ(protocol::beacon_body(),
            R"({"arch":"x86_64","host":"resolve","os":"linux","plugin_version":"1.1.0"})");
#endif
}

TEST(BackendProtocol, OnlyJsonObjectsCountAsAnswers) {
  for (const char* body : {"", "<html><body>Bad gateway</body></html>", "[1,2]", "\"COMPLETED\"", "42",
                           "{\"status\":\"RUNNING\"", "{/* c */\"status\":\"RUNNING\"}"}) {
    EXPECT_FALSE(protocol::parse_answer(body).is_object()) << body;
  }
  nlohmann::json answer =
      protocol::parse_answer(R"({"status":"RUNNING","progress":{"stage":"tracking 3/9"}})");
  ASSERT_TRUE(answer.is_object());
  EXPECT_EQ(protocol::text_member(answer, "status", ""), "RUNNING");
  EXPECT_EQ(protocol::text_member(answer["progress"], "stage", "..."), "tracking 3/9");
  // Members present with another kind of value count as absent.
  answer = protocol::parse_answer(R"({"session_id":42,"status":null,"error":["x"]})");
  EXPECT_EQ(protocol::text_member(answer, "session_id", ""), "");
  EXPECT_EQ(protocol::text_member(answer, "error", "matting failed"), "matting failed");
}

TEST(BackendProtocol, UrlsAppendThePathAsIsWithPlainDecimalIndexes) {
  const std::string base = "http://127.0.0.1:8750/k/abc";
  EXPECT_EQ(protocol::sessions_url(base), base + "/api/matte/sessions");
  const std::string session = protocol::session_url(base, "s-1");
  EXPECT_EQ(session, base + "/api/matte/sessions/s-1");
  EXPECT_EQ(protocol::frame_url(session, 0), session + "/frames/0");
  EXPECT_EQ(protocol::frame_url(session, 1234567), session + "/frames/1234567");
  EXPECT_EQ(protocol::start_url(session), session + "/start");
  EXPECT_EQ(protocol::alpha_url(session, 42), session + "/alpha/42.png");
  // A trailing slash on the backend URL is the user's, kept as typed.
  EXPECT_EQ(protocol::beacon_url("http://h/"), "http://h//api/beacon");
}

}  // namespace
