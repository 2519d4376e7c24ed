// The headless OpenFX host: loads a plug-in bundle, serves the property,
// parameter, image effect, interact and message suites, and drives an effect
// instance by actions exactly as a compositing host would.
//
// Thread safety: renders may run on several threads at once; parameter
// writes and messages may arrive from any thread (the plug-in's own threads
// included). Every container below is guarded inside the host.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ofx/ofx_api.h"

namespace ofxhost {

// One typed, multi-dimensional property.
struct Property {
  enum class Type { String, Int, Double, Pointer };
  Type type = Type::String;
  std::vector<std::string> strings;
  std::vector<int> ints;
  std::vector<double> doubles;
  std::vector<void*> pointers;
};

// What OfxPropertySetHandle points at inside this host.
struct PropertySet {
  std::map<std::string, Property> props;
  mutable std::recursive_mutex mu;

  PropertySet() = default;
  // Copies the properties only; each set keeps its own mutex.
  PropertySet(const PropertySet& other);
  PropertySet& operator=(const PropertySet& other);

  bool has(const std::string& name) const;
  // Readers for tests and tools; a missing name or index gives the fallback.
  std::string str(const std::string& name, int index = 0, const std::string& fallback = "") const;
  int integer(const std::string& name, int index = 0, int fallback = 0) const;
  double dbl(const std::string& name, int index = 0, double fallback = 0.0) const;
  void* ptr(const std::string& name, int index = 0) const;
  int dimension(const std::string& name) const;
  // Writers used by the host itself to fill in-arguments and clip/effect properties.
  void set_str(const std::string& name, std::vector<std::string> values);
  void set_int(const std::string& name, std::vector<int> values);
  void set_dbl(const std::string& name, std::vector<double> values);
  void set_ptr(const std::string& name, std::vector<void*> values);
};

// A CPU image: 4 channels RGBA at 8-bit ("OfxBitDepthByte") or float ("OfxBitDepthFloat").
// `origin` is the byte offset in `storage` of pixel (x1, y1); rows step by row_bytes,
// which is negative when the rows are stored top-down.
struct Image {
  std::string depth = kOfxBitDepthByte;
  OfxRectI bounds{0, 0, 0, 0};
  int row_bytes = 0;
  std::vector<unsigned char> storage;
  std::ptrdiff_t origin = 0;
  bool null_data = false;  // hand the plug-in a null data pointer (fault injection)

  int width() const { return bounds.x2 - bounds.x1; }
  int height() const { return bounds.y2 - bounds.y1; }
  int bytes_per_pixel() const;
  void* data();  // pointer to pixel (x1, y1), or null when null_data
  // Pixel address in image coordinates (x, y inside bounds).
  unsigned char* pixel8(int x, int y);
  float* pixelf(int x, int y);
};

// Zero-filled image with packed rows; top_down stores the rows top first
// (negative row bytes), extra_row_bytes pads every row (rounded up to whole channels).
Image make_image(OfxRectI bounds, const std::string& depth, bool top_down = false, int extra_row_bytes = 0);

struct Message {
  std::string type;  // "OfxMessageMessage", ...
  std::string id;
  std::string text;  // the formatted text
};

struct ParamDescriptor {
  std::string name;
  std::string type;  // "OfxParamTypeString", ...
  PropertySet props;
};

struct ClipDescriptor {
  std::string name;
  PropertySet props;
};

class Plugin;

// Supplies the Source clip's image at a time; nullopt makes clipGetImage fail.
using FrameProvider = std::function<std::optional<Image>(double time)>;
// The same, for callers that keep their frames: the host holds a reference
// while the plug-in holds the image, so no pixels are copied per fetch.
using SharedFrameProvider = std::function<std::shared_ptr<Image>(double time)>;

struct PenEvent {
  double x = 0, y = 0;  // canonical coordinates
  double pixel_scale_x = 1, pixel_scale_y = 1;
  double time = 0;
  double pressure = 1;
};

class Instance;

// One overlay interact of an instance (one per viewer). Destroy interacts
// before their instance, and instances before their plug-in.
class Interact {
 public:
  ~Interact();
  OfxStatus pen_down(const PenEvent& e);
  OfxStatus pen_motion(const PenEvent& e);
  OfxStatus pen_up(const PenEvent& e);
  OfxStatus draw(double time = 0);  // draw action without a GL context
  // Draws into an off-screen OpenGL context of width x height pixels whose
  // projection maps the canonical rectangle `view` onto the pixels; returns
  // RGBA bytes, bottom row first (glReadPixels order). Empty when GL is unavailable.
  std::vector<unsigned char> draw_pixels(int width, int height, OfxRectD view, OfxStatus* status = nullptr,
                                         double time = 0);
  OfxInteractHandle handle() const;

 private:
  friend class Instance;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Interact();
};

// An effect instance in the filter context. Destroying it sends the destroy action.
class Instance {
 public:
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  OfxImageEffectHandle handle() const;
  PropertySet& props();  // the instance's effect property set (project size, ...)

  // Source clip.
  void set_source(FrameProvider provider);
  void set_source(SharedFrameProvider provider);
  void set_frame_range(double first, double last);  // also unsets when never called
  void set_frame_rate(double fps);
  void set_project(double width, double height, double offset_x = 0, double offset_y = 0);

