#include "testing/team_deploy.h"

#include "testing/backend_process.h"
#include "testing/plugin_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

extern char** environ;

namespace mattivo_test {
namespace {

std::string scripts() { return std::string(MATTIVO_SOURCE_DIR) + "/deploy/team/"; }

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool run(const std::vector<std::string>& argv, const std::string& log, std::string* error) {
  std::string line;
  for (const std::string& a : argv) line += quoted(a) + " ";
  line += ">>" + quoted(log) + " 2>&1";
  if (std::system(line.c_str()) == 0) return true;
  *error = argv[0] + " failed: see " + log;
  return false;
}

// A port nobody listens on now; nginx takes it a moment later.
int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

int port_of(const std::string& url) {
  size_t colon = url.find(':', url.find("//") + 2);
  return std::atoi(url.c_str() + colon + 1);
}

std::string random_token() {
  std::random_device rd;
  std::string hex = "0123456789abcdef", out;
  for (int i = 0; i < 32; ++i) out += hex[rd() % 16];
  return out;
}

pid_t spawn_nginx(const std::string& run_dir, const std::string& log) {
  std::vector<std::string> args{
      nginx_executable(),      "-p", run_dir,      "-e", run_dir + "/logs/error.log", "-c",
      run_dir + "/nginx.conf", "-g", "daemon off;"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

bool start_node(TeamNode* node, std::string* error) {
  std::vector<std::string> args = node->args;
  args.insert(args.end(), {"--port", std::to_string(node->port)});
  if (!start_backend(args, node->data_dir + ".log", &node->process, error)) return false;
  node->port = port_of(node->process.url);
  return true;
}

}  // namespace

std::string nginx_executable() {
  if (const char* env = std::getenv("MATTIVO_NGINX"); env && *env) return env;
  for (const char* p : {"/usr/sbin/nginx", "/usr/bin/nginx", "/usr/local/sbin/nginx"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return "";
}

bool start_team(const TeamSpec& spec, Team* team, std::string* error) {
  team->dir = make_temp_dir("team");
  team->prefix = "/k/" + random_token();
  const std::string log = team->dir + "/scripts.log";
  std::vector<std::string> render{
      "bash", scripts() + "render-nginx.sh", "--run-dir", team->dir + "/run", "--prefix", team->prefix};
  for (int i = 0; i < spec.nodes; ++i) {
    auto node = std::make_unique<TeamNode>();
    node->name = "n" + std::to_string(i + 1);
    node->data_dir = team->dir + "/" + node->name;
    node->args = {"--node", node->name, "--prefix", team->prefix, "--data-dir", node->data_dir};
    node->args.insert(node->args.end(), spec.node_args.begin(), spec.node_args.end());
    if (i < static_cast<int>(spec.extra.size()))
      node->args.insert(node->args.end(), spec.extra[i].begin(), spec.extra[i].end());
    if (!start_node(node.get(), error)) return false;
    render.insert(render.end(), {"--node", node->name + "=127.0.0.1:" + std::to_string(node->port)});
    team->nodes.push_back(std::move(node));
  }
  if (!run({"bash", scripts() + "make-cert.sh", team->dir + "/tls"}, log, error)) return false;
  team->ca_file = team->dir + "/tls/cert.pem";
  render.insert(render.end(), {"--cert", team->ca_file, "--key", team->dir + "/tls/key.pem"});
  // Another process may take the port between our look and nginx's bind: a
  // few tries with fresh ports.
  for (int attempt = 0; attempt < 5; ++attempt) {
    int port = free_port();
    std::vector<std::string> argv = render;
    argv.insert(argv.end(), {"--listen", "127.0.0.1:" + std::to_string(port)});
    if (!run(argv, log, error)) return false;
    team->url = "https://127.0.0.1:" + std::to_string(port) + team->prefix;
    team->nginx = spawn_nginx(team->dir + "/run", team->dir + "/run/logs/nginx.out");
    if (team->nginx < 0) {
      *error = "cannot run " + nginx_executable();
      return false;
    }
    PluginClient client;
    client.trust(team->ca_file);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (::waitpid(team->nginx, &status, WNOHANG) == team->nginx) {
        team->nginx = -1;
        break;
      }
      if (client.get(team->url + "/healthz").code == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (team->nginx > 0) {
      *error = "nginx did not answer: see " + team->dir + "/run/logs/error.log";
      return false;
    }
  }
  *error = "nginx would not start: see " + team->dir + "/run/logs/error.log";
  return false;
}

void kill_node(TeamNode* node) { tessel::stop_backend(&node->process, true); }

bool restart_node(TeamNode* node, std::string* error) { return start_node(node, error); }

Team::~Team() {
  if (nginx > 0) {
    ::kill(nginx, SIGTERM);
    int status = 0;
    ::waitpid(nginx, &status, 0);
  }
  for (auto& node : nodes) tessel::stop_backend(&node->process, false);
  // Kept for a look when MATTIVO_KEEP_TEAM is set.
  if (!std::getenv("MATTIVO_KEEP_TEAM")) remove_tree(dir);
}

}  // namespace mattivo_test
