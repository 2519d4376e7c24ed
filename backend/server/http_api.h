// The backend protocol over HTTP: routes, bodies and answers.
#pragma once

#include "http_server.h"
#include "job_queue.h"
#include "session_store.h"

#include <string>

namespace tessel {

// Requests with JSON bodies are small; anything larger is refused unread.
constexpr long long kMaxJsonBytes = 1 << 20;

struct ApiContext {
  SessionStore* store = nullptr;
  JobQueue* queue = nullptr;
  std::string prefix;  // "" or "/k/<token>": every path lives under it
  std::string node;    // named in /healthz, so a proxy's operator can tell who answered
};

// The API as the server's one handler: it routes by itself, so that the
// prefix, unknown paths and wrong methods are answered the same way.
HttpHandler api_handler(const ApiContext& context);

}  // namespace tessel
