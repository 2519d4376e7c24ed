// The team deployment on the loopback: mattivo-backend nodes and a real nginx
// in front of them, configured by deploy/team's scripts as users run them.
#pragma once

#include "launch/backend_process.h"

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace mattivo_test {

struct TeamSpec {
  int nodes = 3;                                // named n1, n2, ...
  std::vector<std::string> node_args;           // given to every node
  std::vector<std::vector<std::string>> extra;  // given to node i alone
};

struct TeamNode {
  std::string name;
  std::string data_dir;
  std::vector<std::string> args;  // without --port
  int port = 0;
  tessel::BackendProcess process;
};

struct Team {
  std::string dir;      // data, run folder, certificate and logs, removed with the team
  std::string url;      // https://127.0.0.1:PORT/k/TOKEN: what artists paste
  std::string ca_file;  // the generated certificate to trust
  std::string prefix;
  std::vector<std::unique_ptr<TeamNode>> nodes;
  pid_t nginx = -1;
  Team() = default;
  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;
  ~Team();
};

// The nginx binary, or "" when it is not installed.
std::string nginx_executable();

bool start_team(const TeamSpec& spec, Team* team, std::string* error);
// A crash: SIGKILL, no chance to tidy up.
void kill_node(TeamNode* node);
// On the same port and folder, as an operator would start it again.
bool restart_node(TeamNode* node, std::string* error);

}  // namespace mattivo_test
