// Ctrl-C in `mattivo pull`: the built command, pulling through the plug-in
// against a scripted backend that holds an upload until the signal is in. The
// run must cancel the pull (the backend told), exit 130 with a plain reason,
// and leave nothing in the output folder that looks like a result.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <string>
#include <vector>

#include "testing/scripted_backend.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The exit status of `pid`; -1 when it has not ended within `seconds`, and
// -100 - the signal when a signal killed it (an unhandled Ctrl-C would).
int wait_exit(pid_t pid, int seconds) {
  int status = 0;
  const bool ended = testpull::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                                          std::chrono::seconds(seconds));
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -100 - WTERMSIG(status);
}

std::string read(const fs::path& file) {
  std::ifstream in(file);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(MattivoInterrupt, CtrlCCancelsThePullAndLeavesNoOutput) {
  const fs::path root = fs::temp_directory_path() / ("mattivo-interrupt-" + std::to_string(getpid()));
  fs::create_directories(root / "frames");
  for (int i = 0; i < 3; ++i) {
    cv::Mat frame(36, 64, CV_8UC3, cv::Scalar(40 * i, 90, 160));
    ASSERT_TRUE(cv::imwrite((root / "frames" / ("f" + std::to_string(i) + ".png")).string(), frame));
  }
  // The plug-in's working folder, private to this run.
  fs::create_directories(root / "tmp");
  ::setenv("TMPDIR", (root / "tmp").c_str(), 1);

  testpull::ScriptedBackend backend;
  backend.hold("upload", true);
  const std::string binary = std::string(MATTIVO_BINARY_DIR) + "/bin/mattivo";
  const fs::path out = root / "out";
  std::vector<std::string> args = {
      binary,      "pull",        "--quiet", "--input",   (root / "frames").string(), "--hint", "anyone",
      "--backend", backend.url(), "--out",   out.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = (root / "log").string();
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  ASSERT_TRUE(testpull::eventually([&] { return backend.waiting("upload") == 1; })) << read(log);
  ::kill(pid, SIGINT);
  const int code = wait_exit(pid, 30);
  backend.release_all();

  EXPECT_EQ(code, 130) << read(log);
  EXPECT_NE(read(log).find("mattivo: interrupted: the pull was cancelled; no output was written"),
            std::string::npos)
      << read(log);
  const auto lines = backend.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "POST /api/matte/sessions/sess-1/cancel"), lines.end());
  // The output folder made for the run holds nothing: no frames, no sheet, no staging.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(out)) left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{});

  std::error_code ec;
  fs::remove_all(root, ec);
}

}  // namespace
