// The store's disk side: session ids, the state document, taking sessions
// back after a restart, and removing them when their time is up.
#include "matte_request.h"
#include "session_record.h"

#include "engine/frame_files.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"

#include <nlohmann/json.hpp>

#include <sys/random.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tessel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

bool status_from_name(const std::string& name, SessionStatus* out) {
  for (SessionStatus s : {SessionStatus::Uploading, SessionStatus::Queued, SessionStatus::Running,
                          SessionStatus::Completed, SessionStatus::Failed, SessionStatus::Cancelled}) {
    if (name == status_name(s)) {
      *out = s;
      return true;
    }
  }
  return false;
}

// "000012.jpg" -> 12; -1 for any other name.
long long index_from_name(const std::string& name, const std::string& ext) {
  if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0) return -1;
  std::string stem = name.substr(0, name.size() - ext.size());
  if (stem.size() < 6 || stem.size() > 9) return -1;
  if (!std::all_of(stem.begin(), stem.end(), [](unsigned char c) { return std::isdigit(c); })) return -1;
  return std::stoll(stem);
}

bool is_temporary(const std::string& name) { return name.find(".tmp") != std::string::npos; }

// Sizes of the numbered files of one kind in a folder; leftovers of writes cut
// short by a crash are removed on the way.
std::vector<long long> scan_numbered(const std::string& dir, const std::string& ext, int limit) {
  std::vector<long long> sizes;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (is_temporary(name)) {
      fs::remove(it->path(), ec);
      ec.clear();
      continue;
    }
    long long index = index_from_name(name, ext);
    if (index < 0 || index >= limit) continue;
    std::error_code size_ec;
    auto size = it->file_size(size_ec);
    if (size_ec || size == 0) continue;
    if (sizes.size() <= static_cast<size_t>(index)) sizes.resize(index + 1, 0);
    sizes[index] = static_cast<long long>(size);
  }
  return sizes;
}

}  // namespace

std::string new_session_id(const std::string& node) {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static const char* hex = "0123456789abcdef";
  std::string id = node.empty() ? "" : node + "-";
  for (unsigned char b : bytes) {
    id += hex[b >> 4];
    id += hex[b & 15];
  }
  return id;
}

bool valid_node_name(const std::string& node) {
  return !node.empty() && node.size() <= 16 && std::all_of(node.begin(), node.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
  });
}

