// What the host's OpenFX handles point at, and the pieces the suites share.
// Private to the host library.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "ofxhost/ofx_host.h"

namespace ofxhost::detail {

// Every handle the plug-in may keep across calls is registered while it lives,
// so a plug-in thread that outlives its instance gets kOfxStatErrBadHandle
// instead of touching freed memory.
enum class Kind : std::uint8_t { Effect, ParamSet, Param, Clip, Interact };

void register_handle(const void* handle, Kind kind);
// Waits for suite calls in progress on these handles, then forgets them.
void unregister_handles(const std::vector<const void*>& handles);

// Held for the length of one suite call: the handle stays alive meanwhile.
class LiveLock {
 public:
  LiveLock(const void* handle, Kind kind);
  explicit operator bool() const { return live_; }
  // Ends the call's hold early, before the caller registers new handles.
  void unlock() { lock_.unlock(); }

 private:
  std::shared_lock<std::shared_mutex> lock_;
  bool live_ = false;
};

struct Param {
  std::string name;
  std::string type;
  PropertySet props;
  bool descriptor = true;
  mutable std::mutex mu;  // guards the value below
  std::vector<int> ints;
  std::vector<double> doubles;
  std::string text;
  std::vector<std::string> history;  // every value written to a string parameter
};

struct ParamSet {
  PropertySet props;
  bool descriptor = true;
  mutable std::mutex mu;                       // guards the list while the plug-in defines
  std::vector<std::unique_ptr<Param>> params;  // in definition order

  Param* find(const std::string& name) const;
};

struct InstanceState;
struct PluginState;

// What OfxInteractHandle points at: the overlay descriptor or one overlay instance.
struct InteractState {
  PluginState* plugin = nullptr;
  void* effect = nullptr;  // the instance's handle, kept so a late action never reads it
  PropertySet props;
  bool created = false;
};

struct Clip {
  std::string name;
  PropertySet props;
  InstanceState* owner = nullptr;  // null for a descriptor
};

// What OfxImageEffectHandle points at: the effect descriptor or an instance.
struct Effect {
  bool descriptor = true;
  PropertySet* props = nullptr;
  ParamSet* params = nullptr;
  PluginState* plugin = nullptr;
  InstanceState* instance = nullptr;  // null for the descriptor
};

struct PluginState {
  void* library = nullptr;
  const OfxPlugin* record = nullptr;
  int count = 0;
  bool loaded = false;  // the load action succeeded, so unload is due
  OfxStatus describe_status = kOfxStatOK;

  Effect descriptor;
  PropertySet descriptor_props;
  ParamSet descriptor_params;
  std::mutex clips_mu;
  std::vector<std::unique_ptr<Clip>> descriptor_clips;
  std::vector<ParamDescriptor> param_list;  // snapshots taken after describe
  std::vector<ClipDescriptor> clip_list;

  OfxPluginEntryPoint* overlay = nullptr;
  std::mutex interact_mu;  // overlay actions reach the plug-in one at a time
  bool overlay_described = false;
  InteractState overlay_descriptor;

  mutable std::mutex msg_mu;
  std::vector<Message> messages;
  std::function<void(const Message&)> sink;

  OfxStatus call(const char* action, const void* handle, PropertySet* in_args, PropertySet* out_args);
  void post(const Message& m);  // stores it and hands it to the sink
};

struct InstanceState {
  PluginState* plugin = nullptr;
  Effect effect;
  PropertySet props;
  ParamSet params;
  std::vector<std::unique_ptr<Clip>> clips;
  bool created = false;

  mutable std::mutex mu;  // guards the provider, the clock, the outputs and the messages
  SharedFrameProvider provider;
  bool from_in_point = false;  // see Instance::count_time_from_in_point
  bool has_range = false;
  double first = 0.0, last = 0.0;             // the Source clip's own frame range
  double time_offset = 0.0;                   // the clip's frame number at time 0
  std::map<std::thread::id, Image*> outputs;  // the output image of each rendering thread
  std::vector<Message> messages;
  std::atomic<int> outstanding{0};

  Clip* clip(const std::string& name) const;
};

// Suites served by fetchSuite.
const OfxPropertySuiteV1* property_suite();
const OfxParameterSuiteV1* parameter_suite();
const OfxImageEffectSuiteV1* image_effect_suite();
const OfxInteractSuiteV1* interact_suite();
const OfxMessageSuiteV1* message_suite_v1();
const OfxMessageSuiteV2* message_suite_v2();

// The one host record every plug-in gets.
OfxHost* host_record();

// Plug-ins loaded right now; messages posted with a null handle go to each.
void add_live_plugin(PluginState* p);
void remove_live_plugin(PluginState* p);

// Parameter helpers shared by the suite and the Instance API.
void fill_descriptor_defaults(Param& p);
std::unique_ptr<Param> instantiate(const Param& descriptor);
bool is_string_type(const std::string& type);

// An off-screen OpenGL context current on the calling thread for its lifetime,
// its projection mapping `view` onto width x height pixels, cleared to
// transparent black. One draw at a time, process-wide.
class GlOffscreen {
 public:
  GlOffscreen(int width, int height, OfxRectD view);
  ~GlOffscreen();
  GlOffscreen(const GlOffscreen&) = delete;
  GlOffscreen& operator=(const GlOffscreen&) = delete;
  bool ok() const { return current_; }
  // Finishes drawing and reads the pixels back, bottom row first.
  std::vector<unsigned char> read();

 private:
  std::unique_lock<std::mutex> lock_;
  std::vector<unsigned char> buffer_;
  int width_ = 0, height_ = 0;
  bool current_ = false;
};

// Frees the images an instance still holds (the plug-in forgot to release them).
void drop_images_of(const InstanceState* owner);

}  // namespace ofxhost::detail

namespace ofxhost {

struct Plugin::Impl {
  detail::PluginState st;
};

struct Instance::Impl {
  detail::InstanceState st;
};

struct Interact::Impl {
  detail::InteractState st;
};

}  // namespace ofxhost
