// The effect's actions, one function each, dispatched by pluginMain.
#pragma once

#include "ofx/ofx_api.h"

// Effect descriptor properties, overlay entry included.
OfxStatus describe(OfxImageEffectHandle effect);
// The two clips and the sixteen parameters, whatever context is asked for.
OfxStatus describeInContext(OfxImageEffectHandle effect);
OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs);
// The overlay interact's entry, handed to the host by describe.
OfxStatus overlayEntryPoint(const char* action, const void* handle, OfxPropertySetHandle inArgs,
                            OfxPropertySetHandle outArgs);
