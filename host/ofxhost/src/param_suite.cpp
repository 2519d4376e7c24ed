// OfxParameterSuiteV1: parameter descriptors, instances and their values.
//
// Values do not animate: the AtTime variants read and write the one value.
// A write from the plug-in does not send instanceChanged back to it (a host
// may, but nothing here needs it), and is kept in the parameter's history
// when the parameter holds text.
#include <cmath>
#include <cstdarg>
#include <unordered_map>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

enum class ValueKind { Int, Double, String, None };

struct TypeInfo {
  const char* type;
  ValueKind kind;
  int dims;
};

const TypeInfo kTypes[] = {
    {kOfxParamTypeInteger, ValueKind::Int, 1},     {kOfxParamTypeBoolean, ValueKind::Int, 1},
    {kOfxParamTypeChoice, ValueKind::Int, 1},      {kOfxParamTypeInteger2D, ValueKind::Int, 2},
    {kOfxParamTypeInteger3D, ValueKind::Int, 3},   {kOfxParamTypeDouble, ValueKind::Double, 1},
    {kOfxParamTypeDouble2D, ValueKind::Double, 2}, {kOfxParamTypeDouble3D, ValueKind::Double, 3},
    {kOfxParamTypeRGB, ValueKind::Double, 3},      {kOfxParamTypeRGBA, ValueKind::Double, 4},
    {kOfxParamTypeString, ValueKind::String, 1},   {kOfxParamTypeStrChoice, ValueKind::String, 1},
    {kOfxParamTypeCustom, ValueKind::String, 1},   {kOfxParamTypePushButton, ValueKind::None, 0},
    {kOfxParamTypeGroup, ValueKind::None, 0},      {kOfxParamTypePage, ValueKind::None, 0},
    {kOfxParamTypeBytes, ValueKind::None, 0},      {kOfxParamTypeParametric, ValueKind::None, 0},
};

const TypeInfo* info_of(const std::string& type) {
  for (const TypeInfo& t : kTypes)
    if (type == t.type) return &t;
  return nullptr;
}

Param* param_of(OfxParamHandle h) { return reinterpret_cast<Param*>(h); }
ParamSet* set_of(OfxParamSetHandle h) { return reinterpret_cast<ParamSet*>(h); }

// The text handed out by a get stays valid until this thread's next get of
// the same parameter, whatever other threads write meanwhile.
const char* hand_out(const Param* p, const std::string& text) {
  thread_local std::unordered_map<const Param*, std::string> handed;
  std::string& slot = handed[p];
  slot = text;
  return slot.c_str();
}

OfxStatus get_value(OfxParamHandle h, va_list args) {
  LiveLock live(h, Kind::Param);
  if (!live) return kOfxStatErrBadHandle;
  Param* p = param_of(h);
  if (p->descriptor) return kOfxStatErrBadHandle;
  const TypeInfo* t = info_of(p->type);
  std::lock_guard<std::mutex> lock(p->mu);
  switch (t->kind) {
    case ValueKind::Int:
      for (int i = 0; i < t->dims; ++i)
        if (int* out = va_arg(args, int*)) *out = p->ints[i];
      return kOfxStatOK;
    case ValueKind::Double:
      for (int i = 0; i < t->dims; ++i)
        if (double* out = va_arg(args, double*)) *out = p->doubles[i];
      return kOfxStatOK;
    case ValueKind::String:
      if (const char** out = va_arg(args, const char**)) *out = hand_out(p, p->text);
      return kOfxStatOK;
    case ValueKind::None:
      break;
  }
  return kOfxStatErrUnsupported;
}

OfxStatus set_value(OfxParamHandle h, va_list args) {
  LiveLock live(h, Kind::Param);
  if (!live) return kOfxStatErrBadHandle;
  Param* p = param_of(h);
  if (p->descriptor) return kOfxStatErrBadHandle;
  const TypeInfo* t = info_of(p->type);
  std::lock_guard<std::mutex> lock(p->mu);
  switch (t->kind) {
    case ValueKind::Int:
      for (int i = 0; i < t->dims; ++i) p->ints[i] = va_arg(args, int);
      return kOfxStatOK;
    case ValueKind::Double:
      for (int i = 0; i < t->dims; ++i) p->doubles[i] = va_arg(args, double);
      return kOfxStatOK;
    case ValueKind::String: {
      const char* text = va_arg(args, const char*);
      p->text = text ? text : "";
      p->history.push_back(p->text);
      return kOfxStatOK;
    }
    case ValueKind::None:
      break;
  }
  return kOfxStatErrUnsupported;
}

OfxStatus paramDefine(OfxParamSetHandle set_handle, const char* type, const char* name,
                      OfxPropertySetHandle* props) {
  LiveLock live(set_handle, Kind::ParamSet);
  if (!live || !type || !name) return kOfxStatErrBadHandle;
  ParamSet* set = set_of(set_handle);
  if (!set->descriptor) return kOfxStatErrBadHandle;
  if (!info_of(type)) return kOfxStatErrUnknown;
  Param* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(set->mu);
    if (set->find(name)) return kOfxStatErrExists;
    auto made = std::make_unique<Param>();
    made->name = name;
    made->type = type;
    fill_descriptor_defaults(*made);
    p = made.get();
    set->params.push_back(std::move(made));
  }
  live.unlock();
  register_handle(p, Kind::Param);
  if (props) *props = handle_of(p->props);
  return kOfxStatOK;
}

