// The two selection document readers and the dab appender on arbitrary text:
// none may crash, and what the appender writes must read back with the new dab last.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/selection_document.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  if (const auto box = protocol::read_box(text)) {
    check(box->w > 0.0 && std::isfinite(box->w));
    check(std::isfinite(box->x) && std::isfinite(box->y) && std::isfinite(box->h));
  }

  const auto dabs = protocol::read_dabs(text);
  for (const auto& dab : dabs) check(std::isfinite(dab.x) && std::isfinite(dab.y) && std::isfinite(dab.r));

  // The dab itself comes from the input's first bytes, so odd radii (-0, tiny) are met too.
  protocol::Dab dab{0.25, 0.75, -0.0};
  if (size >= sizeof(double)) {
    double r;
    std::memcpy(&r, data, sizeof r);
    if (std::isfinite(r)) dab.r = r;
  }
  const auto appended = protocol::append_dab(text, dab);
  if (!appended) {
    check(dabs.size() <= protocol::kMaxDabs);
    return 0;
  }
  const auto back = protocol::read_dabs(*appended);
  check(!back.empty());
  check(back.size() <= protocol::kMaxDabs);
  check(back.back().x == dab.x && back.back().y == dab.y && back.back().r == dab.r);
  check(std::signbit(back.back().r) == std::signbit(dab.r));
  // Appending never loses a dab the reader could draw before, unless the text started over.
  check(back.size() == dabs.size() + 1 || dabs.empty());
  return 0;
}
