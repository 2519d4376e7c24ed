// Fire-and-forget usage beacon: the first instance created for a backend URL
// posts it; later ones, and any while one is on its way, send nothing.
#pragma once

#include "ofx/ofx_api.h"

void beaconToBackend(OfxImageEffectHandle effect);
