// The built mattivo-backend as a child process, started the way users start
// it, and scratch folders for its data.
#pragma once

#include <string>
#include <vector>

#include "launch/backend_process.h"

namespace mattivo_test {

// The built mattivo-backend executable.
std::string backend_executable();

// Starts it with `args` (on a free port unless they name one), its standard
// error going to `log_path`; false with the reason in *error.
bool start_backend(const std::vector<std::string>& args, const std::string& log_path,
                   tessel::BackendProcess* out, std::string* error);

// A fresh empty folder under the system's temporary folder.
std::string make_temp_dir(const std::string& tag);
void remove_tree(const std::string& dir);

}  // namespace mattivo_test
