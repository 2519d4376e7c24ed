// Matte sessions on disk: one folder per session under the data folder, with
// its frames, its mattes and a small state document that survives restarts.
#pragma once

#include "engine/engine.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tessel {

struct StoreLimits {
  long long max_frame_bytes = 32LL << 20;
  int max_frames = 20000;  // per session
  int max_sessions = 16;   // live: created but not finished
  long long max_disk_bytes = 20LL << 30;
  long long ttl_seconds = 24 * 3600;
  long long upload_ttl_seconds = 3600;
};

enum class SessionStatus { Uploading, Queued, Running, Completed, Failed, Cancelled };
const char* status_name(SessionStatus status);

// An HTTP status and, for refusals, a short text saying why.
struct Answer {
  int code = 200;
  std::string text;
};

struct SessionView {
  SessionStatus status = SessionStatus::Uploading;
  std::string stage;
  std::string error;
  int frames = 0;
};

// Everything a worker needs to run the engine on one session.
struct JobSpec {
  std::string id;
  std::string frames_dir;  // ends in "/"
  std::string mattes_dir;  // ends in "/"
  int frame_count = 0;
  EngineRequest request;
};

struct StoreStats {
  int sessions = 0;
  int live = 0;
  long long disk_bytes = 0;
  long long beacons = 0;
};

class SessionStore;

// One frame upload in progress: bytes go to a temporary file that replaces
// the frame only when the whole body has arrived and checks out. Dropping the
// ticket before that removes the temporary file and gives its bytes back.
struct UploadTicket {
  SessionStore* store = nullptr;
  std::string id;
  int index = -1;
  int fd = -1;
  std::string temp_path;
  long long written = 0;
  std::string pending;  // bytes not yet written: the body arrives in small pieces
  std::string head;     // the first bytes, where the JPEG header is
  UploadTicket() = default;
  UploadTicket(const UploadTicket&) = delete;
  UploadTicket& operator=(const UploadTicket&) = delete;
  ~UploadTicket();
};

class SessionStore {
 public:
  // `node` (see valid_node_name) starts every new session's id, so that a
  // proxy in front of several backends can tell which one holds a session.
  SessionStore(std::string data_dir, StoreLimits limits, std::string node = "");
  ~SessionStore();
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;

  // Creates the data folder if needed and takes over the sessions in it.
  // Sessions that were queued or running come back in *requeue, in the
  // order they were started.
  bool open(std::vector<std::string>* requeue, std::string* error);

  Answer create(double fps, std::string* id);
  // declared_length is the request's Content-Length, or -1 when unknown.
  Answer begin_upload(const std::string& id, long long index, long long declared_length,
                      UploadTicket* ticket);
  Answer write_upload(UploadTicket* ticket, const char* data, size_t size);
  Answer finish_upload(UploadTicket* ticket);
  // On a session still taking frames: its first job. On one whose job has
  // ended (completed, failed or cancelled): a new job on the same frames,
  // replacing its mattes. 409 while a job is queued or runs.
  Answer start(const std::string& id, const EngineRequest& request);
  // Ends a session that is not finished; its job, if one runs, is told by the
  // caller through the queue. Cancelling twice is no error.
  Answer cancel(const std::string& id);
  bool view(const std::string& id, SessionView* out);
  Answer matte_file(const std::string& id, long long index, std::string* path);

  // Worker side: Queued -> Running; false when the session is gone or not queued.
  bool claim(const std::string& id, JobSpec* job);
  void set_stage(const std::string& id, const std::string& stage);
  // False when the matte would take the store past --max-disk: it is not
  // counted, and the caller removes it.
  bool matte_written(const std::string& id, int index, long long bytes);
  void finish(const std::string& id, const EngineOutcome& outcome);

  // Removes finished or abandoned sessions idle for longer than the time to
  // live, sessions left in upload idle for longer than the upload's, and
  // cancelled ones as soon as no job or upload uses them.
  int expire(std::time_t now);
  long long count_beacon();
  StoreStats stats();

 private:
  struct Session;
  friend struct UploadTicket;
  void release(UploadTicket* ticket);
  Session* find(const std::string& id);                      // caller holds mu_
  Answer restart(Session* s, const EngineRequest& request);  // caller holds mu_
  bool save(const Session& s);                               // caller holds mu_
  static std::string state_document(const Session& s);
  bool load(const std::string& id, std::vector<std::pair<std::time_t, std::string>>* requeue);
  std::string dir_of(const std::string& id) const;
  int live_count() const;  // caller holds mu_

  std::string root_;  // ends in "/"
  std::string node_;
  StoreLimits limits_;
  std::mutex mu_;
  std::map<std::string, std::unique_ptr<Session>> sessions_;
  std::atomic<long long> disk_used_{0};
  long long beacons_ = 0;
};

// Session ids: 128 random bits as 32 lowercase hex digits, after "<node>-"
// on a backend given a node name. Ids of either shape are valid on any node,
// so sessions made before a node had its name still load.
std::string new_session_id(const std::string& node = "");
bool valid_session_id(const std::string& id);
// Node names: 1 to 16 lowercase letters and digits, safe in a URL, a folder
// name and a proxy's pattern alike.
bool valid_node_name(const std::string& node);

}  // namespace tessel
