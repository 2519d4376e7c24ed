#include "plugin/session_worker.h"

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "net/http_client.h"
#include "plugin/instance_registry.h"
#include "plugin/matte_store.h"
#include "plugin/pull_cancel.h"
#include "plugin/pull_record.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"
#include "protocol/json_text.h"
#include "suites/host_access.h"
#include "suites/params.h"

namespace {

constexpr int kUploadAttempts = 3;
constexpr int kProgressEvery = 24;
constexpr size_t kRefusalShown = 160;
// Telling the backend of a cancel is a courtesy: it may not keep the user waiting.
constexpr long kCancelNoticeMs = 5000;

// One pull as the worker sees it: the job and the instance it reports to.
struct Session {
  PullJob job;
  InstanceToken instance;
  WorkerTiming timing;

  // Transfers stop as soon as nobody can see their outcome, or the user cancels.
  bool abandoned() const { return !instanceAlive(instance); }
  bool halted() const { return pullCancelRequested() || abandoned(); }

  void show(const std::string& text) const {
    withLiveInstance(instance, [&] { set_string(job.effect, params::kStatus, text); });
  }
};

// However a pull ends, another may start: the cancel button and the busy flag
// are let go together.
void release_pull() {
  pullEnds();
  gBusy = false;
}

// Every failure ends here: the status and the host message carry the same text.
// The status is written last, so whoever sees it can also see the message.
void report_failure(const Session& s, const std::string& text) {
  withLiveInstance(s.instance, [&] {
    toast("Corvane: " + text);
    set_string(s.job.effect, params::kStatus, "failed: " + text);
  });
  release_pull();
}

// An instance destroyed or a plug-in unloaded mid-pull: nothing to tell anyone.
void end_quietly() { release_pull(); }

// The user's cancel: the backend is told, when it has a session, so that it
// frees its worker; one that does not know the request answers 404 or 405,
// which is as good, since nothing polls it any more.
void end_cancelled(const Session& s, const std::string& session_url) {
  if (!session_url.empty()) {
    tessel::HttpOptions options;
    options.post_timeout_ms = kCancelNoticeMs;
    options.cancelled = [&s] { return s.abandoned(); };
    const tessel::HttpClient http(options);
    http.post_json(protocol::cancel_url(session_url), "{}");
  }
  withLiveInstance(s.instance, [&] {
    toast(kCancelledMessage);
    set_string(s.job.effect, params::kStatus, kCancelledStatus);
  });
  release_pull();
}

void publish(const Session& s, const std::string& session_id) {
  const std::string n = std::to_string(s.job.frame_count);
  withLiveInstance(s.instance, [&] {
    set_string(s.job.effect, params::kSessionId, session_id);
    toast("Corvane: alpha ready for " + n + " frames.");
    set_string(s.job.effect, params::kStatus, "ready: " + n + " frames matted");
  });
  release_pull();
}

// After every transfer: true when the pull has just been ended because its
// instance is gone or the user cancelled. `session_url` is "" before the
// backend has a session to be told about.
bool stop_here(const Session& s, const std::string& session_url) {
  if (s.abandoned()) {
    end_quietly();
    return true;
  }
  if (pullCancelRequested()) {
    end_cancelled(s, session_url);
    return true;
  }
  return false;
}

// The whole file in one read; empty when it cannot be opened or read.
std::vector<unsigned char> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size <= 0) {
    return {};
  }
  std::vector<unsigned char> bytes(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
    return {};
  }
  return bytes;
}

bool ok(int32_t code) { return code >= 200 && code <= 299; }

// Outcome of the polling phase: the matting is done, or the pull has ended.
enum class Tracking { Completed, Ended };

