// The render action: the source premultiplied by the frame's matte, the
// matte alone, or the source, over the output image's bounds. Decoded mattes
// of the eight most recently decoded files stay in gCache.
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "image/image_io.h"
#include "image/matte_compose.h"
#include "plugin/matte_store.h"
#include "plugin/render.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "suites/clip_time.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

struct Matte {
  std::vector<unsigned char> values;
  int width = 0;
  int height = 0;
};

// Entries are shared read-only with the renders using them, so a hit costs no
// copy of the grey values and an eviction never pulls them from under a render.
using CacheEntry = std::pair<std::string, std::shared_ptr<const Matte>>;

constexpr std::size_t kCacheSize = 8;
std::mutex gCacheMu;
std::deque<CacheEntry> gCache;

bool fetch_image(OfxImageEffectHandle effect, const char* clip_name, double time, HostImage* image) {
  OfxImageClipHandle clip = nullptr;
  gEffect->clipGetHandle(effect, clip_name, &clip, nullptr);
  if (!clip) {
    return false;
  }
  OfxPropertySetHandle handle = nullptr;
  if (gEffect->clipGetImage(clip, time, nullptr, &handle) != kOfxStatOK || !handle) {
    return false;
  }
  image->handle = handle;
  return true;
}

// Pixel pointer, row bytes and bounds of a host image; false when the host
// gives no data or no bounds, or rows too short for the bounds' width.
bool read_view(OfxPropertySetHandle image, std::size_t pixel_bytes, tessel::ImageView* view) {
  void* data = nullptr;
  int row_bytes = 0;
  int bounds[4] = {0, 0, 0, 0};
  gProp->propGetPointer(image, kOfxImagePropData, 0, &data);
  gProp->propGetInt(image, kOfxImagePropRowBytes, 0, &row_bytes);
  if (gProp->propGetIntN(image, kOfxImagePropBounds, 4, bounds) != kOfxStatOK || !data) {
    return false;
  }
  const long long width = static_cast<long long>(bounds[2]) - bounds[0];
  const long long height = static_cast<long long>(bounds[3]) - bounds[1];
  if (width < 0 || height < 0) {
    return false;
  }
  if (width > 0 && height > 1 && std::llabs(row_bytes) < width * static_cast<long long>(pixel_bytes)) {
    return false;
  }
  view->data = data;
  view->row_bytes = row_bytes;
  view->bounds = {bounds[0], bounds[1], bounds[2], bounds[3]};
  return true;
}

bool wants_straight(OfxPropertySetHandle image) {
  char* premult = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPreMultiplication, 0, &premult);
  return premult && std::strcmp(premult, kOfxImageUnPreMultiplied) == 0;
}

std::string pixel_depth(OfxPropertySetHandle image) {
  char* depth = nullptr;
  gProp->propGetString(image, kOfxImageEffectPropPixelDepth, 0, &depth);
  return depth ? depth : "";
}

// clip_start as the launcher writes it ("10.000000"); text that holds no
// number counts as 0, like a C atof.
double parse_clip_start(const std::string& text) {
  const char* first = text.c_str();
  const char* last = first + text.size();
  while (first < last && (*first == ' ' || *first == '\t')) {
    ++first;
  }
  if (first < last && *first == '+') {
    ++first;
  }
  double value = 0.0;
  const auto result = std::from_chars(first, last, value);
  return result.ec == std::errc() ? value : 0.0;
}

// The matte index of a render time: nearest whole number, halves away from
// zero; -1 when there is none (before the clip, or not a usable number).
int matte_index(double time, double clip_start) {
  const double index = std::round(time - clip_start);
  if (!(index >= 0.0) || index > INT_MAX) {
    return -1;
  }
  return static_cast<int>(index);
}

std::shared_ptr<const Matte> cached_matte(const std::string& path) {
  std::lock_guard<std::mutex> lock(gCacheMu);
  for (const CacheEntry& entry : gCache) {
    if (entry.first == path) {
      return entry.second;  // a hit leaves the entry where it is
    }
  }
  // Decoded under the lock: renders needing the cache wait rather than all
  // decoding the same file at once.
  auto matte = std::make_shared<Matte>();
  matte->values = tessel::load_gray(path, &matte->width, &matte->height);
  if (matte->values.empty()) {
    return nullptr;  // not cached: a file written later is found next time
  }
  gCache.emplace_front(path, matte);
  if (gCache.size() > kCacheSize) {
    gCache.pop_back();
  }
  return matte;
}

std::shared_ptr<const Matte> find_matte(OfxImageEffectHandle effect, double time) {
  const std::string session = get_string(effect, params::kSessionId);
  if (session.empty() || !is_valid_session_id(session)) {
    return nullptr;
  }
  // clip_start is the clip's own number of matte 0, so the render time is
  // taken to the clip's frame first: a trimmed clip counted from its
  // in-point still reads the matte of each of its frames.
  const double frame = time + read_clip_time(effect).offset;
  const int index = matte_index(frame, parse_clip_start(get_string(effect, params::kClipStart)));
  if (index < 0 || !working_root_usable()) {
    return nullptr;
  }
  return cached_matte(temp_root() + session + "/" +
                      protocol::indexed_file_name(index, protocol::kMatteExtension));
}

}  // namespace

OfxStatus render(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  if (!gEffect || !gProp) {
    return kOfxStatFailed;
  }
  double time = 0.0;
  if (inArgs) {
    gProp->propGetDouble(inArgs, kOfxPropTime, 0, &time);
  }
  // Declared in this order so that the source is released first.
  HostImage output;
  HostImage source;
  if (!fetch_image(effect, kOfxImageEffectSimpleSourceClipName, time, &source)) {
    return kOfxStatFailed;
  }
  if (!fetch_image(effect, kOfxImageEffectOutputClipName, time, &output)) {
    return kOfxStatFailed;
  }
  const std::string depth = pixel_depth(output.handle);
  const bool is_float = depth == kOfxBitDepthFloat;
  // Reading a byte image as float would run past its rows.
  const std::string source_depth = pixel_depth(source.handle);
  if (!source_depth.empty() && (source_depth == kOfxBitDepthFloat) != is_float) {
    return kOfxStatFailed;
  }
  const std::size_t pixel_bytes = is_float ? 16 : 4;
  tessel::ImageView src;
  tessel::ImageView out;
  if (!read_view(source.handle, pixel_bytes, &src) || !read_view(output.handle, pixel_bytes, &out)) {
    return kOfxStatFailed;
  }

  const int mode = get_int(effect, params::kOutputMode, 0);
  std::shared_ptr<const Matte> matte;
  if (mode != 2) {
    matte = find_matte(effect, time);
  }
  tessel::GrayView gray;
  if (matte) {
    gray = {matte->values.data(), matte->width, matte->height};
  }
  // Some hosts take the output as unpremultiplied whatever the clip
  // preferences say; they get straight colour with the matte as alpha, or
  // the character comes out dark-edged when they composite it.
  tessel::compose_matte(src, out, is_float ? tessel::PixelDepth::Float : tessel::PixelDepth::Byte,
                        matte ? &gray : nullptr, mode == 1, wants_straight(output.handle));
  return kOfxStatOK;
}
