#include "eval/footage_cases.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

namespace tessel {
namespace {

using nlohmann::json;

cv::Rect2d rect_of(const json& a, size_t from) {
  return {a.at(from).get<double>(), a.at(from + 1).get<double>(), a.at(from + 2).get<double>(),
          a.at(from + 3).get<double>()};
}

BoxTrack track_of(const json& rows) {
  BoxTrack track;
  for (const json& row : rows) {
    if (!row.is_array() || row.size() != 5) throw std::runtime_error("a box is [frame, x, y, w, h]");
    KeyBox key{row.at(0).get<int>(), rect_of(row, 1)};
    if (!track.empty() && key.frame <= track.back().frame)
      throw std::runtime_error("boxes out of frame order at frame " + std::to_string(key.frame));
    track.push_back(key);
  }
  if (track.empty()) throw std::runtime_error("a track without boxes");
  return track;
}

FootageCase case_of(const json& c) {
  FootageCase out;
  out.name = c.at("name").get<std::string>();
  out.video = c.at("video").get<std::string>();
  out.about = c.value("about", "");
  out.width = c.at("width").get<int>();
  out.height = c.at("height").get<int>();
  out.first = c.at("first").get<int>();
  out.last = c.at("last").get<int>();
  out.anchor = c.at("anchor").get<int>();
  const json& box = c.at("box");
  if (!box.is_array() || box.size() != 4) throw std::runtime_error("the user's box is [x, y, w, h]");
  out.user_box = rect_of(box, 0);
  out.chosen = track_of(c.at("chosen"));
  for (const json& d : c.value("distractors", json::array())) out.distractors.push_back(track_of(d));
  return out;
}

}  // namespace

std::optional<cv::Rect2d> box_at(const BoxTrack& track, int frame) {
  if (track.empty() || frame < track.front().frame || frame > track.back().frame) return std::nullopt;
  size_t i = 0;
  while (i + 1 < track.size() && track[i + 1].frame <= frame) ++i;
  const KeyBox& a = track[i];
  if (a.frame == frame) return a.box;
  const KeyBox& b = track[i + 1];
  const double t = double(frame - a.frame) / (b.frame - a.frame);
  return cv::Rect2d(a.box.x + t * (b.box.x - a.box.x), a.box.y + t * (b.box.y - a.box.y),
                    a.box.width + t * (b.box.width - a.box.width),
                    a.box.height + t * (b.box.height - a.box.height));
}

bool parse_footage_cases(const std::string& text, std::vector<FootageCase>* cases, std::string* error) {
  json doc = json::parse(text, nullptr, false);
  if (!doc.is_object() || !doc.contains("cases") || !doc["cases"].is_array()) {
    *error = "not an annotation document (no \"cases\" list)";
    return false;
  }
  cases->clear();
  for (const json& c : doc["cases"]) {
    try {
      cases->push_back(case_of(c));
    } catch (const std::exception& e) {
      *error = "case " + std::to_string(cases->size()) + ": " + e.what();
      return false;
    }
  }
  return true;
}

bool read_footage_cases(const std::string& path, std::vector<FootageCase>* cases, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return parse_footage_cases(text.str(), cases, error);
}

}  // namespace tessel
