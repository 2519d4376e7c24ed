// The HTTP contract between the plug-in and a matting backend: paths, the JSON
// keys of every document, status words and defaults. Every URL is the backend
// URL with the path appended as is: no slash is added or removed.
#pragma once

#include <string>

namespace protocol {

// Paths below the backend URL (and below its secret prefix, when it has one).
constexpr const char* kSessionsPath = "/api/matte/sessions";
constexpr const char* kBeaconPath = "/api/beacon";
constexpr const char* kHealthPath = "/healthz";
// Segments below a session's path: frames/<i>, start, cancel, alpha/<i>.png.
constexpr const char* kFramesSegment = "frames";
// POST start again on a session whose job has ended (completed, failed or
// cancelled) runs a new job on the frames it already holds, replacing its
// mattes. Backends that do not keep frames answer 4xx, and a client then
// uploads the clip again in a new session.
constexpr const char* kStartSegment = "start";
// POST: stops the session's job and frees its worker. Backends that predate it
// answer 404 or 405, and a client then simply stops polling.
constexpr const char* kCancelSegment = "cancel";
constexpr const char* kAlphaSegment = "alpha";
constexpr const char* kMatteExtension = ".png";

constexpr const char* kFrameMediaType = "image/jpeg";
constexpr const char* kJsonMediaType = "application/json";
constexpr const char* kUserAgent = "CorvaneMattivo-OFX/1.1";
constexpr const char* kPluginVersion = "1.1.0";

// Session status words in a poll answer. Anything but the last three means
// "still working"; COMPLETED promises every uploaded frame's matte.
constexpr const char* kUploading = "UPLOADING";
constexpr const char* kQueued = "QUEUED";
constexpr const char* kRunning = "RUNNING";
constexpr const char* kCompleted = "COMPLETED";
constexpr const char* kFailed = "FAILED";
constexpr const char* kCancelled = "CANCELLED";

// Quality words of the matte request.
constexpr const char* kFine = "fine";
constexpr const char* kFast = "fast";

// Defaults both sides assume when the user changes nothing.
constexpr double kDefaultEdgeSoftness = 0.35;
constexpr double kDefaultFps = 25.0;

// Keys of the JSON documents.
namespace key {
// create request and answer
constexpr const char* kFps = "fps";
constexpr const char* kSource = "source";
constexpr const char* kSessionId = "session_id";
// matte request (start)
constexpr const char* kAnchorFrame = "anchor_frame";
constexpr const char* kBbox = "bbox";
constexpr const char* kEdgeSoftness = "edge_softness";
constexpr const char* kQuality = "quality";
constexpr const char* kStrokes = "strokes";
constexpr const char* kTextPrompt = "text_prompt";
// Optional: the user's marks on frames other than the anchor, which the keys
// above still describe alone. An array of {"frame":<index>,"bbox":{..},
// "strokes":[[x,y,r],..]} in the anchor's own forms ("bbox" only when there is
// a box); a backend that does not know the key works from the anchor.
constexpr const char* kMarkedFrames = "marked_frames";
constexpr const char* kFrame = "frame";
// poll answer
constexpr const char* kStatus = "status";
constexpr const char* kProgress = "progress";
constexpr const char* kStage = "stage";
constexpr const char* kError = "error";
constexpr const char* kFrames = "frames";
// beacon
constexpr const char* kArch = "arch";
constexpr const char* kHost = "host";
constexpr const char* kOs = "os";
constexpr const char* kPluginVersion = "plugin_version";
}  // namespace key

std::string sessions_url(const std::string& backend_url);
std::string session_url(const std::string& backend_url, const std::string& session_id);
std::string frame_url(const std::string& session_url, int index);
std::string start_url(const std::string& session_url);
std::string cancel_url(const std::string& session_url);
std::string alpha_url(const std::string& session_url, int index);
std::string beacon_url(const std::string& backend_url);

// {"fps":<fps>,"source":"plugin"}
std::string create_body(double fps);
// The four constant strings, naming the platform this binary was built for.
std::string beacon_body();

}  // namespace protocol
