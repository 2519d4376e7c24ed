// TEMPORARY: stand-ins until the pull launcher and the usage beacon land.
// They do nothing, so the plug-in loads and dispatches meanwhile.
#include "plugin/beacon.h"
#include "plugin/pull.h"

void pullAlpha(OfxImageEffectHandle /*effect*/, double /*time*/) {}

void beaconToBackend(OfxImageEffectHandle /*effect*/) {}
