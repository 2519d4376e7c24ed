// `mattivo pull`, last step: the finished outputs moved into place at once.
#include <iostream>

#include "pull_steps.h"
#include "session_file.h"

namespace fs = std::filesystem;

namespace mattivo {

Failure stage_session(const PullOptions& o, const PullPlan& plan, const PulledMatte& pulled) {
  SavedSession session;
  std::error_code ec;
  // Absolute, so that a later run from another folder finds the clip.
  const fs::path input = fs::absolute(o.input, ec);
  session.input = ec ? o.input : input.string();
  session.anchor = o.anchor;
  session.first_frame = o.first_frame;
  session.fps = o.fps;
  session.max_frames = o.max_frames;
  // Every string parameter, as a host saves them with a project.
  for (const ofxhost::ParamDescriptor& p : pulled.plugin->params()) {
    if (p.type == kOfxParamTypeString) session.strings[p.name] = pulled.instance->get_string(p.name);
  }
  const std::string err = write_session((plan.staging.dir / kSessionFile).string(), session);
  if (!err.empty()) return err;
  return std::nullopt;
}

Failure publish_outputs(const PullOptions& o, const PullPlan& plan, const std::string& status) {
  std::error_code ec;
  const bool with_session = fs::exists(plan.staging.dir / kSessionFile);
  for (const char* item : {"rgba", "matte", "contact_sheet.png", kSessionFile}) {
    fs::path final_path = fs::path(o.out) / item;
    fs::remove_all(final_path, ec);
    // A run that staged no state leaves none behind that belongs to an earlier one.
    if (item == kSessionFile && !with_session) continue;
    fs::rename(plan.staging.dir / item, final_path, ec);
    if (ec) return "cannot move " + std::string(item) + " into " + o.out + ": " + ec.message();
  }
  const size_t n = plan.clip.files.size();
  std::cout << status << "\n"
            << "RGBA frames:   " << (fs::path(o.out) / "rgba").string() << "/ (" << n
            << " PNG, premultiplied)\n"
            << "mattes:        " << (fs::path(o.out) / "matte").string() << "/ (" << n << " PNG)\n"
            << "contact sheet: " << (fs::path(o.out) / "contact_sheet.png").string() << "\n";
  if (with_session)
    std::cout << "to correct:    mattivo pull --session " << o.out << " --correct FRAME:add=x,y ...\n";
  return std::nullopt;
}

}  // namespace mattivo
