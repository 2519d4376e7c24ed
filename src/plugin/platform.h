// The little the matte store needs from the operating system. One source file
// per platform implements it; everything else in the plug-in is portable.
#pragma once

#include <string>

namespace platform {

// The system's folder for temporary files, without a trailing separator.
std::string temp_folder();
constexpr char kSeparator = '/';
// Creates one folder readable and writable by this user only; an existing
// folder is no error (its safety is checked separately).
bool make_private_folder(const std::string& path);
// Whether `path` is a real folder (not a link to one), owned by this user and
// writable by nobody else; a reason in plain words when it is not.
// With `repair`, a folder of ours that others could enter is closed to them first.
bool private_folder_ok(const std::string& path, bool repair, std::string* reason);
bool remove_file(const std::string& path);

}  // namespace platform
