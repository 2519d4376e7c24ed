// Three mattivo-backend nodes behind a real nginx, configured by the scripts
// under deploy/team: every session reaches its own node, a crashed node
// finishes its sessions once back, and TLS and the prefix guard the door.
#include "backend_fixture.h"
#include "testing/session_flow.h"
#include "testing/team_deploy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <set>

extern char** environ;

namespace mattivo_test {
namespace {

using Clock = std::chrono::steady_clock;

#define NEED_NGINX()              \
  if (nginx_executable().empty()) \
  GTEST_SKIP() << "nginx is not installed (apt-get install nginx; ./dev test installs it)"

const std::vector<std::string> kNodeArgs{"--workers", "1", "--person-model", "none"};

std::string node_of(const std::string& id) { return id.substr(0, id.find('-')); }

TeamNode* node_named(Team& team, const std::string& name) {
  for (auto& n : team.nodes)
    if (n->name == name) return n.get();
  return nullptr;
}

// A session's state as its node last wrote it to disk.
std::string status_on_disk(const std::string& session_dir) {
  return parse(read_file(session_dir + "/session.json")).value("status", "");
}

int mattes_on_disk(const std::string& session_dir) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(session_dir + "/alpha", ec), end; !ec && it != end;
       it.increment(ec))
    n += it->path().extension() == ".png";
  return n;
}

struct Pull {
  std::string clip;
  int frames = 0;
  std::string out;
  SessionRun run;
};

// Each pull on a client of its own, trusting the team's certificate as an
// artist's machine would.
std::vector<std::thread> start_pulls(const Team& team, std::vector<Pull>* pulls) {
  std::vector<std::thread> threads;
  for (Pull& p : *pulls) {
    std::filesystem::create_directories(p.out);
    threads.emplace_back([&team, &p] {
      PluginClient client;
      client.trust(team.ca_file);
      p.run = run_plugin_session(client, team.url, p.clip + "/frames", p.frames,
                                 clip_request(p.clip, "fast", "box"), p.out, 200, 600);
    });
  }
  return threads;
}

// Every matte came down, and each is the very file its session's node wrote.
void expect_whole_and_own(Team& team, const Pull& p) {
  ASSERT_TRUE(p.run.ok) << p.run.failure;
  TeamNode* node = node_named(team, node_of(p.run.id));
  ASSERT_NE(node, nullptr) << p.run.id;
  for (int i = 0; i < p.frames; ++i) {
    std::string got = read_file(p.out + "/" + six(i) + ".png");
    ASSERT_FALSE(got.empty()) << p.run.id << " frame " << i;
    EXPECT_EQ(got, read_file(node->data_dir + "/" + p.run.id + "/alpha/" + six(i) + ".png"))
        << p.run.id << " frame " << i;
  }
}

std::vector<Pull> pulls_of(const Team& team, int count, int frames) {
  const char* scenarios[] = {"walk", "dance", "occluder"};
  std::vector<Pull> pulls(count);
  for (int i = 0; i < count; ++i) {
    pulls[i].clip = test_clip(scenarios[i % 3], 320, 180, frames, 2 + i);
    pulls[i].frames = frames;
    pulls[i].out = team.dir + "/pull" + std::to_string(i);
  }
  return pulls;
}

TEST(Team, EverySessionComesBackWholeFromItsOwnNode) {
  NEED_NGINX();
  Team team;
  std::string error;
  ASSERT_TRUE(start_team({3, kNodeArgs, {}}, &team, &error)) << error;
  std::vector<Pull> pulls = pulls_of(team, 6, 8);
  for (std::thread& t : start_pulls(team, &pulls)) t.join();
  std::set<std::string> nodes, ids;
  for (const Pull& p : pulls) {
    expect_whole_and_own(team, p);
    nodes.insert(node_of(p.run.id));
    ids.insert(p.run.id);
  }
  EXPECT_EQ(ids.size(), 6u);
  EXPECT_EQ(nodes, (std::set<std::string>{"n1", "n2", "n3"}));
  // Different clips, different mattes: no session was answered with another's.
  EXPECT_NE(read_file(pulls[0].out + "/000004.png"), read_file(pulls[1].out + "/000004.png"));
}

