#include "backend_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

extern char** environ;

namespace tessel {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

// Spawn's file actions and attributes, destroyed on every path.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnActions() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnActions() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
};

// Keeps reading what the backend prints, so a chatty one never blocks on a full pipe.
void drain_in_background(int fd) {
  const int keep = dup(fd);
  if (keep < 0) return;
  std::thread([keep] {
    char buf[4096];
    while (read(keep, buf, sizeof buf) > 0) {
    }
    close(keep);
  }).detach();
}

bool reap(BackendProcess* p, int options, int* status) {
  rusage usage{};
  if (wait4(p->pid, status, options, &usage) != p->pid) return false;
  p->peak_rss_kb = usage.ru_maxrss;
  p->pid = -1;
  return true;
}

}  // namespace

std::string start_backend(const BackendLaunch& launch, BackendProcess* out) {
  int pipefd[2];
  if (pipe2(pipefd, O_CLOEXEC) != 0) return "cannot start mattivo-backend: pipe failed";
  Fd read_end{pipefd[0]};
  Fd write_end{pipefd[1]};
  SpawnActions spawn;
  posix_spawn_file_actions_adddup2(&spawn.actions, write_end.fd, STDOUT_FILENO);
  if (!launch.log_path.empty())
    posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, launch.log_path.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
  std::vector<std::string> args{launch.binary};
  args.insert(args.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (launch.own_process_group) {
    posix_spawnattr_setpgroup(&spawn.attributes, 0);
    posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETPGROUP);
  }
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, launch.binary.c_str(), &spawn.actions, &spawn.attributes, argv.data(), environ);
  close(write_end.fd);
  write_end.fd = -1;
  if (rc != 0) return "cannot start " + launch.binary + ": " + std::strerror(rc);
  out->pid = pid;

  // The backend's first line names its address; everything after it is its own business.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(launch.wait_seconds);
  while (line.find('\n') == std::string::npos) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count());
    if (left <= 0)
      return "mattivo-backend did not start within " + std::to_string(launch.wait_seconds) + " s";
    pollfd p{read_end.fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    char buf[256];
    const ssize_t n = read(read_end.fd, buf, sizeof buf);
    if (n <= 0) return "mattivo-backend exited before it was ready";
    line.append(buf, static_cast<size_t>(n));
  }
  line.resize(line.find('\n'));
  const std::string marker = "listening on ";
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "mattivo-backend said something unexpected: " + line;
  out->url = line.substr(at + marker.size());
  while (!out->url.empty() && (out->url.back() == '\r' || out->url.back() == ' ')) out->url.pop_back();
  drain_in_background(read_end.fd);
  return "";
}

int stop_backend(BackendProcess* p, bool hard, int grace_seconds) {
  int status = -1;
  if (p->pid > 0) {
    kill(p->pid, hard ? SIGKILL : SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(hard ? 0 : grace_seconds);
    while (!hard && std::chrono::steady_clock::now() < deadline && !reap(p, WNOHANG, &status)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (p->pid > 0) {
      kill(p->pid, SIGKILL);
      reap(p, 0, &status);
    }
  }
  if (!p->data_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(p->data_dir, ec);
    p->data_dir.clear();
  }
  return status;
}

BackendProcess::~BackendProcess() { stop_backend(this, false); }

}  // namespace tessel
