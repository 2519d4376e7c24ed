// mattivo-backend as a child process: started, waited for until it names its
// address, and stopped again. The command line runs a private one for the
// length of a pull; tests and benchmarks run them the way users do.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tessel {

struct BackendLaunch {
  std::string binary;
  std::vector<std::string> args;  // after the binary's own path
  std::string log_path;           // its standard error; empty: shared with ours
  int wait_seconds = 30;          // for its "listening on" line
  // In a process group of its own, so that a Ctrl-C at the terminal reaches
  // only its parent, which then stops it in order.
  bool own_process_group = false;
};

struct BackendProcess {
  pid_t pid = -1;
  std::string url;       // e.g. http://127.0.0.1:41234, prefix included
  std::string data_dir;  // when set, removed once the process is stopped
  long peak_rss_kb = 0;  // its peak memory, known once it has been stopped

  BackendProcess() = default;
  BackendProcess(const BackendProcess&) = delete;
  BackendProcess& operator=(const BackendProcess&) = delete;
  ~BackendProcess();  // an orderly stop (see stop_backend)
};

// Starts the backend and waits for the first line it prints, which names its
// address. Returns an error text, empty on success.
std::string start_backend(const BackendLaunch& launch, BackendProcess* out);

// SIGKILL when `hard` (a crash), else SIGTERM and up to `grace_seconds` for
// an orderly exit before SIGKILL. Returns the wait status, -1 when nothing ran.
int stop_backend(BackendProcess* process, bool hard, int grace_seconds = 5);

}  // namespace tessel
