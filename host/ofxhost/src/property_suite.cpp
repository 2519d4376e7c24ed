// OfxPropertySuiteV1 over the host's PropertySet.
//
// Properties are strictly typed: the first write creates a property with the
// writer's type, and a read or write of another type answers kOfxStatErrValue,
// so a plug-in that mixes up int and double is caught here rather than by a
// real host. Strings handed out point into the set's own storage.
#include <type_traits>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

template <typename T>
struct Slot;
template <>
struct Slot<void*> {
  static constexpr Property::Type type = Property::Type::Pointer;
  static std::vector<void*>& of(Property& p) { return p.pointers; }
};
template <>
struct Slot<std::string> {
  static constexpr Property::Type type = Property::Type::String;
  static std::vector<std::string>& of(Property& p) { return p.strings; }
};
template <>
struct Slot<double> {
  static constexpr Property::Type type = Property::Type::Double;
  static std::vector<double>& of(Property& p) { return p.doubles; }
};
template <>
struct Slot<int> {
  static constexpr Property::Type type = Property::Type::Int;
  static std::vector<int>& of(Property& p) { return p.ints; }
};

PropertySet* set_of(OfxPropertySetHandle h) { return reinterpret_cast<PropertySet*>(h); }

std::string stored(const char* s) { return s ? std::string(s) : std::string(); }
template <typename T>
T stored(T v) {
  return v;
}

// Writes values[0..count) at index..index+count, growing the property as needed.
template <typename T, typename In>
OfxStatus set_values(OfxPropertySetHandle h, const char* name, int index, int count, const In* values) {
  PropertySet* set = set_of(h);
  if (!set || !name) return kOfxStatErrBadHandle;
  if (index < 0 || count < 0 || (count > 0 && !values)) return kOfxStatErrBadIndex;
  std::lock_guard<std::recursive_mutex> lock(set->mu);
  auto it = set->props.find(name);
  if (it == set->props.end()) {
    Property p;
    p.type = Slot<T>::type;
    it = set->props.emplace(name, std::move(p)).first;
  } else if (it->second.type != Slot<T>::type) {
    return kOfxStatErrValue;
  }
  std::vector<T>& v = Slot<T>::of(it->second);
  if (static_cast<size_t>(index) + count > v.size()) v.resize(static_cast<size_t>(index) + count);
  for (int i = 0; i < count; ++i) v[index + i] = stored(values[i]);
  return kOfxStatOK;
}

template <typename T, typename Out>
OfxStatus get_values(OfxPropertySetHandle h, const char* name, int index, int count, Out* out) {
  PropertySet* set = set_of(h);
  if (!set || !name) return kOfxStatErrBadHandle;
  if (!out && count > 0) return kOfxStatErrBadIndex;
  std::lock_guard<std::recursive_mutex> lock(set->mu);
  auto it = set->props.find(name);
  if (it == set->props.end()) return kOfxStatErrUnknown;
  if (it->second.type != Slot<T>::type) return kOfxStatErrValue;
  std::vector<T>& v = Slot<T>::of(it->second);
  if (index < 0 || count < 0 || static_cast<size_t>(index) + count > v.size()) return kOfxStatErrBadIndex;
  for (int i = 0; i < count; ++i) {
    if constexpr (std::is_same_v<T, std::string>) {
      out[i] = const_cast<char*>(v[index + i].c_str());
    } else {
      out[i] = v[index + i];
    }
  }
  return kOfxStatOK;
}

OfxStatus propSetPointer(OfxPropertySetHandle h, const char* n, int i, void* v) {
  return set_values<void*>(h, n, i, 1, &v);
}
OfxStatus propSetString(OfxPropertySetHandle h, const char* n, int i, const char* v) {
  return set_values<std::string>(h, n, i, 1, &v);
}
OfxStatus propSetDouble(OfxPropertySetHandle h, const char* n, int i, double v) {
  return set_values<double>(h, n, i, 1, &v);
}
OfxStatus propSetInt(OfxPropertySetHandle h, const char* n, int i, int v) {
  return set_values<int>(h, n, i, 1, &v);
}
OfxStatus propSetPointerN(OfxPropertySetHandle h, const char* n, int c, void* const* v) {
  return set_values<void*>(h, n, 0, c, v);
}
OfxStatus propSetStringN(OfxPropertySetHandle h, const char* n, int c, const char* const* v) {
  return set_values<std::string>(h, n, 0, c, v);
}
OfxStatus propSetDoubleN(OfxPropertySetHandle h, const char* n, int c, const double* v) {
  return set_values<double>(h, n, 0, c, v);
}
OfxStatus propSetIntN(OfxPropertySetHandle h, const char* n, int c, const int* v) {
  return set_values<int>(h, n, 0, c, v);
}
OfxStatus propGetPointer(OfxPropertySetHandle h, const char* n, int i, void** v) {
  return get_values<void*>(h, n, i, 1, v);
}
OfxStatus propGetString(OfxPropertySetHandle h, const char* n, int i, char** v) {
  return get_values<std::string>(h, n, i, 1, v);
}
OfxStatus propGetDouble(OfxPropertySetHandle h, const char* n, int i, double* v) {
  return get_values<double>(h, n, i, 1, v);
}
OfxStatus propGetInt(OfxPropertySetHandle h, const char* n, int i, int* v) {
  return get_values<int>(h, n, i, 1, v);
}
OfxStatus propGetPointerN(OfxPropertySetHandle h, const char* n, int c, void** v) {
  return get_values<void*>(h, n, 0, c, v);
}
OfxStatus propGetStringN(OfxPropertySetHandle h, const char* n, int c, char** v) {
  return get_values<std::string>(h, n, 0, c, v);
}
OfxStatus propGetDoubleN(OfxPropertySetHandle h, const char* n, int c, double* v) {
  return get_values<double>(h, n, 0, c, v);
}
OfxStatus propGetIntN(OfxPropertySetHandle h, const char* n, int c, int* v) {
  return get_values<int>(h, n, 0, c, v);
}

// No property has a declared default here, so a reset zeroes every value and
// keeps the dimension.
OfxStatus propReset(OfxPropertySetHandle h, const char* name) {
  PropertySet* set = set_of(h);
  if (!set || !name) return kOfxStatErrBadHandle;
  std::lock_guard<std::recursive_mutex> lock(set->mu);
  auto it = set->props.find(name);
  if (it == set->props.end()) return kOfxStatErrUnknown;
  Property& p = it->second;
  for (auto& s : p.strings) s.clear();
  for (auto& i : p.ints) i = 0;
  for (auto& d : p.doubles) d = 0.0;
  for (auto& q : p.pointers) q = nullptr;
  return kOfxStatOK;
}

OfxStatus propGetDimension(OfxPropertySetHandle h, const char* name, int* count) {
  PropertySet* set = set_of(h);
  if (!set || !name || !count) return kOfxStatErrBadHandle;
  std::lock_guard<std::recursive_mutex> lock(set->mu);
  if (!set->props.count(name)) return kOfxStatErrUnknown;
  *count = set->dimension(name);
  return kOfxStatOK;
}

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer,  propSetString,  propSetDouble,  propSetInt,    propSetPointerN, propSetStringN,
    propSetDoubleN,  propSetIntN,    propGetPointer, propGetString, propGetDouble,   propGetInt,
    propGetPointerN, propGetStringN, propGetDoubleN, propGetIntN,   propReset,       propGetDimension,
};

}  // namespace

const OfxPropertySuiteV1* property_suite() { return &kPropertySuite; }

}  // namespace ofxhost::detail
