// A one-line progress bar fed by the plug-in's status text.
#pragma once

#include <string>

namespace mattivo {

struct Progress {
  explicit Progress(bool enabled);
  // Shows a status text; texts with "a/b" in them draw a bar.
  void show(const std::string& status);
  // Ends the current line.
  void done();

  bool enabled;
  bool tty;
  bool open_line = false;
  std::string last;
};

}  // namespace mattivo