// kill -9 of a node while it mattes: its sessions are unreachable (503, and
// never sent to another node) until it is started again, then finish whole;
// new sessions go to the others meanwhile.
TEST(Team, AKilledNodeFinishesItsSessionsOnceRestarted) {
  NEED_NGINX();
  Team team;
  std::string error;
  ASSERT_TRUE(start_team({3, kNodeArgs, {}}, &team, &error)) << error;
  std::vector<Pull> pulls = pulls_of(team, 6, 30);
  std::vector<std::thread> threads = start_pulls(team, &pulls);

  // Once every pull has started its session, the node with the most work left goes.
  TeamNode* victim = nullptr;
  std::string running;
  auto end = Clock::now() + std::chrono::seconds(300);
  while (!victim && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    int started = 0;
    std::map<TeamNode*, int> unfinished;
    std::map<TeamNode*, std::string> busy;
    for (auto& node : team.nodes) {
      std::error_code ec;
      for (std::filesystem::directory_iterator it(node->data_dir, ec), e; !ec && it != e; it.increment(ec)) {
        if (!tessel::valid_session_id(it->path().filename().string())) continue;
        std::string s = status_on_disk(it->path().string());
        started += s != "UPLOADING" && !s.empty();
        if (s == "QUEUED" || s == "RUNNING") ++unfinished[node.get()];
        if (s == "RUNNING" && mattes_on_disk(it->path().string()) < 25)
          busy[node.get()] = it->path().filename().string();
      }
    }
    if (started < 6) continue;
    for (auto& [node, id] : busy) {
      if (!victim || unfinished[node] > unfinished[victim]) {
        victim = node;
        running = id;
      }
    }
    if (!victim) break;  // everything finished before a node could be caught at work
  }
  ASSERT_NE(victim, nullptr) << "no node was caught mid-job";
  kill_node(victim);
  const std::string dir = victim->data_dir + "/" + running;
  const int mattes_before = mattes_on_disk(dir);

  PluginClient client;
  client.trust(team.ca_file);
  Reply down = client.get(team.url + "/api/matte/sessions/" + running);
  EXPECT_EQ(down.code, 503) << down.body;
  EXPECT_EQ(down.body, "node unavailable, try again later\n");
  Reply start = client.post_json(team.url + "/api/matte/sessions/" + running + "/start", "{}");
  EXPECT_EQ(start.code, 503) << start.body;  // another node would have said 404
  std::string fresh = create_session(client, team.url);
  EXPECT_TRUE(tessel::valid_session_id(fresh)) << fresh;
  EXPECT_NE(node_of(fresh), victim->name);
  client.post_json(team.url + "/api/matte/sessions/" + fresh + "/cancel", "{}");

  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(restart_node(victim, &error)) << error;
  for (std::thread& t : threads) t.join();
  EXPECT_LT(mattes_before, 30);
  EXPECT_EQ(status_on_disk(dir), "COMPLETED");
  int on_victim = 0;
  for (const Pull& p : pulls) {
    expect_whole_and_own(team, p);
    on_victim += node_of(p.run.id) == victim->name;
  }
  EXPECT_GE(on_victim, 1);
}

TEST(Team, TlsAndTheSecretPrefixGuardTheDoor) {
  NEED_NGINX();
  Team team;
  std::string error;
  ASSERT_TRUE(start_team({3, kNodeArgs, {}}, &team, &error)) << error;
  PluginClient stranger;  // trusts only the system's authorities
  EXPECT_EQ(stranger.get(team.url + "/healthz").code, -1);
  PluginClient client;
  client.trust(team.ca_file);
  EXPECT_EQ(client.get(team.url + "/healthz").code, 200);
  for (auto& node : team.nodes) {
    Reply r = client.get(team.url + "/nodes/" + node->name + "/healthz");
    EXPECT_EQ(parse(r.body).value("node", ""), node->name) << r.body;
  }

  const std::string origin = team.url.substr(0, team.url.size() - team.prefix.size());
  std::string id = create_session(client, team.url);
  ASSERT_TRUE(tessel::valid_session_id(id));
  EXPECT_EQ(client.get(team.url + "/api/matte/sessions/" + id).code, 200);
  for (const std::string& path :
       std::vector<std::string>{"/healthz", "/api/matte/sessions/" + id, "/k/wrong/healthz",
                                team.prefix + "x/healthz", "/k/" + team.prefix + "/healthz"}) {
    EXPECT_EQ(client.get(origin + path).code, 404) << path;
  }
  EXPECT_EQ(client.post_json(origin + "/api/matte/sessions", "{}").code, 404);
  // Ids of no node, or of no shape, reach no node.
  const std::string hex = id.substr(id.size() - 32);
  for (const std::string& bad :
       std::vector<std::string>{"n9-" + hex, "n1-" + hex + "0", "n1-" + hex.substr(1), "n1-..%2f" + hex}) {
    Reply r = client.get(team.url + "/api/matte/sessions/" + bad);
    EXPECT_EQ(r.code, 404) << bad;
  }
  // No plain HTTP on the TLS port.
  EXPECT_EQ(client.get("http" + origin.substr(5) + team.prefix + "/healthz").code, 400);
}

