// The viewer overlay's entry, forwarded from the effect's overlayEntryPoint.
#pragma once

#include "ofx/ofx_api.h"

namespace tessel {
OfxStatus overlayMain(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                      OfxPropertySetHandle outArgs);
}