bool valid_session_id(const std::string& id) {
  if (id.size() < 32) return false;
  const std::string random = id.substr(id.size() - 32);
  const bool hex = std::all_of(random.begin(), random.end(),
                               [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  if (!hex) return false;
  if (id.size() == 32) return true;
  // "<node>-" before the random part.
  return id[id.size() - 33] == '-' && valid_node_name(id.substr(0, id.size() - 33));
}

std::string SessionStore::state_document(const Session& s) {
  json doc;
  doc["status"] = status_name(s.status);
  doc["fps"] = s.fps;
  doc["created"] = static_cast<long long>(s.created);
  doc["started"] = static_cast<long long>(s.started);
  doc["updated"] = static_cast<long long>(s.touched);
  doc["frames"] = s.frame_count;
  doc["error"] = s.error;
  if (s.status != SessionStatus::Uploading) doc["request"] = json::parse(matte_request_json(s.request));
  return protocol::dump_compact(doc);
}

bool SessionStore::save(const Session& s) {
  std::string text = state_document(s);
  return write_file_atomic(dir_of(s.id) + "session.json", text.data(), text.size());
}

bool SessionStore::load(const std::string& id, std::vector<std::pair<std::time_t, std::string>>* requeue) {
  std::string dir = dir_of(id);
  std::ifstream in(dir + "session.json", std::ios::binary);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  json doc = json::parse(text.str(), nullptr, false);
  if (!doc.is_object() || !doc.value("status", json()).is_string()) return false;
  auto s = std::make_unique<Session>();
  s->id = id;
  if (!status_from_name(doc["status"].get<std::string>(), &s->status)) return false;
  auto number = [&doc](const char* key) {
    auto it = doc.find(key);
    return it != doc.end() && it->is_number() ? it->get<double>() : 0.0;
  };
  s->fps = number("fps");
  s->created = static_cast<std::time_t>(number("created"));
  s->started = static_cast<std::time_t>(number("started"));
  s->touched = static_cast<std::time_t>(number("updated"));
  s->frame_count = static_cast<int>(number("frames"));
  if (auto it = doc.find("error"); it != doc.end() && it->is_string()) s->error = it->get<std::string>();
  // A session cancelled while its frames came in has no request; it is only
  // taken back to be removed.
  if (s->status != SessionStatus::Uploading && s->status != SessionStatus::Cancelled) {
    std::string why;
    auto it = doc.find("request");
    if (it == doc.end() || !parse_matte_request(it->dump(), &s->request, &why)) return false;
    if (s->frame_count <= 0 || s->frame_count > limits_.max_frames) return false;
  }
  s->frame_bytes = scan_numbered(dir + protocol::kFramesDir, protocol::kFrameExtension, limits_.max_frames);
  s->matte_bytes = scan_numbered(dir + protocol::kAlphaDir, protocol::kMatteExtension, limits_.max_frames);
  if (s->status != SessionStatus::Uploading) s->matte_bytes.resize(s->frame_count, 0);

  bool all_mattes =
      std::all_of(s->matte_bytes.begin(), s->matte_bytes.end(), [](long long b) { return b > 0; });
  if (s->status == SessionStatus::Running || s->status == SessionStatus::Queued ||
      (s->status == SessionStatus::Completed && !all_mattes)) {
    s->status = SessionStatus::Queued;
    s->stage = "queued";
    requeue->emplace_back(s->started, id);
  } else if (s->status == SessionStatus::Completed) {
    s->stage = "done";
  } else if (s->status == SessionStatus::Failed) {
    s->stage = "failed";
  } else if (s->status == SessionStatus::Cancelled) {
    s->stage = "cancelled";
  } else {
    s->stage = "waiting for frames";
  }
  disk_used_ += s->bytes();
  sessions_.emplace(id, std::move(s));
  return true;
}

bool SessionStore::open(std::vector<std::string>* requeue, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  std::error_code ec;
  fs::create_directories(root_, ec);
  struct stat st;
  if (::stat(root_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "cannot use the data folder " + root_;
    return false;
  }
  ::chmod(root_.c_str(), 0700);
  std::vector<std::pair<std::time_t, std::string>> pending;
  for (fs::directory_iterator it(root_, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Half-built session folders of an interrupted create.
    if (name.rfind(".new-", 0) == 0) {
      std::error_code rm;
      fs::remove_all(it->path(), rm);
      continue;
    }
    // Only our own folders are touched; anything else in the folder is left alone.
    if (!valid_session_id(name) || !it->is_directory()) continue;
    if (!load(name, &pending))
      std::fprintf(stderr, "mattivo-backend: skipping unreadable session %s\n", name.c_str());
  }
  std::sort(pending.begin(), pending.end());
  for (auto& p : pending) requeue->push_back(p.second);
  // A proxy routes on the name in an id: sessions made under another node
  // name are sent to that node, not here.
  int foreign = 0;
  for (const auto& entry : sessions_) {
    size_t dash = entry.first.find('-');
    foreign += dash != std::string::npos && entry.first.compare(0, dash, node_) != 0;
  }
  if (foreign > 0) {
    std::fprintf(stderr,
                 "mattivo-backend: %d session(s) in %s were made under another node name; behind a proxy "
                 "their requests go to that node\n",
                 foreign, root_.c_str());
  }
  std::ifstream beacons(root_ + "beacons");
  if (!(beacons >> beacons_)) beacons_ = 0;
  return true;
}

int SessionStore::expire(std::time_t now) {
  std::vector<std::string> gone;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      Session& s = *it->second;
      bool busy = s.status == SessionStatus::Queued || s.status == SessionStatus::Running || s.job_running ||
                  s.uploads_in_flight > 0;
      // A session nobody uploads to any more holds a slot of --max-sessions:
      // it goes after the shorter time to live of uploads.
      long long ttl = s.status == SessionStatus::Uploading ? std::min(limits_.ttl_seconds, limits_.upload_ttl_seconds)
                                                           : limits_.ttl_seconds;
      bool over = s.status == SessionStatus::Cancelled || now - s.touched > ttl;
      if (!busy && over) {
        disk_used_ -= s.bytes();
        gone.push_back(it->first);
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  // Out of the map first, so no request can reach a folder being removed.
  for (const std::string& id : gone) {
    std::error_code ec;
    fs::remove_all(dir_of(id), ec);
  }
  return static_cast<int>(gone.size());
}

}  // namespace tessel