// A node that is full answers 503 and the session is made on the next; only
// when every node is full does the artist see the 503.
TEST(Team, NewSessionsGoToANodeWithRoom) {
  NEED_NGINX();
  Team team;
  std::string error;
  TeamSpec spec{3, kNodeArgs, {{"--max-sessions", "1"}, {"--max-sessions", "3"}, {"--max-sessions", "3"}}};
  ASSERT_TRUE(start_team(spec, &team, &error)) << error;
  PluginClient client;
  client.trust(team.ca_file);
  std::map<std::string, std::vector<std::string>> by_node;
  for (int i = 0; i < 7; ++i) {
    std::string id = create_session(client, team.url);
    ASSERT_TRUE(tessel::valid_session_id(id)) << i;
    by_node[node_of(id)].push_back(id);
  }
  EXPECT_EQ(by_node["n1"].size(), 1u);
  EXPECT_EQ(by_node["n2"].size(), 3u);
  EXPECT_EQ(by_node["n3"].size(), 3u);
  Reply full = client.post_json(team.url + "/api/matte/sessions", R"({"fps":24.0})");
  EXPECT_EQ(full.code, 503);
  EXPECT_NE(full.body.find("too many sessions in progress"), std::string::npos) << full.body;
  // Room again on n2: it is not held against it that it was full.
  ASSERT_EQ(client.post_json(team.url + "/api/matte/sessions/" + by_node["n2"][0] + "/cancel", "{}").code,
            200);
  EXPECT_EQ(node_of(create_session(client, team.url)), "n2");
}

// Clients that hold connections without finishing anything (a stalled TLS
// handshake, an upload at a few kilobytes a second) cost nginx a socket each
// and the nodes nothing: a pull next to them runs as usual.
TEST(Team, SlowClientsDoNotHoldUpOthers) {
  NEED_NGINX();
  Team team;
  std::string error;
  ASSERT_TRUE(start_team({3, kNodeArgs, {}}, &team, &error)) << error;
  const int port = std::atoi(team.url.c_str() + team.url.rfind(':') + 1);
  std::vector<std::unique_ptr<int, void (*)(int*)>> idle;
  for (int i = 0; i < 200; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    idle.emplace_back(new int(fd), [](int* p) {
      ::close(*p);
      delete p;
    });
  }
  PluginClient client;
  client.trust(team.ca_file);
  const std::string body_file = team.dir + "/slow-body";
  std::ofstream(body_file) << std::string(2 << 20, 'x');
  std::vector<pid_t> slow;
  for (int i = 0; i < 20; ++i) {
    std::string id = create_session(client, team.url);
    std::vector<std::string> args{"curl",
                                  "-s",
                                  "-o",
                                  "/dev/null",
                                  "--cacert",
                                  team.ca_file,
                                  "--limit-rate",
                                  "4k",
                                  "-T",
                                  body_file,
                                  team.url + "/api/matte/sessions/" + id + "/frames/0"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) == 0) slow.push_back(pid);
  }
  ASSERT_EQ(slow.size(), 20u);
  std::this_thread::sleep_for(std::chrono::seconds(1));

  std::atomic<bool> done{false};
  std::atomic<int> health_failures{0};
  std::thread watcher([&] {
    PluginClient c;
    c.trust(team.ca_file);
    while (!done) {
      auto t0 = Clock::now();
      long code = c.get(team.url + "/healthz").code;
      // A generous bound: this is about being served at all, not about speed.
      if (code != 200 || Clock::now() - t0 > std::chrono::seconds(5)) ++health_failures;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  std::vector<Pull> pulls = pulls_of(team, 1, 6);
  for (std::thread& t : start_pulls(team, &pulls)) t.join();
  done = true;
  watcher.join();
  expect_whole_and_own(team, pulls[0]);
  EXPECT_EQ(health_failures.load(), 0);
  // The slow uploads were still going: they were slowed, not turned away.
  for (pid_t pid : slow) {
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
}

}  // namespace
}  // namespace mattivo_test
