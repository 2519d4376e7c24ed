// OfxImageEffectSuiteV1: effect property and parameter sets, clips and images.
#include <atomic>
#include <unordered_map>
#include <unordered_set>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

// One image the plug-in holds. Source images own their pixels; an output
// image points into the caller's Image of the current render.
struct HostImage {
  PropertySet props;
  std::shared_ptr<Image> owned;
  InstanceState* owner = nullptr;
};

struct Images {
  std::mutex mu;
  std::unordered_map<const PropertySet*, std::unique_ptr<HostImage>> held;
};

Images& images() {
  static auto* i = new Images;  // plug-in threads may release late
  return *i;
}

std::atomic<unsigned long> gNextImageId{1};

Effect* effect_of(OfxImageEffectHandle h) { return reinterpret_cast<Effect*>(h); }
Clip* clip_of(OfxImageClipHandle h) { return reinterpret_cast<Clip*>(h); }

void describe_image(HostImage& hi, Image& img, const Clip& clip) {
  PropertySet& p = hi.props;
  const OfxRectI& b = img.bounds;
  p.set_str(kOfxPropType, {kOfxTypeImage});
  p.set_ptr(kOfxImagePropData, {img.data()});
  p.set_int(kOfxImagePropRowBytes, {img.row_bytes});
  p.set_int(kOfxImagePropBounds, {b.x1, b.y1, b.x2, b.y2});
  p.set_int(kOfxImagePropRegionOfDefinition, {b.x1, b.y1, b.x2, b.y2});
  p.set_str(kOfxImageEffectPropPixelDepth, {img.depth});
  p.set_str(kOfxImageEffectPropComponents, {kOfxImageComponentRGBA});
  p.set_str(kOfxImageEffectPropPreMultiplication,
            {clip.props.str(kOfxImageEffectPropPreMultiplication, 0, kOfxImagePreMultiplied)});
  p.set_dbl(kOfxImageEffectPropRenderScale, {1.0, 1.0});
  p.set_dbl(kOfxImagePropPixelAspectRatio, {1.0});
  p.set_str(kOfxImagePropField, {kOfxImageFieldNone});
  p.set_str(kOfxImagePropUniqueIdentifier, {"image-" + std::to_string(gNextImageId++)});
}

OfxStatus getPropertySet(OfxImageEffectHandle h, OfxPropertySetHandle* props) {
  LiveLock live(h, Kind::Effect);
  if (!live || !props) return kOfxStatErrBadHandle;
  *props = handle_of(*effect_of(h)->props);
  return kOfxStatOK;
}

OfxStatus getParamSet(OfxImageEffectHandle h, OfxParamSetHandle* params) {
  LiveLock live(h, Kind::Effect);
  if (!live || !params) return kOfxStatErrBadHandle;
  *params = reinterpret_cast<OfxParamSetHandle>(effect_of(h)->params);
  return kOfxStatOK;
}

OfxStatus clipDefine(OfxImageEffectHandle h, const char* name, OfxPropertySetHandle* props) {
  LiveLock live(h, Kind::Effect);
  if (!live || !name) return kOfxStatErrBadHandle;
  Effect* e = effect_of(h);
  if (!e->descriptor) return kOfxStatErrBadHandle;
  PluginState* plugin = e->plugin;
  Clip* clip = nullptr;
  {
    std::lock_guard<std::mutex> lock(plugin->clips_mu);
    for (const auto& c : plugin->descriptor_clips)
      if (c->name == name) return kOfxStatErrExists;
    auto made = std::make_unique<Clip>();
    made->name = name;
    made->props.set_str(kOfxPropType, {kOfxTypeClip});
    made->props.set_str(kOfxPropName, {name});
    made->props.set_str(kOfxPropLabel, {name});
    made->props.set_str(kOfxImageEffectPropSupportedComponents, {});
    made->props.set_int(kOfxImageEffectPropTemporalClipAccess, {0});
    made->props.set_int(kOfxImageClipPropOptional, {0});
    made->props.set_int(kOfxImageClipPropIsMask, {0});
    made->props.set_int(kOfxImageEffectPropSupportsTiles, {1});
    clip = made.get();
    plugin->descriptor_clips.push_back(std::move(made));
  }
  live.unlock();
  register_handle(clip, Kind::Clip);
  if (props) *props = handle_of(clip->props);
  return kOfxStatOK;
}

