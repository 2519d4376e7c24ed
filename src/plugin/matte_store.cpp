// Names and files of the working folder shared by the pull launcher, the
// session worker and render. Writers and readers are kept apart by write
// order, not locks: a session's mattes are only read once session_id names it.
#include "plugin/matte_store.h"

#include <cstdio>
#include <memory>

#include "plugin/platform.h"

namespace {

std::string root_folder() { return platform::temp_folder() + platform::kSeparator + "corvane"; }

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// True when `path` lies inside the working root and climbs out of no folder.
bool inside_root(const std::string& path) {
  const std::string root = temp_root();
  if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0) {
    return false;
  }
  std::size_t start = root.size();
  while (start <= path.size()) {
    std::size_t end = path.find(platform::kSeparator, start);
    if (end == std::string::npos) {
      end = path.size();
    }
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

}  // namespace

std::string temp_root() { return root_folder() + platform::kSeparator; }

bool ensure_working_root(std::string* error) {
  const std::string root = root_folder();
  if (!platform::make_private_folder(root)) {
    if (error) {
      *error = "cannot create working folder " + root;
    }
    return false;
  }
  return platform::private_folder_ok(root, true, error);
}

bool working_root_usable(std::string* error) {
  return platform::private_folder_ok(root_folder(), false, error);
}

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes) {
  if (!inside_root(path) || !working_root_usable()) {
    return false;
  }
  bool ok = false;
  {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) {
      return false;
    }
    ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    // Closing flushes the last buffer; a full disk may only show up here.
    ok = std::fclose(file.release()) == 0 && ok;
  }
  if (!ok) {
    platform::remove_file(path);  // a short file must not pass for a whole one
  }
  return ok;
}

bool make_folder(const std::string& path) {
  return inside_root(path) && working_root_usable() && platform::make_private_folder(path);
}

bool remove_file(const std::string& path) { return platform::remove_file(path); }

bool is_valid_session_id(const std::string& id) {
  if (id.empty() || id.size() > 128 || id == "." || id == "..") {
    return false;
  }
  for (char c : id) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-';
    if (!ok) {
      return false;
    }
  }
  return true;
}
