#include "session_job.h"

#include "engine/engine.h"
#include "engine/frame_files.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"

#include <atomic>
#include <cstdio>

namespace tessel {

void run_session_job(SessionStore* store, const std::string& id, const std::atomic<bool>& stopping) {
  JobSpec job;
  if (!store->claim(id, &job)) return;
  FrameReader read = [&job](int index, int reduce) {
    return read_frame_file(job.frames_dir + protocol::indexed_file_name(index, protocol::kFrameExtension),
                           reduce);
  };
  std::atomic<bool> over_quota{false};
  MatteWriter write = [&job, store, &over_quota](int index, const cv::Mat& alpha) {
    long long size = 0;
    const std::string path = job.mattes_dir + protocol::indexed_file_name(index, protocol::kMatteExtension);
    if (!write_matte_png(path, alpha, &size)) return false;
    if (store->matte_written(job.id, index, size)) return true;
    std::remove(path.c_str());
    over_quota = true;
    return false;
  };
  StageReporter report = [&job, store](const std::string& stage) { store->set_stage(job.id, stage); };
  EngineOutcome outcome = run_engine(job.request, job.frame_count, read, write, report, &stopping);
  if (over_quota && !outcome.ok && !outcome.cancelled) outcome.error = "disk quota reached while storing the mattes";
  store->finish(job.id, outcome);
}

}  // namespace tessel
