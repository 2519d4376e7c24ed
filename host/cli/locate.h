// Finding the plug-in bundle and the backend binary: an explicit path, the
// build tree next to this executable, then the places users install them.
#pragma once

#include <string>

namespace mattivo {

bool is_executable_file(const std::string& path);
std::string find_backend_binary(const std::string& explicit_path);
std::string find_plugin(const std::string& explicit_path);

}  // namespace mattivo
