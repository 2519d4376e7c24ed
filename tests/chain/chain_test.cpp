#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "chain/chain.h"

namespace {

using tessel::Chain;
using tessel::ChainNode;

Chain loaded(const std::string& text) {
  Chain chain;
  chain.nodes.push_back(ChainNode{"stale", "", "", "", 1, 1.0, true});  // load must replace it
  chain.load(text);
  return chain;
}

TEST(ChainDump, WritesCompactSortedDocument) {
  Chain chain;
  EXPECT_EQ(chain.dump(), "[]");
  chain.nodes.push_back(ChainNode{"t1", "t0", "p", "v", 42, 5.0, true});
  EXPECT_EQ(chain.dump(), R"([{"completed":true,"duration_sec":5.0,"parent_task_id":"t0","prompt":"p",)"
                          R"("seed":42,"task_id":"t1","video_url":"v"}])");
}

TEST(ChainDump, EscapesControlsButNotNonAscii) {
  Chain chain;
  chain.nodes.push_back(ChainNode{"a\"b\\c\n", "", "caf\xC3\xA9", "", -7, 0.1, false});
  const std::string text = chain.dump();
  EXPECT_NE(text.find(R"("task_id":"a\"b\\c\n")"), std::string::npos) << text;
  EXPECT_NE(text.find("\"prompt\":\"caf\xC3\xA9\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"seed\":-7"), std::string::npos) << text;
}

TEST(ChainDump, InvalidUtf8ThrowsAndLeavesTheChain) {
  Chain chain;
  chain.nodes.push_back(ChainNode{"\xFF", "", "", "", 0, 0.0, false});
  EXPECT_THROW(chain.dump(), nlohmann::json::exception);
  EXPECT_EQ(chain.nodes.size(), 1u);
}

TEST(ChainLoad, EmptyForms) {
  for (const char* text : {"", "null", "[]", "{}"}) {
    EXPECT_TRUE(loaded(text).nodes.empty()) << text;
  }
}

TEST(ChainLoad, MissingKeysTakeDefaults) {
  const Chain chain = loaded("[{}]");
  ASSERT_EQ(chain.nodes.size(), 1u);
  const ChainNode& n = chain.nodes[0];
  EXPECT_EQ(n.task_id, "");
  EXPECT_EQ(n.parent_task_id, "");
  EXPECT_EQ(n.prompt, "");
  EXPECT_EQ(n.video_url, "");
  EXPECT_EQ(n.seed, 0);
  EXPECT_EQ(n.duration_sec, 0.0);
  EXPECT_FALSE(n.completed);

  const Chain two = loaded(R"([{"task_id":"a","video_url":"u"},{"task_id":"b","extra":[1,2]}])");
  ASSERT_EQ(two.nodes.size(), 2u);
  EXPECT_EQ(two.nodes[0].video_url, "u");
  EXPECT_EQ(two.nodes[1].task_id, "b");
  EXPECT_EQ(two.nodes[1].video_url, "");
}

TEST(ChainLoad, AnyFaultLeavesAnEmptyChain) {
  for (const char* text : {
           R"([{"seed":"7"}])", R"([{"completed":1}])", R"([{"duration_sec":true}])", R"([{"task_id":5}])",
           R"([{"prompt":null}])", "[3]", "42", "\"text\"", "true",
           R"([{"task_id":"a"},{"task_id":"b"})",  // truncated after complete elements
           R"([{"task_id":"a"},7])",               // second element not an object
           R"([{"task_id":"a"},])",                // trailing comma
           R"([{"task_id":"a"}] // note)",         // comment
           R"([{"task_id":"a"}] [])",              // two documents
       }) {
    EXPECT_TRUE(loaded(text).nodes.empty()) << text;
  }
}

TEST(ChainLoad, ObjectYieldsItsValuesInKeyOrder) {
  const Chain chain = loaded(R"({"b":{"task_id":"x"},"a":{"task_id":"y"}})");
  ASSERT_EQ(chain.nodes.size(), 2u);
  EXPECT_EQ(chain.nodes[0].task_id, "y");
  EXPECT_EQ(chain.nodes[1].task_id, "x");
  // A lone object that is not keyed nodes is read as one node's fields, whose
  // values are then not objects.
  EXPECT_TRUE(loaded(R"({"task_id":"z"})").nodes.empty());
}

TEST(ChainLoad, SeedAndDurationConversions) {
  struct Case {
    const char* seed;
    int expected;
  } seeds[] = {{"2.9", 2},
               {"-2.9", -2},
               {"true", 1},
               {"false", 0},
               {"7", 7},
               {"4294967297", 1},
               {"-4294967295", 1},
               {"2147483648", -2147483648},
               {"18446744073709551615", -1},
               {"1e20", 2147483647},
               {"-1e20", -2147483647 - 1}};
  for (const Case& c : seeds) {
    const Chain chain = loaded(std::string(R"([{"seed":)") + c.seed + "}]");
    ASSERT_EQ(chain.nodes.size(), 1u) << c.seed;
    EXPECT_EQ(chain.nodes[0].seed, c.expected) << c.seed;
  }
  EXPECT_EQ(loaded(R"([{"duration_sec":3}])").nodes.at(0).duration_sec, 3.0);
  EXPECT_EQ(loaded(R"([{"duration_sec":18446744073709551615}])").nodes.at(0).duration_sec,
            18446744073709551615.0);
  EXPECT_EQ(loaded(R"([{"duration_sec":-2.25}])").nodes.at(0).duration_sec, -2.25);
}

TEST(ChainRoundTrip, LoadOfDumpReproducesTheChain) {
  Chain chain;
  chain.nodes.push_back(
      ChainNode{"t1", "", "a cat, \"running\"\t\\", "https://v/1.mp4", -2147483647 - 1, 0.1, false});
  chain.nodes.push_back(ChainNode{"t2", "t1", "\xE6\x97\xA5\xE6\x9C\xAC", "", 2147483647, 1e-300, true});
  chain.nodes.push_back(ChainNode{"t3", "t2", std::string("nul\0inside", 10), "", 0, 12345.678, true});
  Chain copy;
  copy.load(chain.dump());
  ASSERT_EQ(copy.nodes.size(), chain.nodes.size());
  for (size_t i = 0; i < chain.nodes.size(); ++i) {
    const ChainNode& a = chain.nodes[i];
    const ChainNode& b = copy.nodes[i];
    EXPECT_EQ(a.task_id, b.task_id);
    EXPECT_EQ(a.parent_task_id, b.parent_task_id);
    EXPECT_EQ(a.prompt, b.prompt);
    EXPECT_EQ(a.video_url, b.video_url);
    EXPECT_EQ(a.seed, b.seed);
    EXPECT_EQ(a.duration_sec, b.duration_sec);
    EXPECT_EQ(a.completed, b.completed);
  }
  EXPECT_EQ(copy.dump(), chain.dump());
}

}  // namespace
