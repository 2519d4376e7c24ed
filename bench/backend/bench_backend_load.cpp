// Backends under many plug-ins at once: N clients run whole sessions the way
// the plug-in does (create, upload, start, poll every 3 s on their kept-alive
// connection, download), M slow clients hold connections without finishing a
// request, and a newcomer keeps asking /healthz on fresh connections. Once
// against one node, once against the team deployment: nodes behind nginx
// with TLS (deploy/team).
//   bench_backend_load [--clients N] [--slow M] [--frames F] [--poll-ms MS] [--nodes K]
//                      [--timeout S] [--url BASE_URL] [--backend-arg ARG]... [benchmark flags]
// Without --url a mattivo-backend child is started for the one-node run.
#include "testing/backend_process.h"
#include "testing/plugin_client.h"
#include "testing/session_flow.h"
#include "testing/team_deploy.h"

#include "clipgen/clipgen.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Config {
  int clients = 200;
  int slow = 50;
  int frames = 3;
  int poll_ms = 3000;
  int timeout_s = 600;
  int nodes = 3;
  std::string url;
  std::vector<std::string> backend_args;
};
Config gConfig;

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Tally {
  std::atomic<int> completed{0};
  std::atomic<int> failed_sessions{0};
  std::atomic<long> requests{0};
  std::atomic<long> failed_requests{0};
  std::atomic<int> polling{0};  // clients between start and their last poll
  std::atomic<int> most_polling{0};
  std::atomic<bool> stop{false};
  std::mutex mu;
  std::string first_failure;  // what went wrong with the first session that failed
};

bool ok(const mattivo_test::Reply& r) { return r.code >= 200 && r.code <= 299; }

// A small generated clip: the run is about serving, not matting.
struct Clip {
  std::vector<std::string> frames;
  std::string request;  // the start document with the clip's box
};

Clip make_clip(const std::string& dir, int count) {
  tessel::ClipSpec spec;
  spec.width = 320;
  spec.height = 180;
  spec.frames = count;
  std::string error;
  Clip clip;
  if (!tessel::write_clip(spec, dir, true, &error)) {
    std::fprintf(stderr, "bench_backend_load: %s\n", error.c_str());
    return clip;
  }
  for (int i = 0; i < count; ++i)
    clip.frames.push_back(mattivo_test::read_file(dir + "/" + protocol::kFramesDir + "/" +
                                                  protocol::indexed_file_name(i, protocol::kFrameExtension)));
  clip.request = mattivo_test::clip_request(dir, "fast", "box");
  return clip;
}

// Where the load goes: a node's plain HTTP, or nginx's HTTPS.
struct Target {
  std::string base;  // the base URL the plug-in is given
  int port = 0;
  std::string health;   // the path of /healthz, prefix included
  std::string ca_file;  // set for HTTPS
};

