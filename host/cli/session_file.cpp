#include "session_file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace mattivo {

using nlohmann::json;

std::string read_session(const std::string& dir, SavedSession* out) {
  const std::string path = (std::filesystem::path(dir) / kSessionFile).string();
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "--session: " + dir + " holds no " + kSessionFile + " (give the output folder of an earlier run)";
  std::stringstream text;
  text << in.rdbuf();
  const json doc = json::parse(text.str(), nullptr, false);
  if (!doc.is_object() || !doc.value("input", json()).is_string() ||
      !doc.value("strings", json()).is_object())
    return "--session: " + path + " is not a mattivo session";
  SavedSession s;
  s.input = doc["input"].get<std::string>();
  const json anchor = doc.value("anchor", json());
  const json first = doc.value("first_frame", json());
  const json fps = doc.value("fps", json());
  if (!anchor.is_number_integer() || anchor.get<long long>() < 0 || !first.is_number() || !fps.is_number() ||
      !(fps.get<double>() > 0))
    return "--session: " + path + " is not a mattivo session";
  s.anchor = static_cast<int>(std::min<long long>(anchor.get<long long>(), 1000000000));
  s.first_frame = first.get<double>();
  s.fps = fps.get<double>();
  const json max_frames = doc.value("max_frames", json(0));
  if (max_frames.is_number_integer() && max_frames.get<long long>() > 0 &&
      max_frames.get<long long>() < 1000000000)
    s.max_frames = static_cast<int>(max_frames.get<long long>());
  for (auto it = doc["strings"].begin(); it != doc["strings"].end(); ++it) {
    if (it->is_string()) s.strings[it.key()] = it->get<std::string>();
  }
  *out = std::move(s);
  return "";
}

std::string write_session(const std::string& path, const SavedSession& session) {
  json doc = json::object();
  doc["input"] = session.input;
  doc["anchor"] = session.anchor;
  doc["first_frame"] = session.first_frame;
  doc["fps"] = session.fps;
  doc["max_frames"] = session.max_frames;
  doc["strings"] = session.strings;
  const std::string temp = path + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << doc.dump(2, ' ', false, json::error_handler_t::replace) << "\n";
    if (!out.flush()) {
      std::remove(temp.c_str());
      return "cannot write " + path;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    std::remove(temp.c_str());
    return "cannot write " + path + ": " + ec.message();
  }
  return "";
}

}  // namespace mattivo
