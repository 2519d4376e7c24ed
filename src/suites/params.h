// The effect's parameter names: declared once, used everywhere by these names.
#pragma once

namespace params {
constexpr const char* kBackendUrl = "backend_url";
constexpr const char* kOutputMode = "output_mode";
constexpr const char* kDrawMask = "draw_mask";
constexpr const char* kSelectTool = "select_tool";
constexpr const char* kBrushSize = "brush_size";
constexpr const char* kTextHint = "text_hint";
constexpr const char* kQuality = "quality";
constexpr const char* kEdgeSoftness = "edge_softness";
constexpr const char* kPullAlpha = "pull_alpha";
constexpr const char* kClearMask = "clear_mask";
constexpr const char* kResetMatte = "reset_matte";
constexpr const char* kStatus = "status";
constexpr const char* kBboxJson = "bbox_json";
constexpr const char* kBrushJson = "brush_json";
constexpr const char* kSessionId = "session_id";
constexpr const char* kClipStart = "clip_start";
// Defined after the sixteen above, so projects saved before it still load.
constexpr const char* kCancelPull = "cancel_pull";
// The marks of every frame (overlay/frame_marks.h); appended after cancel_pull.
constexpr const char* kFrameMarks = "frame_marks";
}  // namespace params
