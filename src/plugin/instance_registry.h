// Instances the host has created and not yet destroyed, and the plug-in's own
// background threads (session workers, beacons). A background thread may
// outlive its instance, and the host may unload the plug-in while one runs:
// these functions keep such a thread off dead handles and unloaded code.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "ofx/ofx_api.h"

// An instance as it was when work for it began; a handle the host reuses for
// a new instance carries a new generation, so old work never reaches it.
struct InstanceToken {
  OfxImageEffectHandle effect = nullptr;
  uint64_t generation = 0;
};

// Called by the create and destroy actions. Destroying waits for any write a
// background thread is making through that instance.
void instanceCreated(OfxImageEffectHandle effect);
void instanceDestroyed(OfxImageEffectHandle effect);

// The live instance behind a handle; generation 0 when the host never created it.
InstanceToken liveInstance(OfxImageEffectHandle effect);
// False once the instance is destroyed or the plug-in is being unloaded.
bool instanceAlive(const InstanceToken& token);
// Runs `write` while the instance cannot be destroyed; false, running nothing,
// when the instance is gone or the plug-in is being unloaded.
bool withLiveInstance(const InstanceToken& token, const std::function<void()>& write);

// Starts a background thread. The actions never wait for it; unloading does.
// Throws std::system_error when no thread can be made.
void startBackground(std::function<void()> body);
// True while the plug-in is being unloaded: background work ends at once.
bool stopping();
// Waits up to `duration`; false when the wait was cut short because the
// instance went away, the plug-in is being unloaded, or `cut_short` (asked
// whenever the wait is woken) turned true.
bool pauseFor(std::chrono::milliseconds duration, const InstanceToken& token, bool (*cut_short)() = nullptr);
// Wakes every pauseFor, so that it asks its `cut_short` again.
void wakeBackground();
// Ends every background thread: stops their transfers and waits for them.
// Run by the unload action, and again when the library's statics are torn down.
void stopBackground();
