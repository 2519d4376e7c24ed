// The "Pull alpha (whole clip)" button: grabs every frame on the host's thread
// and hands the network work to a detached session worker.
#pragma once

#include "ofx/ofx_api.h"

void pullAlpha(OfxImageEffectHandle effect, double time);
