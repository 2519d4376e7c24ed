// mattivo-backend: the reference matting backend.
#include "backend_server.h"
#include "engine/heap_policy.h"
#include "person/person_prior.h"

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* kUsage =
    "usage: mattivo-backend [options]\n"
    "  --host ADDR            address to listen on (default 127.0.0.1)\n"
    "  --port N               port; 0 picks a free one (default 8750)\n"
    "  --data-dir DIR         where sessions are kept (default $XDG_DATA_HOME/mattivo-backend)\n"
    "  --prefix /k/TOKEN      serve the whole API under this secret path\n"
    "  --node NAME            start new session ids with NAME- (1-16 of a-z, 0-9), for a proxy\n"
    "                         in front of several backends to route on\n"
    "  --workers N            sessions matted at the same time (default 1)\n"
    "  --max-frame-bytes N    largest frame upload (default 32M)\n"
    "  --max-frames N         frames per session (default 20000)\n"
    "  --max-sessions N       sessions in progress at once (default 16)\n"
    "  --max-disk N           bytes all sessions may take together (default 20G)\n"
    "  --ttl T                idle time before a session is removed: 90s, 30m, 24h, 7d (default 24h)\n"
    "  --upload-ttl T         idle time before a session still in upload is removed (default 1h)\n"
    "  --max-connections N    connections open at once (default 2000)\n"
    "  --idle-timeout T       a connection silent this long is closed (default 30s)\n"
    "  --request-timeout T    a request's headers must be in this long after the last (default 60s)\n"
    "  --person-model FILE    the person segmentation model, or none (default: the one ./dev fetched)\n"
    "The first line on standard output is \"listening on <base URL>\".\n";

// "512", "64K", "32M", "20G" -> bytes; -1 when malformed.
long long parse_size(const std::string& text) {
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || v < 0) return -1;
  std::string unit(end);
  long long mul = unit.empty() || unit == "B" ? 1
                  : unit == "K"               ? 1LL << 10
                  : unit == "M"               ? 1LL << 20
                  : unit == "G"               ? 1LL << 30
                                              : -1;
  return mul < 0 ? -1 : v * mul;
}

// "3600", "90s", "30m", "24h", "7d" -> seconds; -1 when malformed.
long long parse_duration(const std::string& text) {
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str() || v < 0) return -1;
  std::string unit(end);
  long long mul = unit.empty() || unit == "s" ? 1
                  : unit == "m"               ? 60
                  : unit == "h"               ? 3600
                  : unit == "d"               ? 86400
                                              : -1;
  return mul < 0 ? -1 : v * mul;
}

std::string default_data_dir() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    return std::string(xdg) + "/mattivo-backend";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/share/mattivo-backend";
  return "mattivo-data";
}

bool parse_args(int argc, char** argv, tessel::ServerOptions* o) {
  o->port = 8750;
  o->data_dir = default_data_dir();
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "mattivo-backend: %s needs a value\n", flag.c_str());
      return false;
    }
    std::string v = argv[++i];
    long long n = std::atoll(v.c_str());
    bool ok = true;
    if (flag == "--host")
      o->host = v;
    else if (flag == "--port")
      ok = (o->port = static_cast<int>(n)) >= 0 && n <= 65535 && !v.empty();
    else if (flag == "--data-dir")
      ok = !(o->data_dir = v).empty();
    else if (flag == "--prefix")
      o->prefix = v == "/" ? "" : v;
    else if (flag == "--node")
      ok = tessel::valid_node_name(o->node = v);
    else if (flag == "--workers")
      ok = (o->workers = static_cast<int>(n)) >= 1 && n <= 64;
    else if (flag == "--max-frame-bytes")
      ok = (o->limits.max_frame_bytes = parse_size(v)) > 0;
    else if (flag == "--max-frames")
      ok = (o->limits.max_frames = static_cast<int>(n)) >= 1 && n <= 1000000;
    else if (flag == "--max-sessions")
      ok = (o->limits.max_sessions = static_cast<int>(n)) >= 1;
    else if (flag == "--max-disk")
      ok = (o->limits.max_disk_bytes = parse_size(v)) > 0;
    else if (flag == "--ttl")
      ok = (o->limits.ttl_seconds = parse_duration(v)) > 0;
    else if (flag == "--upload-ttl")
      ok = (o->limits.upload_ttl_seconds = parse_duration(v)) > 0;
    else if (flag == "--max-connections")
      ok = (o->http.max_connections = static_cast<int>(n)) >= 1 && n <= 1000000;
    else if (flag == "--idle-timeout")
      ok = (o->http.idle_timeout_seconds = static_cast<int>(parse_duration(v))) > 0;
    else if (flag == "--request-timeout")
      ok = (o->http.request_timeout_seconds = static_cast<int>(parse_duration(v))) > 0;
    else if (flag == "--person-model")
      tessel::person_prior_use(v == "none" ? "" : v);
    else if (flag == "--janitor-seconds")
      ok = (o->janitor_seconds = static_cast<int>(n)) >= 1;
    else {
      std::fprintf(stderr, "mattivo-backend: unknown option %s\n%s", flag.c_str(), kUsage);
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "mattivo-backend: bad value for %s: %s\n", flag.c_str(), v.c_str());
      return false;
    }
  }
  if (!tessel::valid_prefix(o->prefix)) {
    std::fprintf(stderr, "mattivo-backend: the prefix must look like /k/<token>\n");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tessel::keep_image_buffers_in_heap();
  tessel::ServerOptions options;
  if (!parse_args(argc, argv, &options)) return 2;
  // Every thread inherits this mask, so the signals wait for main alone.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  tessel::BackendServer server(options);
  std::string error;
  if (!server.start(&error)) {
    std::fprintf(stderr, "mattivo-backend: %s\n", error.c_str());
    return 1;
  }
  std::printf("listening on %s\n", server.base_url().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "mattivo-backend: data in %s, %d worker(s)%s%s\n", options.data_dir.c_str(),
               options.workers, options.node.empty() ? "" : ", node ", options.node.c_str());
  // Loaded now, so a missing or broken model is said at once, not mid-job.
  std::fprintf(stderr, "mattivo-backend: %s\n", tessel::person_prior_status().c_str());
  int sig = 0;
  sigwait(&signals, &sig);
  std::fprintf(stderr, "mattivo-backend: stopping\n");
  server.stop();
  return 0;
}
