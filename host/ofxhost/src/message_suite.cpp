// OfxMessageSuiteV1/V2: messages are recorded, never printed.
#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "host_internal.h"

namespace ofxhost::detail {
namespace {

std::mutex gLiveMu;
std::vector<PluginState*>& live_plugins() {
  static auto* v = new std::vector<PluginState*>;  // outlives late plug-in threads
  return *v;
}

std::string format_text(const char* format, va_list args) {
  if (!format) return {};
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return {};
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

OfxStatus record(void* handle, const char* type, const char* id, const char* format, va_list args) {
  Message m{type ? type : "", id ? id : "", format_text(format, args)};
  OfxStatus answer = m.type == kOfxMessageQuestion ? kOfxStatReplyYes : kOfxStatOK;
  if (!handle) {
    std::lock_guard<std::mutex> lock(gLiveMu);
    for (PluginState* p : live_plugins()) p->post(m);
    return answer;
  }
  LiveLock live(handle, Kind::Effect);
  if (!live) return kOfxStatErrBadHandle;
  auto* effect = static_cast<Effect*>(handle);
  if (InstanceState* inst = effect->instance) {
    std::lock_guard<std::mutex> lock(inst->mu);
    inst->messages.push_back(m);
  } else {
    effect->plugin->post(m);
    return answer;
  }
  std::function<void(const Message&)> sink;
  {
    std::lock_guard<std::mutex> lock(effect->plugin->msg_mu);
    sink = effect->plugin->sink;
  }
  if (sink) sink(m);
  return answer;
}

OfxStatus message(void* handle, const char* type, const char* id, const char* format, ...) {
  va_list args;
  va_start(args, format);
  OfxStatus st = record(handle, type, id, format, args);
  va_end(args);
  return st;
}

OfxStatus clearPersistentMessage(void*) { return kOfxStatOK; }

const OfxMessageSuiteV1 kMessageV1 = {message};
// A persistent message is recorded like any other; there is no panel to pin it to.
const OfxMessageSuiteV2 kMessageV2 = {message, message, clearPersistentMessage};

}  // namespace

const OfxMessageSuiteV1* message_suite_v1() { return &kMessageV1; }
const OfxMessageSuiteV2* message_suite_v2() { return &kMessageV2; }

void add_live_plugin(PluginState* p) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  live_plugins().push_back(p);
}

void remove_live_plugin(PluginState* p) {
  std::lock_guard<std::mutex> lock(gLiveMu);
  auto& v = live_plugins();
  v.erase(std::remove(v.begin(), v.end(), p), v.end());
}

void PluginState::post(const Message& m) {
  std::function<void(const Message&)> s;
  {
    std::lock_guard<std::mutex> lock(msg_mu);
    messages.push_back(m);
    s = sink;
  }
  if (s) s(m);
}

}  // namespace ofxhost::detail
