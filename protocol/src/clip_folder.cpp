#include "protocol/clip_folder.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "protocol/api.h"
#include "protocol/json_text.h"

namespace protocol {

std::string index_name(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "%06d", index);
  return name;
}

std::string indexed_file_name(int index, const char* extension) { return index_name(index) + extension; }

nlohmann::json clip_request(const nlohmann::json& clip_document, const std::string& quality,
                            const std::string& selection, double softness, const std::string& hint) {
  nlohmann::json doc{{key::kAnchorFrame, clip_document.value(key::kAnchorFrame, 0)},
                     {key::kEdgeSoftness, softness},
                     {key::kQuality, quality},
                     {key::kStrokes, nlohmann::json::array()},
                     {key::kTextPrompt, ""}};
  if (selection == "box" || selection == "both")
    doc[key::kBbox] = clip_document.value(key::kBbox, nlohmann::json());
  if (selection == "dabs" || selection == "both")
    doc[key::kStrokes] = clip_document.value(key::kStrokes, nlohmann::json::array());
  if (selection == "hint") doc[key::kTextPrompt] = hint;
  return doc;
}

nlohmann::json read_clip_document(const std::string& clip_dir) {
  std::ifstream in(clip_dir + "/" + kClipDocument);
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json doc = nlohmann::json::parse(text.str(), nullptr, false);
  if (!doc.is_object()) return nlohmann::json(nlohmann::json::value_t::discarded);
  return doc;
}

bool write_clip_document(const std::string& clip_dir, const nlohmann::json& document) {
  std::ofstream out(clip_dir + "/" + kClipDocument);
  out << dump_compact(document) << "\n";
  return static_cast<bool>(out);
}

}  // namespace protocol
