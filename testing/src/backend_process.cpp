#include "testing/backend_process.h"

#include <cstdlib>
#include <filesystem>

namespace mattivo_test {

std::string backend_executable() { return std::string(MATTIVO_BINARY_DIR) + "/backend/mattivo-backend"; }

bool start_backend(const std::vector<std::string>& args, const std::string& log_path,
                   tessel::BackendProcess* out, std::string* error) {
  tessel::BackendLaunch launch;
  launch.binary = backend_executable();
  bool has_port = false;
  for (const std::string& a : args) has_port = has_port || a == "--port";
  if (!has_port) launch.args = {"--port", "0"};
  launch.args.insert(launch.args.end(), args.begin(), args.end());
  launch.log_path = log_path;
  launch.wait_seconds = 60;  // a sanitised build starts slowly
  *error = tessel::start_backend(launch, out);
  if (error->empty()) return true;
  *error += " (see " + log_path + ")";
  tessel::stop_backend(out, true);
  return false;
}

std::string make_temp_dir(const std::string& tag) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mattivo-" + tag + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  return ::mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

void remove_tree(const std::string& dir) {
  std::error_code ec;
  if (!dir.empty()) std::filesystem::remove_all(dir, ec);
}

}  // namespace mattivo_test
