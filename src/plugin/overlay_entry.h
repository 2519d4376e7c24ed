// The overlay interact's entry, defined beside pluginMain and handed to the
// host by describe.
#pragma once

#include "ofx/ofx_api.h"

OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);
