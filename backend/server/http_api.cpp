#include "http_api.h"

#include "matte_request.h"
#include "protocol/api.h"
#include "protocol/json_text.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace tessel {
namespace {

using nlohmann::json;

// A request's body as its handler reads it: already in, at most a little
// over kMaxJsonBytes, handed to `receive` in one piece.
using BodyReader = std::function<bool(const std::function<bool(const char*, size_t)>& receive)>;
struct Stream;

// One request on its way through the API: `reader` replays its body, `args`
// are the path segments its route's "*" stand for.
struct Call {
  const HttpRequest& req;
  HttpResponse& res;
  const BodyReader* reader;
  std::vector<std::string> args;
  Stream* stream = nullptr;  // for the routes that take their body as it arrives
};

using Handler = void (*)(const ApiContext& ctx, Call& call);
// Called once the headers are in, for routes that take their body as it
// arrives: it sets the exchange's `take`, or leaves it unset to refuse.
using Starter = void (*)(const ApiContext& ctx, Call& call, Stream* stream);
void health(const ApiContext& ctx, Call& call);
void beacon(const ApiContext& ctx, Call& call);
void create_session(const ApiContext& ctx, Call& call);
void poll_session(const ApiContext& ctx, Call& call);
void start_session(const ApiContext& ctx, Call& call);
void cancel_session(const ApiContext& ctx, Call& call);
void upload_frame(const ApiContext& ctx, Call& call);
void upload_frame_begin(const ApiContext& ctx, Call& call, Stream* stream);
void download_matte(const ApiContext& ctx, Call& call);

struct Route {
  const char* method;
  std::string path;  // below the prefix; "*" stands for any one segment
  Handler handle;
  Starter stream = nullptr;
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
    {"PUT", kSession + "/" + protocol::kFramesSegment + "/*", upload_frame, upload_frame_begin},
    {"GET", kSession + "/" + protocol::kAlphaSegment + "/*", download_matte},
};

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

void answer_text(HttpResponse& res, int code, const std::string& text) {
  res.status = code;
  res.set_content(text + "\n", "text/plain; charset=utf-8");
}

void answer_json(HttpResponse& res, const json& doc) {
  res.status = 200;
  res.set_content(protocol::dump_compact(doc), protocol::kJsonMediaType);
}

void answer(HttpResponse& res, const Answer& a) {
  if (a.code == 200) {
    answer_json(res, json{{"ok", true}});
  } else {
    answer_text(res, a.code, a.text);
  }
}

long long declared_length(const HttpRequest& req) { return req.content_length; }

// Reads a JSON body of at most `limit` bytes; false after answering.
bool read_small_body(const HttpRequest& req, HttpResponse& res, const BodyReader& reader, long long limit,
                     std::string* body) {
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

// A frame upload streams into its ticket as the body arrives; the answer
// is given once the whole body is in, or at once when it is refused.
struct Stream {
  HttpExchange* exchange = nullptr;  // while the route starts
  UploadTicket ticket;
  Answer refused;  // before the body
  Answer written;  // the last piece's
};

void upload_frame_begin(const ApiContext& ctx, Call& call, Stream* stream) {
  const std::string& id = call.args[0];
  long long index = 0;
  if (!parse_index(call.args[1], &index)) {
    stream->refused = {404, "no such frame index"};
    return;
  }
  stream->refused = ctx.store->begin_upload(id, index, declared_length(call.req), &stream->ticket);
  if (stream->refused.code != 200) return;
  SessionStore* store = ctx.store;
  stream->exchange->take = [store, stream](const char* data, size_t n) {
    stream->written = store->write_upload(&stream->ticket, data, n);
    return stream->written.code == 200;
  };
}

void upload_frame(const ApiContext& ctx, Call& call) {
  Stream& s = *call.stream;
  if (s.refused.code != 200) return answer(call.res, s.refused);
  if (s.written.code != 200) {
    call.res.set_header("Connection", "close");
    return answer(call.res, s.written);
  }
  answer(call.res, ctx.store->finish_upload(&s.ticket));
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
  std::string ignored;
  if (!read_small_body(call.req, call.res, *call.reader, kMaxJsonBytes, &ignored)) return;
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
  HttpResponse& res = call.res;
  long long index = 0;
  const std::string ext = protocol::kMatteExtension;
  if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0 ||
      !parse_index(file.substr(0, file.size() - ext.size()), &index)) {
    return answer_text(res, 404, "no such matte");
  }
  std::string path;
  Answer a = ctx.store->matte_file(id, index, &path);
  if (a.code != 200) return answer(res, a);
  if (::access(path.c_str(), R_OK) != 0) return answer_text(res, 404, "no matte for frame " + file);
  // Sent by the server straight from the file: a matte is never held whole.
  res.status = 200;
  res.file = path;
  res.content_type = "image/png";
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
  json doc{{"status", "ok"},
           {"sessions", st.sessions},
           {"live", st.live},
           {"disk_bytes", st.disk_bytes},
           {"beacons", st.beacons}};
  if (!ctx.node.empty()) doc["node"] = ctx.node;
  answer_json(call.res, doc);
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

// One request in the API's hands, from its headers to its answer.
struct Exchange {
  HttpRequest req;
  HttpResponse res;
  std::string body;
  BodyReader reader;
  Call call;
  Stream stream;
  const Route* route = nullptr;
  bool other_method = false;
  explicit Exchange(const HttpRequest& r) : req(r), call{req, res, &reader, {}} {}
};

// Routes a request once its headers are in. Routes that do not stream have
// their body read first, up to just past the largest any of them takes.
HttpExchange route(const std::shared_ptr<const ApiContext>& ctx, const HttpRequest& req) {
  auto x = std::make_shared<Exchange>(req);
  Exchange* raw = x.get();
  x->reader = [raw](const std::function<bool(const char*, size_t)>& receive) {
    return raw->body.empty() || receive(raw->body.data(), raw->body.size());
  };
  HttpExchange out;
  const std::string& path = x->req.path;
  const std::string& p = ctx->prefix;
  if (path.compare(0, p.size(), p) == 0 && path.size() > p.size() && path[p.size()] == '/') {
    const std::vector<std::string> segments = split_path(path.substr(p.size()));
    for (const Route& r : kRoutes) {
      if (!matches(r.path, segments, &x->call.args)) continue;
      if (x->req.method == r.method) {
        x->route = &r;
        break;
      }
      x->other_method = true;
    }
  }
  if (x->route && x->route->stream) {
    x->call.stream = &x->stream;
    x->stream.exchange = &out;
    x->route->stream(*ctx, x->call, &x->stream);
    x->stream.exchange = nullptr;
  } else if (x->route && x->req.content_length <= kMaxJsonBytes) {
    // A body declared too large is refused unread by its handler.
    out.take = [raw](const char* data, size_t n) {
      size_t room = static_cast<size_t>(kMaxJsonBytes + 1) - raw->body.size();
      raw->body.append(data, std::min(n, room));
      return n <= room;
    };
  }
  // The exchange's callbacks keep it alive until the server drops them.
  out.finish = [ctx, x](HttpResponse* res) {
    if (x->route) {
      x->route->handle(*ctx, x->call);
    } else {
      answer_text(x->res, x->other_method ? 405 : 404, x->other_method ? "method not allowed" : "not found");
    }
    *res = std::move(x->res);
  };
  return out;
}

}  // namespace

HttpHandler api_handler(const ApiContext& context) {
  auto ctx = std::make_shared<const ApiContext>(context);
  return [ctx](const HttpRequest& req) { return route(ctx, req); };
}

}  // namespace tessel