OfxStatus clipGetHandle(OfxImageEffectHandle h, const char* name, OfxImageClipHandle* out,
                        OfxPropertySetHandle* props) {
  LiveLock live(h, Kind::Effect);
  if (!live || !name || !out) return kOfxStatErrBadHandle;
  Effect* e = effect_of(h);
  Clip* clip = nullptr;
  if (e->instance) {
    clip = e->instance->clip(name);
  } else {
    std::lock_guard<std::mutex> lock(e->plugin->clips_mu);
    for (const auto& c : e->plugin->descriptor_clips)
      if (c->name == name) clip = c.get();
  }
  if (!clip) return kOfxStatErrUnknown;
  *out = reinterpret_cast<OfxImageClipHandle>(clip);
  if (props) *props = handle_of(clip->props);
  return kOfxStatOK;
}

OfxStatus clipGetPropertySet(OfxImageClipHandle h, OfxPropertySetHandle* props) {
  LiveLock live(h, Kind::Clip);
  if (!live || !props) return kOfxStatErrBadHandle;
  *props = handle_of(clip_of(h)->props);
  return kOfxStatOK;
}

// The region is ignored: the whole frame is always handed over.
OfxStatus clipGetImage(OfxImageClipHandle h, OfxTime time, const OfxRectD*, OfxPropertySetHandle* image) {
  LiveLock live(h, Kind::Clip);
  if (!live || !image) return kOfxStatErrBadHandle;
  Clip* clip = clip_of(h);
  InstanceState* inst = clip->owner;
  if (!inst) return kOfxStatErrBadHandle;
  auto hi = std::make_unique<HostImage>();
  hi->owner = inst;
  if (clip->name == kOfxImageEffectOutputClipName) {
    Image* out = nullptr;
    {
      std::lock_guard<std::mutex> lock(inst->mu);
      auto it = inst->outputs.find(std::this_thread::get_id());
      if (it != inst->outputs.end()) out = it->second;
    }
    if (!out) return kOfxStatFailed;  // only a render has an output image
    describe_image(*hi, *out, *clip);
  } else {
    SharedFrameProvider provider;
    double offset = 0.0;
    {
      std::lock_guard<std::mutex> lock(inst->mu);
      provider = inst->provider;
      offset = inst->time_offset;
    }
    if (!provider) return kOfxStatFailed;
    hi->owned = provider(time + offset);
    if (!hi->owned) return kOfxStatFailed;
    describe_image(*hi, *hi->owned, *clip);
  }
  PropertySet* key = &hi->props;
  {
    Images& all = images();
    std::lock_guard<std::mutex> lock(all.mu);
    all.held.emplace(key, std::move(hi));
    ++inst->outstanding;
  }
  *image = handle_of(*key);
  return kOfxStatOK;
}

OfxStatus clipReleaseImage(OfxPropertySetHandle h) {
  std::unique_ptr<HostImage> gone;
  {
    Images& all = images();
    std::lock_guard<std::mutex> lock(all.mu);
    auto it = all.held.find(reinterpret_cast<PropertySet*>(h));
    if (it == all.held.end()) return kOfxStatErrBadHandle;  // never handed out, or released twice
    gone = std::move(it->second);
    all.held.erase(it);
    // Under the lock: an instance drops its images under it before it dies.
    --gone->owner->outstanding;
  }
  return kOfxStatOK;
}

