// What the effect is and what it has: the describe actions, dispatched by pluginMain.
#pragma once

#include "ofx/ofx_api.h"

// Effect descriptor properties, overlay entry included.
OfxStatus describe(OfxImageEffectHandle effect);
// The two clips and the seventeen parameters, whatever context is asked for.
OfxStatus describeInContext(OfxImageEffectHandle effect);
