// POSIX side of the matte store: $TMPDIR, mkdir with mode 0700, lstat checks.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "plugin/platform.h"

namespace platform {

std::string temp_folder() {
  const char* env = std::getenv("TMPDIR");
  std::string folder = (env && *env) ? env : "/tmp";
  while (folder.size() > 1 && folder.back() == kSeparator) {
    folder.pop_back();
  }
  if (folder == "/") {
    folder.clear();  // the root folder: "" + "/corvane/" avoids a double slash
  }
  return folder;
}

bool make_private_folder(const std::string& path) {
  return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool private_folder_ok(const std::string& path, bool repair, std::string* reason) {
  auto fail = [&](const char* why) {
    if (reason) {
      *reason = "working folder " + path + " " + why;
    }
    return false;
  };
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    return fail("is missing");
  }
  if (S_ISLNK(st.st_mode)) {
    return fail("is a symbolic link; refusing to use it");
  }
  if (!S_ISDIR(st.st_mode)) {
    return fail("is not a folder");
  }
  if (st.st_uid != ::geteuid()) {
    return fail("belongs to another user; refusing to use it");
  }
  if ((st.st_mode & 077) != 0) {
    // Ours, but left open by an earlier umask: close it before trusting it.
    if (!repair || ::chmod(path.c_str(), 0700) != 0) {
      if ((st.st_mode & 022) != 0) {
        return fail("can be written by other users; refusing to use it");
      }
    }
  }
  return true;
}

bool remove_file(const std::string& path) { return std::remove(path.c_str()) == 0 || errno == ENOENT; }

}  // namespace platform
