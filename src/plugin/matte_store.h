// The working folder on disk: upload folders of frames, session folders of mattes.
#pragma once

#include <string>
#include <vector>

// Working root, ending in the path separator ("$TMPDIR/corvane/" on POSIX).
std::string temp_root();
// Replaces the file with these bytes; true only when every byte reached the file.
bool write_file(const std::string& path, const std::vector<unsigned char>& bytes);
