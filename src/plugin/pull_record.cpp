#include "plugin/pull_record.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "plugin/frame_digest.h"
#include "plugin/matte_store.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"

namespace {

using json = nlohmann::json;

constexpr const char* kRecordFolder = "~pulls/";
// A record is read before every pull: one far bigger than any clip's is refused unread.
constexpr std::streamoff kMaxRecordBytes = 64LL << 20;

std::string record_path(const std::string& matte_folder) {
  return temp_root() + kRecordFolder + matte_folder + ".json";
}

bool is_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
}

}  // namespace

bool read_pull_record(const std::string& matte_folder, PullRecord* record) {
  if (!is_valid_session_id(matte_folder) || !working_root_usable()) return false;
  std::ifstream in(record_path(matte_folder), std::ios::binary | std::ios::ate);
  if (!in || in.tellg() > kMaxRecordBytes) return false;
  in.seekg(0);
  std::stringstream text;
  text << in.rdbuf();
  const json doc = protocol::parse_bounded(text.str());
  if (!doc.is_object()) return false;
  PullRecord r;
  r.backend_url = protocol::text_member(doc, "backend_url", "");
  r.session_id = protocol::text_member(doc, "session_id", "");
  r.frames_dir = protocol::text_member(doc, "frames_dir", "");
  const auto number = [&doc](const char* key, double* out) {
    const auto it = doc.find(key);
    if (it == doc.end() || !it->is_number()) return false;
    *out = it->get<double>();
    return true;
  };
  const auto digests = doc.find("digests");
  if (!number("first_frame", &r.first_frame) || !number("fps", &r.fps) || digests == doc.end() ||
      !digests->is_array() || digests->empty()) {
    return false;
  }
  for (const json& d : *digests) {
    uint64_t value = 0;
    if (!d.is_string() || !parse_digest(d.get<std::string>(), &value)) return false;
    r.digests.push_back(value);
  }
  // The kept frames must lie in the working root like everything else of ours.
  const std::string root = temp_root();
  if (r.backend_url.empty() || !is_valid_session_id(r.session_id) || r.frames_dir.size() <= root.size() ||
      r.frames_dir.compare(0, root.size(), root) != 0 || r.frames_dir.find("..") != std::string::npos ||
      r.frames_dir.back() != '/') {
    return false;
  }
  *record = std::move(r);
  return true;
}

bool write_pull_record(const std::string& matte_folder, const PullRecord& record) {
  if (!is_valid_session_id(matte_folder) || !make_folder(temp_root() + kRecordFolder)) return false;
  json doc = json::object();
  doc["backend_url"] = record.backend_url;
  doc["session_id"] = record.session_id;
  doc["frames_dir"] = record.frames_dir;
  doc["first_frame"] = record.first_frame;
  doc["fps"] = record.fps;
  json digests = json::array();
  for (uint64_t d : record.digests) digests.push_back(digest_text(d));
  doc["digests"] = std::move(digests);
  const std::string text = protocol::dump_compact(doc);
  return write_file(record_path(matte_folder), std::vector<unsigned char>(text.begin(), text.end()));
}

bool kept_frames_present(const PullRecord& record) {
  for (size_t i = 0; i < record.digests.size(); ++i) {
    if (!is_file(record.frames_dir +
                 protocol::indexed_file_name(static_cast<int>(i), protocol::kFrameExtension))) {
      return false;
    }
  }
  return true;
}

void remove_kept_frames(const std::string& frames_dir, int count) {
  for (int i = 0; i < count; ++i) {
    remove_file(frames_dir + protocol::indexed_file_name(i, protocol::kFrameExtension));
  }
  remove_file(frames_dir);  // the folder itself, once empty
}
