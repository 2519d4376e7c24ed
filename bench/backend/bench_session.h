// One whole session the way the plug-in runs it, against a backend started
// for it alone (its own data folder) and stopped after, for the benchmarks.
#pragma once

#include "testing/backend_process.h"
#include "testing/session_flow.h"

#include "protocol/clip_folder.h"

#include <filesystem>
#include <string>
#include <vector>

namespace bench_session {

struct Outcome {
  std::string work;  // a temporary folder; the mattes are in work + "/mattes"
  bool started = false;
  std::string error;  // why the backend did not start
  double peak_rss_mib = 0;
  mattivo_test::SessionRun run;
};

inline Outcome run(const std::string& clip, int frames, const std::string& request,
                   const std::vector<std::string>& backend_args, const std::string& tag) {
  Outcome out;
  out.work = mattivo_test::make_temp_dir(tag);
  std::filesystem::create_directories(out.work + "/mattes");
  tessel::BackendProcess backend;
  std::vector<std::string> args{"--data-dir", out.work + "/data"};
  args.insert(args.end(), backend_args.begin(), backend_args.end());
  if (!mattivo_test::start_backend(args, out.work + "/backend.log", &backend, &out.error)) return out;
  out.started = true;
  mattivo_test::PluginClient client;
  out.run = mattivo_test::run_plugin_session(client, backend.url, clip + "/" + protocol::kFramesDir, frames,
                                             request, out.work + "/mattes", 20, 3600);
  tessel::stop_backend(&backend, false, 600);
  out.peak_rss_mib = backend.peak_rss_kb / 1024.0;
  return out;
}

}  // namespace bench_session
