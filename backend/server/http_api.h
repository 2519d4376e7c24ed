// The backend protocol over HTTP: routes, bodies and answers.
#pragma once

#include "job_queue.h"
#include "session_store.h"

#include <string>

namespace httplib {
class Server;
}

namespace tessel {

// Requests with JSON bodies are small; anything larger is refused unread.
constexpr long long kMaxJsonBytes = 1 << 20;

struct ApiContext {
  SessionStore* store = nullptr;
  JobQueue* queue = nullptr;
  std::string prefix;  // "" or "/k/<token>": every path lives under it
};

// Installs one catch-all handler per method; the API routes by itself so that
// the prefix, unknown paths and wrong methods are answered the same way.
void install_api(httplib::Server* http, const ApiContext& context);

}  // namespace tessel
