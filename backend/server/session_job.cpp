#include "session_job.h"

#include "engine/engine.h"
#include "engine/frame_files.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"

namespace tessel {

void run_session_job(SessionStore* store, const std::string& id, const std::atomic<bool>& stopping) {
  JobSpec job;
  if (!store->claim(id, &job)) return;
  FrameReader read = [&job](int index, int reduce) {
    return read_frame_file(job.frames_dir + protocol::indexed_file_name(index, protocol::kFrameExtension),
                           reduce);
  };
  MatteWriter write = [&job, store](int index, const cv::Mat& alpha) {
    long long size = 0;
    if (!write_matte_png(job.mattes_dir + protocol::indexed_file_name(index, protocol::kMatteExtension),
                         alpha, &size))
      return false;
    store->matte_written(job.id, index, size);
    return true;
  };
  StageReporter report = [&job, store](const std::string& stage) { store->set_stage(job.id, stage); };
  EngineOutcome outcome = run_engine(job.request, job.frame_count, read, write, report, &stopping);
  store->finish(job.id, outcome);
}

}  // namespace tessel
