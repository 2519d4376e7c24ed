#include "http_api.h"

#include "matte_request.h"
#include "protocol/api.h"
#include "protocol/json_text.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <vector>

namespace tessel {
namespace {

using nlohmann::json;

// One request on its way through the API: `reader` is null for methods
// without a body, `args` are the path segments its route's "*" stand for.
struct Call {
  const httplib::Request& req;
  httplib::Response& res;
  const httplib::ContentReader* reader;
  std::vector<std::string> args;
};

using Handler = void (*)(const ApiContext& ctx, Call& call);
void health(const ApiContext& ctx, Call& call);
void beacon(const ApiContext& ctx, Call& call);
void create_session(const ApiContext& ctx, Call& call);
void poll_session(const ApiContext& ctx, Call& call);
void start_session(const ApiContext& ctx, Call& call);
void cancel_session(const ApiContext& ctx, Call& call);
void upload_frame(const ApiContext& ctx, Call& call);
void download_matte(const ApiContext& ctx, Call& call);

struct Route {
  const char* method;
  std::string path;  // below the prefix; "*" stands for any one segment
  Handler handle;
};

const std::string kSessions = protocol::kSessionsPath;
const std::string kSession = kSessions + "/*";

// Every route of the API: /healthz, /api/beacon, /api/matte/sessions, and
// below it <id>, <id>/start, <id>/cancel, <id>/frames/<i>, <id>/alpha/<i>.png. A path no
// route has is answered 404, a path whose route is for another method 405.
const Route kRoutes[] = {
    {"GET", protocol::kHealthPath, health},
    {"POST", protocol::kBeaconPath, beacon},
    {"POST", kSessions, create_session},
    {"GET", kSession, poll_session},
    {"POST", kSession + "/" + protocol::kStartSegment, start_session},
    {"POST", kSession + "/" + protocol::kCancelSegment, cancel_session},
    {"PUT", kSession + "/" + protocol::kFramesSegment + "/*", upload_frame},
    {"GET", kSession + "/" + protocol::kAlphaSegment + "/*", download_matte},
};

// Bodies up to this size are read and dropped when a request is refused, so
// that the connection stays usable; larger ones close it instead.
constexpr long long kDrainBytes = 4LL << 20;

std::vector<std::string> split_path(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 1;  // paths begin with "/"
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Frame indices are plain decimal; anything else names no frame.
bool parse_index(const std::string& text, long long* out) {
  if (text.empty() || text.size() > 9) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

void answer_text(httplib::Response& res, int code, const std::string& text) {
  res.status = code;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void answer_json(httplib::Response& res, const json& doc) {
  res.status = 200;
  res.set_content(protocol::dump_compact(doc), protocol::kJsonMediaType);
}

void answer(httplib::Response& res, const Answer& a) {
  if (a.code == 200) {
    answer_json(res, json{{"ok", true}});
  } else {
    answer_text(res, a.code, a.text);
  }
}

long long declared_length(const httplib::Request& req) {
  if (!req.has_header("Content-Length")) return -1;
  return static_cast<long long>(req.get_header_value<uint64_t>("Content-Length"));
}

// A refused request whose body was not read: read small ones to the end so
// the client's connection can be reused, and close the connection otherwise.
void discard_body(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader* reader) {
  long long length = declared_length(req);
  if (!reader) {
    if (length > 0 || req.has_header("Transfer-Encoding")) res.set_header("Connection", "close");
    return;
  }
  if (length > kDrainBytes) {
    res.set_header("Connection", "close");
    return;
  }
  long long seen = 0;
  bool ok = (*reader)([&seen](const char*, size_t n) {
    seen += static_cast<long long>(n);
    return seen <= kDrainBytes;
  });
  if (!ok) res.set_header("Connection", "close");
}

// Reads a JSON body of at most `limit` bytes; false after answering.
bool read_small_body(const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& reader, long long limit, std::string* body) {
  if (declared_length(req) > limit) {
    answer_text(res, 413, "body larger than " + std::to_string(limit) + " bytes");
    res.set_header("Connection", "close");
    return false;
  }
  bool too_big = false;
  bool ok = reader([&](const char* data, size_t n) {
    if (static_cast<long long>(body->size() + n) > limit) {
      too_big = true;
      return false;
    }
    body->append(data, n);
    return true;
  });
  if (too_big || !ok) {
    answer_text(res, too_big ? 413 : 400,
                too_big ? "body larger than " + std::to_string(limit) + " bytes" : "body cut short");
    res.set_header("Connection", "close");
    return false;
  }
  return true;
}

void create_session(const ApiContext& ctx, Call& call) {
  std::string body;
  if (!read_small_body(call.req, call.res, *call.reader, kMaxJsonBytes, &body)) return;
  json doc = json::parse(body, nullptr, false);
  if (!doc.is_object()) return answer_text(call.res, 400, "body is not a JSON object");
  double fps = 0;
  if (auto it = doc.find(protocol::key::kFps); it != doc.end()) {
    if (!it->is_number() || !(it->get<double>() > 0) || it->get<double>() > 10000) {
      return answer_text(call.res, 400, "fps must be a positive number");
    }
    fps = it->get<double>();
  }
  std::string id;
  Answer a = ctx.store->create(fps, &id);
  if (a.code != 200) return answer(call.res, a);
  answer_json(call.res, json{{protocol::key::kSessionId, id}});
}

void upload_frame(const ApiContext& ctx, Call& call) {
  const std::string& id = call.args[0];
  long long index = 0;
  if (!parse_index(call.args[1], &index)) {
    discard_body(call.req, call.res, call.reader);
    return answer_text(call.res, 404, "no such frame index");
  }
  UploadTicket ticket;
  Answer a = ctx.store->begin_upload(id, index, declared_length(call.req), &ticket);
  if (a.code != 200) {
    discard_body(call.req, call.res, call.reader);
    return answer(call.res, a);
  }
  bool ok = (*call.reader)([&](const char* data, size_t n) {
    a = ctx.store->write_upload(&ticket, data, n);
    return a.code == 200;
  });
  if (a.code != 200 || !ok) {
    call.res.set_header("Connection", "close");
    return answer(call.res, a.code != 200 ? a : Answer{400, "frame body cut short"});
  }
  answer(call.res, ctx.store->finish_upload(&ticket));
}

void start_session(const ApiContext& ctx, Call& call) {
  const std::string& id = call.args[0];
  std::string body;
  if (!read_small_body(call.req, call.res, *call.reader, kMaxJsonBytes, &body)) return;
  EngineRequest request;
  std::string why;
  if (!parse_matte_request(body, &request, &why)) return answer_text(call.res, 400, why);
  Answer a = ctx.store->start(id, request);
  if (a.code != 200) return answer(call.res, a);
  ctx.queue->push(id);
  answer_json(call.res, json{{protocol::key::kStatus, status_name(SessionStatus::Queued)}});
}

// The body, if any, means nothing: the path says it all.
void cancel_session(const ApiContext& ctx, Call& call) {
  const std::string& id = call.args[0];
  discard_body(call.req, call.res, call.reader);
  Answer a = ctx.store->cancel(id);
  if (a.code != 200) return answer(call.res, a);
  ctx.queue->cancel(id);
  answer_json(call.res, json{{protocol::key::kStatus, status_name(SessionStatus::Cancelled)}});
}

void poll_session(const ApiContext& ctx, Call& call) {
  const std::string& id = call.args[0];
  SessionView v;
  if (!ctx.store->view(id, &v)) return answer_text(call.res, 404, "unknown session");
  std::string stage = v.stage;
  if (v.status == SessionStatus::Queued) {
    int ahead = ctx.queue->position(id);
    if (ahead > 0) stage = "queued, " + std::to_string(ahead) + " ahead";
  } else if (v.status == SessionStatus::Uploading) {
    stage = std::to_string(v.frames) + " frames received";
  }
  json doc{{protocol::key::kStatus, status_name(v.status)},
           {protocol::key::kProgress, {{protocol::key::kStage, stage}}},
           {protocol::key::kFrames, v.frames}};
  if (v.status == SessionStatus::Failed) doc[protocol::key::kError] = v.error;
  answer_json(call.res, doc);
}

void download_matte(const ApiContext& ctx, Call& call) {
  const std::string& id = call.args[0];
  const std::string& file = call.args[1];
  httplib::Response& res = call.res;
  long long index = 0;
  const std::string ext = protocol::kMatteExtension;
  if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0 ||
      !parse_index(file.substr(0, file.size() - ext.size()), &index)) {
    return answer_text(res, 404, "no such matte");
  }
  std::string path;
  Answer a = ctx.store->matte_file(id, index, &path);
  if (a.code != 200) return answer(res, a);
  auto in = std::make_shared<std::ifstream>(path, std::ios::binary);
  struct stat st;
  if (!*in || ::stat(path.c_str(), &st) != 0) return answer_text(res, 404, "no matte for frame " + file);
  // Streamed in pieces: a matte is never held whole by the server.
  res.status = 200;
  res.set_content_provider(static_cast<size_t>(st.st_size), "image/png",
                           [in](size_t offset, size_t length, httplib::DataSink& sink) {
                             char buf[64 * 1024];
                             in->seekg(static_cast<std::streamoff>(offset));
                             in->read(buf, static_cast<std::streamsize>(std::min(length, sizeof buf)));
                             std::streamsize got = in->gcount();
                             return got > 0 && sink.write(buf, static_cast<size_t>(got));
                           });
}

void beacon(const ApiContext& ctx, Call& call) {
  std::string body;
  if (!read_small_body(call.req, call.res, *call.reader, 64 * 1024, &body)) return;
  if (!json::parse(body, nullptr, false).is_object())
    return answer_text(call.res, 400, "body is not a JSON object");
  answer_json(call.res, json{{"beacons", ctx.store->count_beacon()}});
}

void health(const ApiContext& ctx, Call& call) {
  StoreStats st = ctx.store->stats();
  answer_json(call.res, json{{"status", "ok"},
                             {"sessions", st.sessions},
                             {"live", st.live},
                             {"disk_bytes", st.disk_bytes},
                             {"beacons", st.beacons}});
}

// True when `segments` have the shape of `pattern`; the segments its "*"
// stand for go to *args.
bool matches(const std::string& pattern, const std::vector<std::string>& segments,
             std::vector<std::string>* args) {
  args->clear();
  std::vector<std::string> want = split_path(pattern);
  if (want.size() != segments.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (want[i] == "*") {
      args->push_back(segments[i]);
    } else if (want[i] != segments[i]) {
      return false;
    }
  }
  return true;
}

// One entry for every request; `reader` is null for methods without a body.
void route(const ApiContext& ctx, const httplib::Request& req, httplib::Response& res,
           const httplib::ContentReader* reader) {
  const std::string& path = req.path;
  const std::string& p = ctx.prefix;
  if (path.compare(0, p.size(), p) != 0 || path.size() == p.size() || path[p.size()] != '/') {
    discard_body(req, res, reader);
    return answer_text(res, 404, "not found");
  }
  const std::vector<std::string> segments = split_path(path.substr(p.size()));
  Call call{req, res, reader, {}};
  bool other_method = false;
  for (const Route& r : kRoutes) {
    if (!matches(r.path, segments, &call.args)) continue;
    if (req.method == r.method) return r.handle(ctx, call);
    other_method = true;
  }
  discard_body(req, res, reader);
  if (other_method) {
    answer_text(res, 405, "method not allowed");
  } else {
    answer_text(res, 404, "not found");
  }
}

}  // namespace

void install_api(httplib::Server* http, const ApiContext& context) {
  auto ctx = std::make_shared<const ApiContext>(context);
  auto plain = [ctx](const httplib::Request& req, httplib::Response& res) { route(*ctx, req, res, nullptr); };
  auto with_body = [ctx](const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader) { route(*ctx, req, res, &reader); };
  http->Get(".*", plain);
  http->Options(".*", plain);
  http->Post(".*", with_body);
  http->Put(".*", with_body);
  http->Patch(".*", with_body);
  http->Delete(".*", with_body);
  // A handler that throws answers 500 with a short text instead of the exception's words.
  http->set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
    answer_text(res, 500, "internal error");
  });
}

}  // namespace tessel
