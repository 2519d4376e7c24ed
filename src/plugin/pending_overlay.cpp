// TEMPORARY: stand-in until the viewer overlay lands; the host draws nothing.
#include "overlay/overlay.h"

namespace tessel {

OfxStatus overlayMain(const char* /*action*/, const void* /*handle*/,
                      OfxPropertySetHandle /*inArgs*/, OfxPropertySetHandle /*outArgs*/) {
  return kOfxStatReplyDefault;
}

}  // namespace tessel
