#include "locate.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace mattivo {
namespace {

std::vector<fs::path> path_list(const char* var) {
  std::vector<fs::path> out;
  const char* value = std::getenv(var);
  if (!value) return out;
  std::string all = value;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find(':', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) out.emplace_back(all.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::string self_dir() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
}

}  // namespace

bool is_executable_file(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && access(path.c_str(), X_OK) == 0;
}

std::string find_backend_binary(const std::string& explicit_path) {
  if (!explicit_path.empty()) return explicit_path;
  fs::path here = self_dir();
  for (const fs::path& p : {here / "mattivo-backend", here / ".." / "backend" / "mattivo-backend",
                            here / ".." / ".." / "backend" / "mattivo-backend"}) {
    if (is_executable_file(p.string())) return fs::weakly_canonical(p).string();
  }
  for (const fs::path& dir : path_list("PATH")) {
    fs::path p = dir / "mattivo-backend";
    if (is_executable_file(p.string())) return p.string();
  }
  return "";
}

std::string find_plugin(const std::string& explicit_path) {
  if (!explicit_path.empty()) return explicit_path;
  const char* bundle = "CorvaneMattivo.ofx.bundle";
  fs::path here = self_dir();
  std::vector<fs::path> candidates = {here / ".." / bundle, here / ".." / ".." / bundle};
  for (const fs::path& dir : path_list("OFX_PLUGIN_PATH")) candidates.push_back(dir / bundle);
  candidates.push_back(fs::path("/usr/OFX/Plugins") / bundle);
  std::error_code ec;
  for (const fs::path& p : candidates) {
    if (fs::is_directory(p, ec)) return fs::weakly_canonical(p).string();
  }
  return "";
}

}  // namespace mattivo