Tracking poll_until_done(const Session& s, const tessel::HttpClient& http, const std::string& session_url) {
  using Clock = std::chrono::steady_clock;
  bool unreachable = false;
  Clock::time_point unreachable_since;
  for (;;) {
    if (!pauseFor(s.timing.poll_interval, s.instance, pullCancelRequested) && stop_here(s, session_url)) {
      return Tracking::Ended;
    }
    tessel::HttpResponse answer = http.get(session_url);
    if (stop_here(s, session_url)) {
      return Tracking::Ended;
    }
    // A backend that answers, however badly, is still there; only silence counts.
    if (answer.code == -1) {
      const Clock::time_point now = Clock::now();
      if (!unreachable) {
        unreachable = true;
        unreachable_since = now;
      } else if (now - unreachable_since >= s.timing.lost_contact) {
        report_failure(s, "lost contact with backend");
        return Tracking::Ended;
      }
      continue;
    }
    unreachable = false;
    if (!ok(answer.code)) {
      continue;
    }
    const nlohmann::json state = protocol::parse_answer(answer.body);
    if (!state.is_object()) {
      continue;
    }
    const std::string status = protocol::text_member(state, protocol::key::kStatus, "");
    if (status == protocol::kFailed) {
      report_failure(s, protocol::text_member(state, protocol::key::kError, "matting failed"));
      return Tracking::Ended;
    }
    // Someone else stopped the session: the mattes will never come.
    if (status == protocol::kCancelled) {
      report_failure(s, "the session was cancelled on the backend");
      return Tracking::Ended;
    }
    if (status == protocol::kCompleted) {
      return Tracking::Completed;
    }
    auto progress = state.find(protocol::key::kProgress);
    if (progress != state.end() && progress->is_object()) {
      s.show("tracking: " + protocol::text_member(*progress, protocol::key::kStage, "..."));
    }
  }
}

// Outcome of starting the last pull's session again.
enum class Restart { Started, Refused, Ended };

// A correction round: the backend already holds these frames, so only start
// is asked for. A 4xx answer (the session is gone, or the backend keeps no
// frames) sends the pull the long way round; anything else ends it.
Restart start_again(const Session& s, const tessel::HttpClient& http, const std::string& session_url) {
  const tessel::HttpResponse started = http.post_json(protocol::start_url(session_url), s.job.request_body);
  if (stop_here(s, session_url)) {
    return Restart::Ended;
  }
  if (ok(started.code)) {
    return Restart::Started;
  }
  if (started.code >= 400 && started.code <= 499) {
    return Restart::Refused;
  }
  report_failure(s, started.code == -1 ? std::string("cannot reach backend")
                                       : "start rejected: " + started.body.substr(0, kRefusalShown));
  return Restart::Ended;
}

// Create, upload and start; "" when the pull has ended, else the session's id.
std::string create_and_upload(const Session& s, const tessel::HttpClient& http) {
  const PullJob& job = s.job;
  const std::string n = std::to_string(job.frame_count);

  // Create.
  tessel::HttpResponse created =
      http.post_json(protocol::sessions_url(job.backend_url), protocol::create_body(job.fps));
  const nlohmann::json answer = protocol::parse_answer(created.body);
  // The id becomes a URL segment and a folder name: it must be safe as both.
  const std::string session_id =
      answer.is_object() ? protocol::text_member(answer, protocol::key::kSessionId, "") : std::string();
  const bool usable_id = ok(created.code) && is_valid_session_id(session_id);
  const std::string session_url = protocol::session_url(job.backend_url, session_id);
  // A create answered just as the user cancelled still leaves a session to be told of.
  if (stop_here(s, usable_id ? session_url : std::string())) {
    return "";
  }
  if (!ok(created.code) || !answer.is_object()) {
    report_failure(s, "cannot reach backend");
    return "";
  }
  if (!usable_id) {
    report_failure(s, "backend gave no usable session id");
    return "";
  }

  // Upload. The frames stay in their folder: a correction round may need them again.
  for (int i = 0; i < job.frame_count; ++i) {
    const std::string frame_path = job.upload_dir + protocol::indexed_file_name(i, protocol::kFrameExtension);
    const std::vector<unsigned char> frame = read_file(frame_path);
    int32_t code = 0;
    for (int attempt = 0; attempt < kUploadAttempts && !ok(code); ++attempt) {
      code = http.put_bytes(protocol::frame_url(session_url, i), frame, protocol::kFrameMediaType).code;
      if (s.halted()) {
        break;  // an aborted transfer is no reason to try again
      }
    }
    if (stop_here(s, session_url)) {
      return "";
    }
    if (!ok(code)) {
      report_failure(s, "upload failed at frame " + std::to_string(i));
      return "";
    }
    if (i % kProgressEvery == 0) {
      s.show("uploading " + std::to_string(i + 1) + "/" + n);
    }
  }

  // Start.
  tessel::HttpResponse started = http.post_json(protocol::start_url(session_url), job.request_body);
  if (stop_here(s, session_url)) {
    return "";
  }
  if (!ok(started.code)) {
    report_failure(s, "start rejected: " + started.body.substr(0, kRefusalShown));
    return "";
  }
  return session_id;
}

