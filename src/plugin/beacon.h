// Fire-and-forget usage beacon, posted once per created instance.
#pragma once

#include "ofx/ofx_api.h"

void beaconToBackend(OfxImageEffectHandle effect);