void plugin_client(const Target& target, const Clip& clip, Tally* t) {
  const std::vector<std::string>& frames = clip.frames;
  const std::string& base = target.base;
  mattivo_test::PluginClient client;
  client.trust(target.ca_file);
  auto count = [t](const mattivo_test::Reply& r) {
    ++t->requests;
    if (!ok(r)) ++t->failed_requests;
    return ok(r);
  };
  auto fail = [t](const std::string& why) {
    ++t->failed_sessions;
    std::lock_guard<std::mutex> lock(t->mu);
    if (t->first_failure.empty()) t->first_failure = why;
  };
  mattivo_test::Reply created = client.post_json(protocol::sessions_url(base), protocol::create_body(24.0));
  if (!count(created)) return fail("create answered " + std::to_string(created.code));
  std::string id = protocol::text_member(protocol::parse_answer(created.body), protocol::key::kSessionId, "");
  const std::string session = protocol::session_url(base, id);
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!count(client.put_bytes(protocol::frame_url(session, static_cast<int>(i)), frames[i])))
      return fail("upload failed at frame " + std::to_string(i));
  }
  if (!count(client.post_json(protocol::start_url(session), clip.request))) return fail("start refused");
  int now = ++t->polling;
  for (int seen = t->most_polling.load(); now > seen && !t->most_polling.compare_exchange_weak(seen, now);) {
  }
  std::string status, error;
  auto started = Clock::now();
  while (!t->stop && seconds_since(started) < gConfig.timeout_s) {
    std::this_thread::sleep_for(std::chrono::milliseconds(gConfig.poll_ms));
    mattivo_test::Reply p = client.get(session);
    if (!count(p)) continue;
    nlohmann::json doc = protocol::parse_answer(p.body);
    status = protocol::text_member(doc, protocol::key::kStatus, "");
    error = protocol::text_member(doc, protocol::key::kError, "");
    if (status == protocol::kCompleted || status == protocol::kFailed) break;
  }
  --t->polling;
  if (status != protocol::kCompleted) return fail(status.empty() ? "timed out" : status + ": " + error);
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!count(client.get(protocol::alpha_url(session, static_cast<int>(i)))))
      return fail("download failed at frame " + std::to_string(i));
  }
  ++t->completed;
}

