// The "Cancel pull" button's side of the pull under way. One pull runs per
// process (gBusy), so one record says whose pull it is and whether the user
// asked it to stop; the launcher and the worker look at it between steps.
#pragma once

#include "ofx/ofx_api.h"

// What the user sees of a cancelled pull, whichever side ended it.
constexpr const char* kCancelledStatus = "cancelled";
constexpr const char* kCancelledMessage = "Corvane: pull cancelled.";

// Called by the launcher once it holds gBusy, before anything else of the pull.
void pullBegins(OfxImageEffectHandle effect);
// Called by whoever ends the pull, before gBusy is released.
void pullEnds();
// The button: asks the pull of this instance to stop, and wakes its waits.
// False, doing nothing, when no pull of this instance is under way.
bool cancelPull(OfxImageEffectHandle effect);
// True once the pull under way has been asked to stop. Cheap enough for
// every frame and every transfer callback.
bool pullCancelRequested();