  // Parameter values, as the host sees them. Setting does not notify the plug-in;
  // use changed() for that.
  std::string get_string(const std::string& name) const;
  int get_int(const std::string& name) const;  // choice, boolean, integer
  double get_double(const std::string& name) const;
  void set_string(const std::string& name, const std::string& value);
  void set_int(const std::string& name, int value);
  void set_double(const std::string& name, double value);
  // Every value the plug-in (or set_*) wrote to a string parameter, in order.
  std::vector<std::string> string_history(const std::string& name) const;

  // Actions with the in-arguments a real host sends.
  OfxStatus changed(const std::string& param_name, double time = 0,
                    const char* reason = kOfxChangeUserEdited);
  OfxStatus press(const std::string& button, double time = 0) { return changed(button, time); }
  // Renders the frame at `time` into `output` (its bounds and depth chosen by the caller).
  OfxStatus render(double time, Image& output);
  OfxStatus clip_preferences(PropertySet& out_args);
  // Sends any action with the given in-arguments (null for none).
  OfxStatus action(const std::string& name, PropertySet* in_args = nullptr, PropertySet* out_args = nullptr);

  std::unique_ptr<Interact> new_interact();
  std::vector<Message> messages() const;
  void clear_messages();

  // Images the plug-in fetched with clipGetImage and has not released yet.
  int outstanding_images() const;
  // Pixel depth the clips announce in their property sets ("OfxBitDepthByte" by default).
  void set_pixel_depth(const std::string& depth);
  // What the output clip's images say of their alpha, whatever the plug-in
  // asked for in its clip preferences, as some hosts force UnPreMultiplied.
  void force_output_premultiplication(const std::string& premultiplication);
  // Times counted from the clip's in-point, as some hosts count them: the
  // Source clip keeps its own frame range (set_frame_range), the Output
  // clip's range runs from 0 over as many frames, and the Source image asked
  // for at time t is the clip's frame first + t. Frame providers are always
  // asked by the clip's own frame numbers.
  void count_time_from_in_point(bool on = true);

 private:
  friend class Plugin;
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Instance();
};

// A loaded plug-in binary. Destroying it sends the unload action and unloads the library.
class Plugin {
 public:
  // `path` is a bundle folder (NAME.ofx.bundle) or the .ofx binary itself.
  // Returns null and fills `error` when the library cannot be loaded or has no effect.
  static std::unique_ptr<Plugin> load(const std::string& path, std::string* error = nullptr, int nth = 0);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  const OfxPlugin* record() const;
  int plugin_count() const;  // OfxGetNumberOfPlugins
  // Load, describe and describe-in-context (filter) actions; run once by load().
  OfxStatus describe_status() const;
  const PropertySet& descriptor() const;
  const std::vector<ClipDescriptor>& clips() const;
  const std::vector<ParamDescriptor>& params() const;  // in definition order
  const ParamDescriptor* param(const std::string& name) const;

  // Creates an instance with parameters at their defaults and sends the create action.
  std::unique_ptr<Instance> create_instance(OfxStatus* status = nullptr);
  // As a host opening a saved project: these string values are in place
  // before the create action, as if they had been saved with the instance.
  std::unique_ptr<Instance> create_instance(OfxStatus* status,
                                            const std::map<std::string, std::string>& saved);

  // Sends a raw action to the plug-in's main entry (for dispatch tests).
  OfxStatus main_entry(const char* action, const void* handle, PropertySet* in_args, PropertySet* out_args);

  // Host messages not tied to an instance (message suite called with a null handle).
  // A null handle names no plug-in, so every plug-in loaded at that moment records it.
  std::vector<Message> messages() const;
  void clear_messages();
  // Also hands every message (instance ones included) to `sink`, on the posting thread.
  void on_message(std::function<void(const Message&)> sink);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  Plugin();
  friend class Instance;
};

// Renders one frame as hosts that make a fresh instance for every frame do:
// the instance is created with `saved` in place, `prepare` gives it its clip
// and settings (copied in silently: no instanceChanged is ever sent), it
// renders `time` into `output` and is destroyed before this returns.
OfxStatus render_in_fresh_instance(Plugin& plugin, double time,
                                   const std::map<std::string, std::string>& saved,
                                   const std::function<void(Instance&)>& prepare, Image& output);

// A host that only renders, as command-line renderers and render farms often
// are, as one mode for tests: every frame gets a fresh instance created with
// the project's saved values (copied in silently: no instanceChanged is ever
// sent), the output's images say UnPreMultiplied whatever the effect asks
// for, and render times count from the clip's in-point.
struct RenderOnlyHost {
  std::map<std::string, std::string> strings;  // string parameters saved with the project
  std::map<std::string, int> ints;             // choice, boolean and integer ones
  FrameProvider source;                        // the clip's frames, by its own frame numbers
  double first = 0.0, last = 0.0;              // the clip as trimmed, in its own frame numbers
  std::string depth = kOfxBitDepthByte;
};

// Renders the frame `time` frames after the in-point into `output`.
OfxStatus render_only(Plugin& plugin, const RenderOnlyHost& host, double time, Image& output);

// The host record every plug-in of this process gets (its fetchSuite serves the suites).
const OfxHost* host();

// The handle a plug-in gets for a property set of this host.
inline OfxPropertySetHandle handle_of(PropertySet& p) { return reinterpret_cast<OfxPropertySetHandle>(&p); }

}  // namespace ofxhost
