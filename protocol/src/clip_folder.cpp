#include "protocol/clip_folder.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "protocol/json_text.h"

namespace protocol {

std::string index_name(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "%06d", index);
  return name;
}

std::string indexed_file_name(int index, const char* extension) { return index_name(index) + extension; }

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
