#include "backend_process.h"

#include "locate.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace mattivo {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::string start_backend(const std::string& binary, int wait_s, BackendProcess* out) {
  if (binary.empty() || !is_executable_file(binary))
    return "mattivo-backend not found (build it, put it on PATH, or give --backend URL)";
  char tmpl[] = "/tmp/mattivo-backend-XXXXXX";
  if (!mkdtemp(tmpl)) return "cannot make a data folder for the local backend";
  out->data_dir = tmpl;

  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return "cannot start mattivo-backend: pipe failed";
  Fd read_end{pipefd[0]};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], STDOUT_FILENO);
  std::vector<std::string> args = {binary, "--host", "127.0.0.1", "--port", "0", "--data-dir",
                                   out->data_dir};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  if (rc != 0) return "cannot start " + binary + ": " + std::strerror(rc);
  out->pid = pid;

  // The backend's first line names its address; everything after it is its own business.
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(wait_s);
  while (line.find('\n') == std::string::npos) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return "mattivo-backend did not start within " + std::to_string(wait_s) + " s";
    pollfd p{read_end.fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[256];
    ssize_t n = read(read_end.fd, buf, sizeof buf);
    if (n <= 0) return "mattivo-backend exited before it was ready";
    line.append(buf, static_cast<size_t>(n));
  }
  line.resize(line.find('\n'));
  const std::string marker = "listening on ";
  size_t at = line.find(marker);
  if (at == std::string::npos) return "mattivo-backend said something unexpected: " + line;
  out->url = line.substr(at + marker.size());
  while (!out->url.empty() && (out->url.back() == '\r' || out->url.back() == ' ')) out->url.pop_back();
  // Keep draining its output so a chatty backend never blocks on a full pipe.
  int keep = dup(read_end.fd);
  if (keep >= 0) {
    std::thread([keep] {
      char buf[4096];
      while (read(keep, buf, sizeof buf) > 0) {
      }
      close(keep);
    }).detach();
  }
  return "";
}

BackendProcess::~BackendProcess() {
  if (pid > 0) {
    kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        break;
      }
      usleep(100 * 1000);
    }
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  if (!data_dir.empty()) {
    std::error_code ec;
    fs::remove_all(data_dir, ec);
  }
}

}  // namespace mattivo
