#include "progress.h"

#include <unistd.h>

#include <cstdio>
#include <regex>

namespace mattivo {

Progress::Progress(bool on) : enabled(on), tty(isatty(STDERR_FILENO) != 0) {}

void Progress::show(const std::string& status) {
  if (!enabled || status == last) return;
  last = status;
  if (!tty) {
    // Logs and pipes get one line per change, never carriage returns.
    std::fprintf(stderr, "%s\n", status.c_str());
    return;
  }
  std::string bar;
  static const std::regex fraction("([0-9]+)/([0-9]+)");
  std::smatch m;
  if (std::regex_search(status, m, fraction)) {
    const double a = std::stod(m[1]), b = std::stod(m[2]);
    const int width = 30, filled = b > 0 ? static_cast<int>(width * std::min(1.0, a / b)) : 0;
    bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] ";
  }
  std::fprintf(stderr, "\r\033[K%s%s", bar.c_str(), status.c_str());
  std::fflush(stderr);
  open_line = true;
}

void Progress::done() {
  if (open_line) std::fprintf(stderr, "\n");
  open_line = false;
  last.clear();
}

}  // namespace mattivo
