// What a run leaves in its output folder for a later `--session`: the
// plug-in's saved state (its string parameters, as a host saves them with a
// project) and the clip it was pulled from.
#pragma once

#include <map>
#include <string>

namespace mattivo {

constexpr const char* kSessionFile = "mattivo-session.json";

struct SavedSession {
  std::string input;  // the clip, as given on that run's command line
  int anchor = 0;
  double first_frame = 0;
  double fps = 25;
  int max_frames = 0;
  std::map<std::string, std::string> strings;  // the instance's string parameters
};

// An error text, empty on success.
std::string read_session(const std::string& dir, SavedSession* out);
// Written whole or not at all.
std::string write_session(const std::string& path, const SavedSession& session);

}  // namespace mattivo
