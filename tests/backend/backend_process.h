// mattivo-backend as a child process, the way users and the main job run it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace mattivo_test {

class BackendProcess {
 public:
  BackendProcess() = default;
  ~BackendProcess();
  BackendProcess(const BackendProcess&) = delete;
  BackendProcess& operator=(const BackendProcess&) = delete;

  // Starts the executable with `args` (port 0 is added unless given) and waits
  // for its "listening on" line. Standard error goes to `log_path`.
  bool start(const std::vector<std::string>& args, const std::string& log_path, std::string* error);
  // SIGTERM (an orderly stop) or SIGKILL (a crash); both wait for the exit.
  int stop(bool hard = false);
  const std::string& base_url() const { return base_url_; }
  long peak_rss_kb() const { return peak_rss_kb_; }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  std::string base_url_;
  long peak_rss_kb_ = 0;
};

// The built mattivo-backend executable.
std::string backend_executable();
// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir(const std::string& tag);
void remove_tree(const std::string& dir);

}  // namespace mattivo_test
