// The working folder on disk: upload folders of frames, session folders of mattes.
// The working root lives in a shared temporary folder, so it is only used when
// it is a real folder of ours that nobody else can write into.
#pragma once

#include <string>
#include <vector>

// Working root, ending in the path separator ("$TMPDIR/corvane/" on POSIX).
std::string temp_root();
// Creates the working root (mode 0700) when missing and checks it is safe to use:
// a real folder (not a symbolic link), owned by this user, writable by nobody else.
// False with a plain-words reason in `error` otherwise.
bool ensure_working_root(std::string* error);
// The same check without creating anything; readers use it before opening a file.
bool working_root_usable(std::string* error = nullptr);
// Replaces the file with these bytes; true only when every byte reached the file.
// Refuses paths outside a usable working root.
bool write_file(const std::string& path, const std::vector<unsigned char>& bytes);
// Makes one folder (mode 0700) inside the working root; an existing folder is fine.
bool make_folder(const std::string& path);
// Removes one file; true when it is gone afterwards.
bool remove_file(const std::string& path);
// A backend session id is used as a folder name: 1 to 128 of [A-Za-z0-9._-],
// and not "." or "..", so it can never climb out of the working root.
bool is_valid_session_id(const std::string& id);
