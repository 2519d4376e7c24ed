#include "backend_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

extern char** environ;

namespace mattivo_test {

std::string backend_executable() { return std::string(MATTIVO_BINARY_DIR) + "/backend/mattivo-backend"; }

std::string make_temp_dir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mattivo-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void remove_tree(const std::string& dir) {
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

BackendProcess::~BackendProcess() {
  if (pid_ > 0) stop(true);
}

bool BackendProcess::start(const std::vector<std::string>& args, const std::string& log_path, std::string* error) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<std::string> all{backend_executable()};
  bool has_port = false;
  for (const std::string& a : args) has_port = has_port || a == "--port";
  if (!has_port) all.insert(all.end(), {"--port", "0"});
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    pid_ = -1;
    *error = "cannot start " + all[0];
    return false;
  }
  // The first line names the base URL; give a slow (sanitised) start 60 s.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    char buf[256];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  ::close(out[0]);
  const std::string lead = "listening on ";
  if (line.rfind(lead, 0) != 0 || line.find('\n') == std::string::npos) {
    *error = "backend did not start: \"" + line + "\" (see " + log_path + ")";
    stop(true);
    return false;
  }
  base_url_ = line.substr(lead.size(), line.find('\n') - lead.size());
  return true;
}

int BackendProcess::stop(bool hard) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, hard ? SIGKILL : SIGTERM);
  int status = 0;
  rusage usage{};
  ::wait4(pid_, &status, 0, &usage);
  peak_rss_kb_ = usage.ru_maxrss;
  pid_ = -1;
  return status;
}

}  // namespace mattivo_test
