// `mattivo pull`, last step: the finished outputs moved into place at once.
#include <iostream>

#include "pull_steps.h"

namespace fs = std::filesystem;

namespace mattivo {

Failure publish_outputs(const PullOptions& o, const PullPlan& plan, const std::string& status) {
  std::error_code ec;
  for (const char* item : {"rgba", "matte", "contact_sheet.png"}) {
    fs::path final_path = fs::path(o.out) / item;
    fs::remove_all(final_path, ec);
    fs::rename(plan.staging.dir / item, final_path, ec);
    if (ec) return "cannot move " + std::string(item) + " into " + o.out + ": " + ec.message();
  }
  const size_t n = plan.clip.files.size();
  std::cout << status << "\n"
            << "RGBA frames:   " << (fs::path(o.out) / "rgba").string() << "/ (" << n
            << " PNG, premultiplied)\n"
            << "mattes:        " << (fs::path(o.out) / "matte").string() << "/ (" << n << " PNG)\n"
            << "contact sheet: " << (fs::path(o.out) / "contact_sheet.png").string() << "\n";
  return std::nullopt;
}

}  // namespace mattivo