OfxStatus clipGetRegionOfDefinition(OfxImageClipHandle h, OfxTime time, OfxRectD* bounds) {
  LiveLock live(h, Kind::Clip);
  if (!live || !bounds) return kOfxStatErrBadHandle;
  InstanceState* inst = clip_of(h)->owner;
  if (!inst) return kOfxStatErrBadHandle;
  SharedFrameProvider provider;
  double offset = 0.0;
  {
    std::lock_guard<std::mutex> lock(inst->mu);
    provider = inst->provider;
    offset = inst->time_offset;
  }
  // Every clip of a filter is as large as its source frame.
  if (provider) {
    if (std::shared_ptr<Image> frame = provider(time + offset)) {
      const OfxRectI& b = frame->bounds;
      *bounds = OfxRectD{double(b.x1), double(b.y1), double(b.x2), double(b.y2)};
      return kOfxStatOK;
    }
  }
  double ox = inst->props.dbl(kOfxImageEffectPropProjectOffset, 0);
  double oy = inst->props.dbl(kOfxImageEffectPropProjectOffset, 1);
  *bounds = OfxRectD{ox, oy, ox + inst->props.dbl(kOfxImageEffectPropProjectSize, 0),
                     oy + inst->props.dbl(kOfxImageEffectPropProjectSize, 1)};
  return kOfxStatOK;
}

int abortRender(OfxImageEffectHandle) { return 0; }

struct Memory {
  std::vector<unsigned char> bytes;
};

std::mutex gMemoryMu;
std::unordered_set<const Memory*>& memory_blocks() {
  static auto* s = new std::unordered_set<const Memory*>;
  return *s;
}

OfxStatus imageMemoryAlloc(OfxImageEffectHandle, size_t n, OfxImageMemoryHandle* out) {
  if (!out) return kOfxStatErrBadHandle;
  auto* m = new (std::nothrow) Memory;
  if (!m) return kOfxStatErrMemory;
  try {
    m->bytes.resize(n);
  } catch (const std::bad_alloc&) {
    delete m;
    return kOfxStatErrMemory;
  }
  std::lock_guard<std::mutex> lock(gMemoryMu);
  memory_blocks().insert(m);
  *out = reinterpret_cast<OfxImageMemoryHandle>(m);
  return kOfxStatOK;
}

OfxStatus imageMemoryFree(OfxImageMemoryHandle h) {
  auto* m = reinterpret_cast<Memory*>(h);
  {
    std::lock_guard<std::mutex> lock(gMemoryMu);
    if (!memory_blocks().erase(m)) return kOfxStatErrBadHandle;
  }
  delete m;
  return kOfxStatOK;
}

OfxStatus imageMemoryLock(OfxImageMemoryHandle h, void** ptr) {
  std::lock_guard<std::mutex> lock(gMemoryMu);
  auto* m = reinterpret_cast<Memory*>(h);
  if (!ptr || !memory_blocks().count(m)) return kOfxStatErrBadHandle;
  *ptr = m->bytes.data();
  return kOfxStatOK;
}

OfxStatus imageMemoryUnlock(OfxImageMemoryHandle h) {
  std::lock_guard<std::mutex> lock(gMemoryMu);
  return memory_blocks().count(reinterpret_cast<Memory*>(h)) ? kOfxStatOK : kOfxStatErrBadHandle;
}

const OfxImageEffectSuiteV1 kImageEffectSuite = {
    getPropertySet,     getParamSet,      clipDefine,       clipGetHandle,
    clipGetPropertySet, clipGetImage,     clipReleaseImage, clipGetRegionOfDefinition,
    abortRender,        imageMemoryAlloc, imageMemoryFree,  imageMemoryLock,
    imageMemoryUnlock,
};

}  // namespace

const OfxImageEffectSuiteV1* image_effect_suite() { return &kImageEffectSuite; }

void drop_images_of(const InstanceState* owner) {
  std::vector<std::unique_ptr<HostImage>> gone;
  Images& all = images();
  std::lock_guard<std::mutex> lock(all.mu);
  for (auto it = all.held.begin(); it != all.held.end();) {
    if (it->second->owner == owner) {
      gone.push_back(std::move(it->second));
      it = all.held.erase(it);
    } else {
      ++it;
    }
  }
}

Clip* InstanceState::clip(const std::string& name) const {
  for (const auto& c : clips)
    if (c->name == name) return c.get();
  return nullptr;
}

}  // namespace ofxhost::detail
