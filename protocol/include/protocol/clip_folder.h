// Frames and mattes on disk, numbered by their index from 0 in clip order:
// the plug-in's working folder, a backend session and our test clips all
// name them the same way.
//
// A clip folder, as the clip generator writes it and the scorer, the tests
// and the benchmarks read it:
//   frames/NNNNNN.jpg (or .png)  the pictures
//   alpha/NNNNNN.png             the true matte of each frame, 8-bit grey
//   clip.json                    {"anchor_frame":..,"bbox":{..},"fps":..,"frames":..,
//                                 "height":..,"hint":"..","seed":..,"strokes":[..],"width":..}
// where the anchor, box and dabs are the selection a user would draw, in the
// matte request's own form, and the hint is what they would type instead. A backend session folder holds
// frames/ and alpha/ the same way.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace protocol {

constexpr const char* kFramesDir = "frames";
constexpr const char* kAlphaDir = "alpha";
constexpr const char* kClipDocument = "clip.json";
constexpr const char* kFrameExtension = ".jpg";

// Keys of clip.json beyond the matte request's own.
namespace clip_key {
constexpr const char* kWidth = "width";
constexpr const char* kHeight = "height";
constexpr const char* kFrames = "frames";
constexpr const char* kFps = "fps";
constexpr const char* kSeed = "seed";
constexpr const char* kHint = "hint";
}  // namespace clip_key

// "%06d" of the index: the stem of every frame and matte file.
std::string index_name(int index);
// The stem with its extension (".jpg", ".png").
std::string indexed_file_name(int index, const char* extension);

// The matte request a user would send for a clip folder's selection (its
// clip.json): with its box ("box"), its dabs ("dabs"), both ("both"), or only
// the text `hint` ("hint").
nlohmann::json clip_request(const nlohmann::json& clip_document, const std::string& quality,
                            const std::string& selection, double softness, const std::string& hint);

// A clip folder's clip.json as an object, or a discarded value when it is
// missing or not an object.
nlohmann::json read_clip_document(const std::string& clip_dir);
bool write_clip_document(const std::string& clip_dir, const nlohmann::json& document);

}  // namespace protocol
