// Runs a shell command the way a user would and keeps what it printed.
#pragma once

#include <stdio.h>
#include <sys/wait.h>

#include <string>

namespace cli_test {

struct Outcome {
  int code = -1;
  std::string output;  // stdout and stderr together
};

inline Outcome run(const std::string& command) {
  Outcome r;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.output.append(buf, n);
  const int status = pclose(p);
  r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace cli_test
