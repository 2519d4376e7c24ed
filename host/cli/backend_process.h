// A private mattivo-backend for the length of one run: started on a free
// loopback port with a scratch data folder, stopped and cleaned up on exit.
#pragma once

#include <string>
#include <sys/types.h>

namespace mattivo {

struct BackendProcess {
  pid_t pid = -1;
  std::string url;       // e.g. http://127.0.0.1:41234
  std::string data_dir;  // removed when the process is stopped

  BackendProcess() = default;
  BackendProcess(const BackendProcess&) = delete;
  BackendProcess& operator=(const BackendProcess&) = delete;
  ~BackendProcess();
};

// Starts `binary` and waits (at most `wait_s` seconds) for its "listening on" line.
// Returns an error text, empty on success.
std::string start_backend(const std::string& binary, int wait_s, BackendProcess* out);

}  // namespace mattivo
