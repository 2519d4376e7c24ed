// What a finished pull leaves behind for the next one of the same instance:
// the backend session that holds its frames, the folder of the JPEG frames as
// uploaded, and the digest of every grabbed frame. It lives in the working
// folder beside the mattes: "~pulls/<matte folder>.json" ('~' is no session id
// character, so no backend's id can name that folder).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PullRecord {
  std::string backend_url;
  std::string session_id;  // the backend's, which a correction round starts again
  std::string frames_dir;  // the uploaded JPEGs, kept; ends in "/"
  double first_frame = 0.0;
  double fps = 0.0;
  std::vector<uint64_t> digests;  // one per frame, frame_digest.h
};

// False when the folder has no readable record, or one that does not hold together.
bool read_pull_record(const std::string& matte_folder, PullRecord* record);
bool write_pull_record(const std::string& matte_folder, const PullRecord& record);
// True when every one of the record's frames is still in its folder.
bool kept_frames_present(const PullRecord& record);
// Removes the kept frames and their folder (best effort).
void remove_kept_frames(const std::string& frames_dir, int count);
