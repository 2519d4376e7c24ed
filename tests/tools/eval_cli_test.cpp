// mattivo-eval run as a user runs it: on a generated clip it scores against
// the clip's own alpha; on footage, which has none, it keeps the mattes and
// says there is nothing to score instead of failing. The mattes' folder is
// made when it is missing.
#include "backend_fixture.h"

#include "../host/cli/command_run.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace mattivo_test {
namespace {

const std::string kEval = std::string(MATTIVO_BINARY_DIR) + "/backend/mattivo-eval";

TEST(EvalTool, ScoresAClipWithTruthAndKeepsTheMattesOfOneWithout) {
  TempDir root;
  const std::string clip = root.path + "/clip";
  std::filesystem::copy(test_clip("walk", 160, 90, 4), clip, std::filesystem::copy_options::recursive);
  std::filesystem::create_directories(root.path + "/scored");
  cli_test::Outcome scored =
      cli_test::run(kEval + " --clip " + clip + " --quality fast --out " + root.path + "/scored");
  EXPECT_EQ(scored.code, 0) << scored.output;
  EXPECT_NE(scored.output.find("J 0."), std::string::npos) << scored.output;

  // A folder for the mattes that is not there yet is made; one that cannot
  // be (a file stands in its way) stops the run before matting, plainly.
  cli_test::Outcome blocked =
      cli_test::run(kEval + " --clip " + clip + " --quality fast --out " + clip + "/clip.json/mattes");
  EXPECT_EQ(blocked.code, 1) << blocked.output;
  EXPECT_NE(blocked.output.find("cannot make the folder"), std::string::npos) << blocked.output;

  std::filesystem::remove_all(clip + "/alpha");
  cli_test::Outcome kept =
      cli_test::run(kEval + " --clip " + clip + " --quality fast --out " + root.path + "/kept/new");
  EXPECT_EQ(kept.code, 0) << kept.output;
  EXPECT_NE(kept.output.find("nothing to score"), std::string::npos) << kept.output;
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(std::filesystem::exists(root.path + "/kept/new/" + six(i) + ".png")) << i;
}

}  // namespace
}  // namespace mattivo_test