int connect_to(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Slow clients: every socket gets one more byte of a header that never ends,
// once a second; a socket the server closed is opened again. Against HTTPS
// they send nothing: a handshake that never starts.
void slow_clients(int port, int count, const std::string& path, bool tls, Tally* t,
                  std::atomic<int>* dropped) {
  std::vector<int> fds(count, -1);
  std::vector<size_t> sent(count, 0);
  const std::string head = "GET " + path + " HTTP/1.1\r\nHost: x\r\nX-Slow: ";
  while (!t->stop) {
    for (int i = 0; i < count; ++i) {
      if (fds[i] < 0) {
        fds[i] = connect_to(port);
        sent[i] = 0;
      }
      if (fds[i] < 0) continue;
      char c = sent[i] < head.size() ? head[sent[i]] : 'a';
      bool closed = false;
      if (tls) {
        pollfd p{fds[i], POLLIN, 0};
        char byte;
        closed = ::poll(&p, 1, 0) > 0 && ::recv(fds[i], &byte, 1, MSG_DONTWAIT) <= 0;
      } else {
        closed = ::send(fds[i], &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1;
      }
      if (closed) {
        ::close(fds[i]);
        fds[i] = -1;
        ++*dropped;
      } else {
        ++sent[i];
      }
    }
    for (int i = 0; i < 10 && !t->stop; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (int fd : fds)
    if (fd >= 0) ::close(fd);
}

// A newcomer's /healthz on a fresh connection: seconds to the whole answer, or
// a negative number when none came within 5 s.
double healthz_seconds(int port, const std::string& path) {
  auto t0 = Clock::now();
  int fd = connect_to(port);
  if (fd < 0) return -1;
  std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string got;
  while (seconds_since(t0) < 5 && got.find("\"status\":\"ok\"") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return got.find("\"status\":\"ok\"") == std::string::npos ? -1 : seconds_since(t0);
}

// The same over HTTPS: a fresh client, so a fresh connection and handshake.
double healthz_seconds_tls(const Target& target) {
  auto t0 = Clock::now();
  mattivo_test::PluginClient client;
  client.trust(target.ca_file);
  mattivo_test::Reply r = client.get(target.base + protocol::kHealthPath);
  double s = seconds_since(t0);
  return r.code == 200 && s < 5 ? s : -1;
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())))];
}

void run_load(benchmark::State& state, const Target& target, const std::string& what) {
  std::string clip_dir = mattivo_test::make_temp_dir("bench-load-clip");
  const Clip clip = make_clip(clip_dir, gConfig.frames);
  const bool tls = !target.ca_file.empty();

  for (auto _ : state) {
    Tally t;
    std::atomic<int> dropped{0};
    std::mutex probes_mu;
    std::vector<double> latencies;
    int probe_failures = 0, most_polling_under_1s = 0, most_polling_any_under_1s = 0;
    bool slow_probe_seen = false;
    double slowest = 0;
    int polling_at_first_slow = -1;
    auto t0 = Clock::now();
    std::thread slow([&] { slow_clients(target.port, gConfig.slow, target.health, tls, &t, &dropped); });
    std::thread probe([&] {
      while (!t.stop) {
        int polling = t.polling.load();
        double s = tls ? healthz_seconds_tls(target) : healthz_seconds(target.port, target.health);
        std::lock_guard<std::mutex> lock(probes_mu);
        if (s < 0) ++probe_failures;
        if (s >= 0) latencies.push_back(s);
        // The most pollers seen at once while every newcomer so far was served within 1 s.
        slowest = s < 0 ? 5 : std::max(slowest, s);
        if ((s < 0 || s >= 1.0) && !slow_probe_seen) {
          slow_probe_seen = true;
          polling_at_first_slow = polling;
        }
        if (!slow_probe_seen) most_polling_under_1s = std::max(most_polling_under_1s, polling);
        // And at any one probe under 1 s, whatever came before: a burst of
        // connects at the start need not hide how the steady state fares.
        if (s >= 0 && s < 1.0) most_polling_any_under_1s = std::max(most_polling_any_under_1s, polling);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
      }
    });
    std::vector<std::thread> clients;
    for (int i = 0; i < gConfig.clients; ++i)
      clients.emplace_back(plugin_client, std::cref(target), std::cref(clip), &t);
    for (std::thread& c : clients) c.join();
    t.stop = true;
    probe.join();
    slow.join();
    double wall = seconds_since(t0);

    std::printf("\n%s: %d plug-in clients (%d frames each, polling every %d ms), %d slow clients, %.1f s\n",
                what.c_str(), gConfig.clients, gConfig.frames, gConfig.poll_ms, gConfig.slow, wall);
    std::printf("  sessions completed        %d of %d (%d failed)\n", t.completed.load(), gConfig.clients,
                t.failed_sessions.load());
    if (!t.first_failure.empty()) std::printf("  first failure             %s\n", t.first_failure.c_str());
    std::printf("  requests failed           %ld of %ld\n", t.failed_requests.load(), t.requests.load());
    std::printf("  /healthz under load       p50 %.1f ms, p99 %.1f ms, %d of %zu unanswered within 5 s\n",
                percentile(latencies, 0.5) * 1000, percentile(latencies, 0.99) * 1000, probe_failures,
                latencies.size() + probe_failures);
    std::printf("  most pollers at once      %d\n", t.most_polling.load());
    std::printf("  most pollers, /healthz < 1 s  %d%s\n", most_polling_under_1s,
                slow_probe_seen ? "" : " (every probe under 1 s)");
    std::printf("  most pollers at a /healthz < 1 s  %d\n", most_polling_any_under_1s);
    std::printf(
        "  slowest /healthz          %.0f ms%s\n", slowest * 1000,
        polling_at_first_slow < 0
            ? ""
            : (", the first over 1 s with " + std::to_string(polling_at_first_slow) + " polling").c_str());
    std::printf("  slow clients dropped      %d times\n\n", dropped.load());
    state.counters["sessions_completed"] = t.completed.load();
    state.counters["requests_failed"] = static_cast<double>(t.failed_requests.load());
    state.counters["healthz_p50_ms"] = percentile(latencies, 0.5) * 1000;
    state.counters["healthz_p99_ms"] = percentile(latencies, 0.99) * 1000;
    state.counters["healthz_unanswered"] = probe_failures;
    state.counters["pollers_under_1s"] = most_polling_under_1s;
    state.counters["pollers_at_a_probe_under_1s"] = most_polling_any_under_1s;
  }
  mattivo_test::remove_tree(clip_dir);
}

// base: http(s)://127.0.0.1:PORT[/prefix]
Target target_of(const std::string& base, const std::string& ca_file) {
  Target target{base, 0, "", ca_file};
  size_t colon = base.rfind(':');
  target.port = std::atoi(base.c_str() + colon + 1);
  size_t slash = base.find('/', colon);
  target.health = (slash == std::string::npos ? "" : base.substr(slash)) + protocol::kHealthPath;
  return target;
}

void PluginsPollingWithSlowClients(benchmark::State& state) {
  std::string work;
  tessel::BackendProcess backend;
  std::string base = gConfig.url;
  if (base.empty()) {
    work = mattivo_test::make_temp_dir("bench-load");
    std::vector<std::string> args{
        "--data-dir", work + "/data", "--max-sessions", "100000", "--workers", "2", "--person-model", "none"};
    args.insert(args.end(), gConfig.backend_args.begin(), gConfig.backend_args.end());
    std::string error;
    if (!mattivo_test::start_backend(args, work + "/backend.log", &backend, &error)) {
      state.SkipWithError(error.c_str());
      return;
    }
    base = backend.url;
  }
  run_load(state, target_of(base, ""), "one node");
  if (backend.pid > 0) tessel::stop_backend(&backend, false, 60);
  if (!work.empty()) mattivo_test::remove_tree(work);
}
BENCHMARK(PluginsPollingWithSlowClients)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// The same load on the team deployment: --nodes nodes (one worker each)
// behind nginx, every request over TLS.
void TeamBehindNginx(benchmark::State& state) {
  if (mattivo_test::nginx_executable().empty()) {
    state.SkipWithError("nginx is not installed (apt-get install nginx)");
    return;
  }
  mattivo_test::Team team;
  mattivo_test::TeamSpec spec;
  spec.nodes = gConfig.nodes;
  spec.node_args = {"--max-sessions", "100000", "--workers", "1", "--person-model", "none"};
  spec.node_args.insert(spec.node_args.end(), gConfig.backend_args.begin(), gConfig.backend_args.end());
  std::string error;
  if (!mattivo_test::start_team(spec, &team, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  run_load(state, target_of(team.url, team.ca_file),
           std::to_string(gConfig.nodes) + " nodes behind nginx (TLS)");
}
BENCHMARK(TeamBehindNginx)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

// Our flags come out of argv before the benchmark library reads the rest.
bool take_flags(int* argc, char** argv) {
  int out = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string a = argv[i];
    bool has_value = i + 1 < *argc;
    auto number = [&](int* into) {
      *into = std::atoi(argv[++i]);
      return true;
    };
    if (a == "--clients" && has_value) {
      number(&gConfig.clients);
    } else if (a == "--slow" && has_value) {
      number(&gConfig.slow);
    } else if (a == "--frames" && has_value) {
      number(&gConfig.frames);
    } else if (a == "--poll-ms" && has_value) {
      number(&gConfig.poll_ms);
    } else if (a == "--nodes" && has_value) {
      number(&gConfig.nodes);
    } else if (a == "--timeout" && has_value) {
      number(&gConfig.timeout_s);
    } else if (a == "--url" && has_value) {
      gConfig.url = argv[++i];
    } else if (a == "--backend-arg" && has_value) {
      gConfig.backend_args.push_back(argv[++i]);
    } else if (a.rfind("--benchmark", 0) == 0 || a == "--help") {
      argv[out++] = argv[i];
    } else {
      std::fprintf(stderr, "bench_backend_load: unknown option %s\n", a.c_str());
      return false;
    }
  }
  *argc = out;
  return gConfig.clients >= 0 && gConfig.slow >= 0 && gConfig.frames >= 1 && gConfig.poll_ms >= 0 &&
         gConfig.nodes >= 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!take_flags(&argc, argv)) return 2;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