// Downloads every matte into temp_root() + folder; false when the pull has ended.
bool download_mattes(const Session& s, const tessel::HttpClient& http, const std::string& session_url,
                     const std::string& folder) {
  const std::string n = std::to_string(s.job.frame_count);
  const std::string session_dir = temp_root() + folder + "/";
  if (!make_folder(session_dir)) {
    report_failure(s, "could not create the session folder " + session_dir);
    return false;
  }
  for (int i = 0; i < s.job.frame_count; ++i) {
    std::vector<unsigned char> matte;
    const bool received = http.get_bytes(protocol::alpha_url(session_url, i), &matte);
    // Nothing is written once the user has cancelled: the folder stays as it was.
    if (stop_here(s, session_url)) {
      return false;
    }
    if (!received) {
      report_failure(s, "download failed at frame " + std::to_string(i));
      return false;
    }
    // Publishing over a missing matte would show the source for that frame as if matted.
    if (!write_file(session_dir + protocol::indexed_file_name(i, protocol::kMatteExtension), matte)) {
      report_failure(s, "could not save matte of frame " + std::to_string(i));
      return false;
    }
    if (i % kProgressEvery == 0) {
      s.show("downloading matte " + std::to_string(i + 1) + "/" + n);
    }
  }
  return true;
}

void run(const Session& s) {
  const PullJob& job = s.job;

  tessel::HttpOptions options;
  options.cancelled = [&s] { return s.halted(); };
  const tessel::HttpClient http(options);

  // Cancelled between the grab and this thread's start: no session yet.
  if (stop_here(s, "")) {
    return;
  }

  std::string session_id;
  // A round's mattes go to a folder of their own: render keeps reading the
  // last set, whole, until session_id names the new one.
  std::string folder;
  if (!job.reuse_session.empty()) {
    const Restart restart = start_again(s, http, protocol::session_url(job.backend_url, job.reuse_session));
    if (restart == Restart::Ended) {
      return;
    }
    if (restart == Restart::Started) {
      session_id = job.reuse_session;
      folder = job.round_folder;
    }
  }
  if (session_id.empty()) {
    session_id = create_and_upload(s, http);
    if (session_id.empty()) {
      return;
    }
    // A backend that hands out an id again must not have its new mattes
    // written over the set on show.
    folder = session_id == job.reuse_session ? job.round_folder : session_id;
  }
  const std::string session_url = protocol::session_url(job.backend_url, session_id);

  if (poll_until_done(s, http, session_url) == Tracking::Ended) {
    return;
  }
  if (!download_mattes(s, http, session_url, folder)) {
    return;
  }

  // The last look: a cancel that came with the last matte still wins.
  if (stop_here(s, session_url)) {
    return;
  }
  // Without its record the next pull of this instance is simply a full one.
  write_pull_record(
      folder, PullRecord{job.backend_url, session_id, job.upload_dir, job.first_frame, job.fps, job.digests});
  // The last pull's frames are of no use once these replace them.
  if (!job.previous_frames_dir.empty() && job.previous_frames_dir != job.upload_dir) {
    remove_kept_frames(job.previous_frames_dir, job.previous_frame_count);
  }
  publish(s, folder);
}

}  // namespace

void runSession(PullJob job) {
  const InstanceToken instance{job.effect, job.instance_generation};
  const Session session{std::move(job), instance, workerTiming()};
  try {
    run(session);
  } catch (...) {
    // Memory exhaustion or a library error must still end the pull and free gBusy.
    try {
      report_failure(session, "the pull stopped on an internal error");
    } catch (...) {
      release_pull();
    }
  }
}