OfxStatus paramGetHandle(OfxParamSetHandle set_handle, const char* name, OfxParamHandle* param,
                         OfxPropertySetHandle* props) {
  LiveLock live(set_handle, Kind::ParamSet);
  if (!live || !name || !param) return kOfxStatErrBadHandle;
  ParamSet* set = set_of(set_handle);
  Param* p = nullptr;
  {
    std::lock_guard<std::mutex> lock(set->mu);
    p = set->find(name);
  }
  if (!p) return kOfxStatErrUnknown;
  *param = reinterpret_cast<OfxParamHandle>(p);
  if (props) *props = handle_of(p->props);
  return kOfxStatOK;
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle set_handle, OfxPropertySetHandle* props) {
  LiveLock live(set_handle, Kind::ParamSet);
  if (!live || !props) return kOfxStatErrBadHandle;
  *props = handle_of(set_of(set_handle)->props);
  return kOfxStatOK;
}

OfxStatus paramGetPropertySet(OfxParamHandle h, OfxPropertySetHandle* props) {
  LiveLock live(h, Kind::Param);
  if (!live || !props) return kOfxStatErrBadHandle;
  *props = handle_of(param_of(h)->props);
  return kOfxStatOK;
}

OfxStatus paramGetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  OfxStatus st = get_value(h, args);
  va_end(args);
  return st;
}

OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  OfxStatus st = get_value(h, args);
  va_end(args);
  return st;
}

OfxStatus paramSetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  OfxStatus st = set_value(h, args);
  va_end(args);
  return st;
}

OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  OfxStatus st = set_value(h, args);
  va_end(args);
  return st;
}

OfxStatus paramGetDerivative(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus paramGetIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return kOfxStatErrUnsupported; }

// No keys ever exist: values do not animate.
OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int* n) {
  LiveLock live(h, Kind::Param);
  if (!live || !n) return kOfxStatErrBadHandle;
  *n = 0;
  return kOfxStatOK;
}
OfxStatus paramGetKeyTime(OfxParamHandle, unsigned int, OfxTime*) { return kOfxStatErrBadIndex; }
OfxStatus paramGetKeyIndex(OfxParamHandle, OfxTime, int, int*) { return kOfxStatFailed; }
OfxStatus paramDeleteKey(OfxParamHandle, OfxTime) { return kOfxStatErrBadIndex; }
OfxStatus paramDeleteAllKeys(OfxParamHandle) { return kOfxStatOK; }
OfxStatus paramCopy(OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*) {
  return kOfxStatErrUnsupported;
}
// Undo blocks mean nothing without an undo stack.
OfxStatus paramEditBegin(OfxParamSetHandle, const char*) { return kOfxStatOK; }
OfxStatus paramEditEnd(OfxParamSetHandle) { return kOfxStatOK; }

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,         paramGetHandle,     paramSetGetPropertySet, paramGetPropertySet, paramGetValue,
    paramGetValueAtTime, paramGetDerivative, paramGetIntegral,       paramSetValue,       paramSetValueAtTime,
    paramGetNumKeys,     paramGetKeyTime,    paramGetKeyIndex,       paramDeleteKey,      paramDeleteAllKeys,
    paramCopy,           paramEditBegin,     paramEditEnd,
};

}  // namespace

const OfxParameterSuiteV1* parameter_suite() { return &kParameterSuite; }

Param* ParamSet::find(const std::string& name) const {
  for (const auto& p : params)
    if (p->name == name) return p.get();
  return nullptr;
}

bool is_string_type(const std::string& type) {
  const TypeInfo* t = info_of(type);
  return t && t->kind == ValueKind::String;
}

void fill_descriptor_defaults(Param& p) {
  PropertySet& s = p.props;
  s.set_str(kOfxPropType, {kOfxTypeParameter});
  s.set_str(kOfxParamPropType, {p.type});
  s.set_str(kOfxPropName, {p.name});
  s.set_str(kOfxPropLabel, {p.name});
  s.set_str(kOfxParamPropScriptName, {p.name});
  s.set_str(kOfxParamPropHint, {""});
  s.set_str(kOfxParamPropParent, {""});
  s.set_int(kOfxParamPropSecret, {0});
  s.set_int(kOfxParamPropEnabled, {1});
  s.set_int(kOfxParamPropEvaluateOnChange, {1});
  s.set_int(kOfxParamPropPersistant, {1});
  s.set_int(kOfxParamPropCanUndo, {1});
  // No default is preset: a test of the plug-in can tell "none set" from "set
  // to zero", and the instance falls back to zero or "" when none is set.
  const TypeInfo* t = info_of(p.type);
  if (t->kind != ValueKind::None) s.set_int(kOfxParamPropAnimates, {t->kind == ValueKind::Double});
  if (p.type == kOfxParamTypeChoice) s.set_str(kOfxParamPropChoiceOption, {});
}

std::unique_ptr<Param> instantiate(const Param& d) {
  auto p = std::make_unique<Param>();
  p->name = d.name;
  p->type = d.type;
  p->props = d.props;
  p->descriptor = false;
  p->props.set_str(kOfxPropType, {kOfxTypeParameterInstance});
  const TypeInfo* t = info_of(d.type);
  // A default the plug-in wrote with the other numeric type still counts.
  auto number = [&](int i) {
    if (d.props.dimension(kOfxParamPropDefault) <= i) return 0.0;
    double v = d.props.dbl(kOfxParamPropDefault, i, NAN);
    return std::isnan(v) ? d.props.integer(kOfxParamPropDefault, i, 0) : v;
  };
  switch (t->kind) {
    case ValueKind::Int:
      for (int i = 0; i < t->dims; ++i) p->ints.push_back(static_cast<int>(std::lround(number(i))));
      break;
    case ValueKind::Double:
      for (int i = 0; i < t->dims; ++i) p->doubles.push_back(number(i));
      break;
    case ValueKind::String:
      p->text = d.props.str(kOfxParamPropDefault);
      break;
    case ValueKind::None:
      break;
  }
  return p;
}

}  // namespace ofxhost::detail
