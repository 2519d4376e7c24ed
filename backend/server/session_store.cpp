// The session store's requests: create, upload, start, poll, download, jobs.
#include "session_record.h"

#include "engine/frame_files.h"
#include "protocol/api.h"
#include "protocol/clip_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace tessel {
namespace {

std::time_t now() { return std::time(nullptr); }

// Upload bodies arrive in pieces of a few kilobytes; they reach the file in
// larger writes.
constexpr size_t kUploadBuffer = 256 * 1024;
// JPEG headers (with their metadata segments) nearly always fit in this.
constexpr size_t kHeadBytes = 64 * 1024;

bool flush_pending(UploadTicket* t) {
  size_t done = 0;
  while (done < t->pending.size()) {
    ssize_t n = ::write(t->fd, t->pending.data() + done, t->pending.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  t->pending.clear();
  return true;
}

// A session folder holds its frames and mattes the way a clip folder does.
const std::string kFramesDir = std::string(protocol::kFramesDir) + "/";
const std::string kAlphaDir = std::string(protocol::kAlphaDir) + "/";

bool is_live(SessionStatus s) {
  return s == SessionStatus::Uploading || s == SessionStatus::Queued || s == SessionStatus::Running;
}

}  // namespace

const char* status_name(SessionStatus status) {
  switch (status) {
    case SessionStatus::Uploading:
      return protocol::kUploading;
    case SessionStatus::Queued:
      return protocol::kQueued;
    case SessionStatus::Running:
      return protocol::kRunning;
    case SessionStatus::Completed:
      return protocol::kCompleted;
    case SessionStatus::Failed:
      return protocol::kFailed;
    case SessionStatus::Cancelled:
      return protocol::kCancelled;
  }
  return "UNKNOWN";
}

UploadTicket::~UploadTicket() {
  if (store) store->release(this);
}

SessionStore::SessionStore(std::string data_dir, StoreLimits limits, std::string node)
    : root_(std::move(data_dir)), node_(std::move(node)), limits_(limits) {
  if (root_.empty()) root_ = ".";
  if (root_.back() != '/') root_ += '/';
}

SessionStore::~SessionStore() = default;

std::string SessionStore::dir_of(const std::string& id) const { return root_ + id + "/"; }

SessionStore::Session* SessionStore::find(const std::string& id) {
  if (!valid_session_id(id)) return nullptr;
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second.get();
}

int SessionStore::live_count() const {
  int n = 0;
  for (const auto& entry : sessions_) n += is_live(entry.second->status);
  return n;
}

Answer SessionStore::create(double fps, std::string* id) {
  std::lock_guard<std::mutex> lock(mu_);
  if (live_count() >= limits_.max_sessions) return {503, "too many sessions in progress, try again later"};
  if (disk_used_.load() >= limits_.max_disk_bytes) return {503, "disk quota reached, try again later"};
  auto s = std::make_unique<Session>();
  do {
    s->id = new_session_id(node_);
  } while (sessions_.count(s->id));
  s->fps = fps;
  s->created = s->touched = now();
  s->stage = "waiting for frames";
  // The folder is built under a temporary name and renamed whole, so a crash
  // never leaves a session folder without its state document.
  std::string temp = root_ + ".new-" + s->id;
  std::string state = state_document(*s);
  bool ok = ::mkdir(temp.c_str(), 0700) == 0 && ::mkdir((temp + "/frames").c_str(), 0700) == 0 &&
            ::mkdir((temp + "/alpha").c_str(), 0700) == 0 &&
            write_file_atomic(temp + "/session.json", state.data(), state.size()) &&
            ::rename(temp.c_str(), (root_ + s->id).c_str()) == 0;
  if (!ok) {
    std::error_code ec;
    std::filesystem::remove_all(temp, ec);
    return {500, "cannot create the session folder"};
  }
  *id = s->id;
  sessions_.emplace(s->id, std::move(s));
  return {};
}

Answer SessionStore::begin_upload(const std::string& id, long long index, long long declared_length,
                                  UploadTicket* ticket) {
  if (index < 0 || index >= limits_.max_frames) {
    return {413, "frame index beyond the limit of " + std::to_string(limits_.max_frames) + " frames"};
  }
  if (declared_length > limits_.max_frame_bytes) {
    return {413, "frame larger than the limit of " + std::to_string(limits_.max_frame_bytes) + " bytes"};
  }
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return {404, "unknown session"};
  if (s->status == SessionStatus::Cancelled) return {409, "session cancelled"};
  if (s->status != SessionStatus::Uploading) return {409, "session already started"};
  if (declared_length > 0 && disk_used_.load() + declared_length > limits_.max_disk_bytes) {
    return {503, "disk quota reached, try again later"};
  }
  std::string path = dir_of(id) + kFramesDir +
                     protocol::indexed_file_name(static_cast<int>(index), protocol::kFrameExtension);
  std::string temp = temp_name(path);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return {500, "cannot store the frame"};
  ++s->uploads_in_flight;
  s->touched = now();
  ticket->store = this;
  ticket->id = id;
  ticket->index = static_cast<int>(index);
  ticket->fd = fd;
  ticket->temp_path = temp;
  ticket->written = 0;
  return {};
}

Answer SessionStore::write_upload(UploadTicket* t, const char* data, size_t size) {
  if (t->written + static_cast<long long>(size) > limits_.max_frame_bytes) {
    return {413, "frame larger than the limit of " + std::to_string(limits_.max_frame_bytes) + " bytes"};
  }
  // Counted before the write, so that parallel uploads cannot overshoot together.
  t->written += static_cast<long long>(size);
  if (disk_used_.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size) >
      limits_.max_disk_bytes) {
    return {503, "disk quota reached, try again later"};
  }
  if (t->head.size() < kHeadBytes) t->head.append(data, std::min(size, kHeadBytes - t->head.size()));
  t->pending.append(data, size);
  if (t->pending.size() >= kUploadBuffer && !flush_pending(t)) return {500, "cannot store the frame"};
  return {};
}

Answer SessionStore::finish_upload(UploadTicket* t) {
  bool flushed = flush_pending(t);
  int fd = t->fd;
  t->fd = -1;
  if (::close(fd) != 0 || !flushed) return {500, "cannot store the frame"};
  if (t->written == 0) return {400, "empty frame"};
  int w = 0, h = 0;
  JpegScan scan = jpeg_size(reinterpret_cast<const unsigned char*>(t->head.data()), t->head.size(), &w, &h);
  if (scan == JpegScan::Incomplete && static_cast<long long>(t->head.size()) < t->written) {
    scan = jpeg_size(t->temp_path, &w, &h) ? JpegScan::Found : JpegScan::NotJpeg;
  }
  if (scan != JpegScan::Found) return {400, "frame is not a JPEG image"};
  if (w > kMaxFrameSide || h > kMaxFrameSide || static_cast<long long>(w) * h > kMaxFramePixels) {
    return {413, "frame larger than " + std::to_string(kMaxFrameSide) + " pixels a side"};
  }
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(t->id);
  if (!s) return {404, "unknown session"};
  // A start that came in while the body was arriving wins: the frames of a
  // started session never change.
  if (s->status == SessionStatus::Cancelled) return {409, "session cancelled"};
  if (s->status != SessionStatus::Uploading) return {409, "session already started"};
  std::string path =
      dir_of(t->id) + kFramesDir + protocol::indexed_file_name(t->index, protocol::kFrameExtension);
  if (::rename(t->temp_path.c_str(), path.c_str()) != 0) return {500, "cannot store the frame"};
  t->temp_path.clear();
  if (s->frame_bytes.size() <= static_cast<size_t>(t->index)) s->frame_bytes.resize(t->index + 1, 0);
  disk_used_ -= s->frame_bytes[t->index];  // a retried upload replaces the earlier copy
  s->frame_bytes[t->index] = t->written;
  t->written = 0;
  s->touched = now();
  return {};
}

void SessionStore::release(UploadTicket* t) {
  if (t->fd >= 0) ::close(t->fd);
  if (!t->temp_path.empty()) ::unlink(t->temp_path.c_str());
  disk_used_ -= t->written;
  std::lock_guard<std::mutex> lock(mu_);
  if (Session* s = find(t->id)) --s->uploads_in_flight;
  t->store = nullptr;
}

Answer SessionStore::start(const std::string& id, const EngineRequest& request) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return {404, "unknown session"};
  if (is_live(s->status) && s->status != SessionStatus::Uploading) return {409, "session already started"};
  if (!is_live(s->status)) return restart(s, request);
  s->touched = now();
  int present = s->frames_present();
  if (present == 0) return {400, "no frames uploaded"};
  for (size_t i = 0; i < s->frame_bytes.size(); ++i) {
    if (s->frame_bytes[i] == 0) return {400, "frame " + std::to_string(i) + " missing"};
  }
  if (request.anchor_frame >= present) {
    return {400, "anchor_frame beyond the last frame (" + std::to_string(present) + " frames)"};
  }
  s->status = SessionStatus::Queued;
  s->frame_count = present;
  s->request = request;
  s->started = s->touched;
  s->stage = "queued";
  s->matte_bytes.assign(present, 0);
  if (!save(*s)) {
    s->status = SessionStatus::Uploading;
    return {500, "cannot record the session state"};
  }
  return {};
}

// A new job on the frames an ended session holds: its old mattes go first, so
// that nobody downloads a set mixed from two jobs.
Answer SessionStore::restart(Session* s, const EngineRequest& request) {
  if (s->status == SessionStatus::Cancelled && s->frame_count <= 0) return {409, "session cancelled"};
  // A cancelled job may still be winding down on its worker.
  if (s->job_running) return {409, "the session's last job is still stopping"};
  if (live_count() >= limits_.max_sessions) return {503, "too many sessions in progress, try again later"};
  if (s->frame_count <= 0 || s->frames_present() != s->frame_count ||
      static_cast<int>(s->frame_bytes.size()) != s->frame_count) {
    return {409, "the session no longer holds its frames"};
  }
  if (request.anchor_frame >= s->frame_count) {
    return {400, "anchor_frame beyond the last frame (" + std::to_string(s->frame_count) + " frames)"};
  }
  for (size_t i = 0; i < s->matte_bytes.size(); ++i) {
    if (s->matte_bytes[i] == 0) continue;
    const std::string path = dir_of(s->id) + kAlphaDir +
                             protocol::indexed_file_name(static_cast<int>(i), protocol::kMatteExtension);
    std::remove(path.c_str());
    disk_used_ -= s->matte_bytes[i];
  }
  s->matte_bytes.assign(s->frame_count, 0);
  const SessionStatus was = s->status;
  s->status = SessionStatus::Queued;
  s->request = request;
  s->error.clear();
  s->touched = s->started = now();
  s->stage = "queued";
  if (!save(*s)) {
    // The mattes are gone already: the session is left failed, never completed without them.
    s->status = was == SessionStatus::Cancelled ? was : SessionStatus::Failed;
    s->error = "cannot record the session state";
    return {500, "cannot record the session state"};
  }
  return {};
}

Answer SessionStore::cancel(const std::string& id) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return {404, "unknown session"};
  if (s->status == SessionStatus::Completed || s->status == SessionStatus::Failed) {
    return {409, "session already finished"};
  }
  s->touched = now();
  if (s->status == SessionStatus::Cancelled) return {};
  s->status = SessionStatus::Cancelled;
  s->stage = "cancelled";
  save(*s);
  return {};
}

bool SessionStore::view(const std::string& id, SessionView* out) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return false;
  s->touched = now();
  out->status = s->status;
  out->stage = s->stage;
  out->error = s->error;
  // A session that never started (uploading, or cancelled before its start) counts what it holds.
  const bool never_started = s->status == SessionStatus::Uploading || s->frame_count == 0;
  out->frames = never_started ? s->frames_present() : s->frame_count;
  return true;
}

Answer SessionStore::matte_file(const std::string& id, long long index, std::string* path) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return {404, "unknown session"};
  s->touched = now();
  if (index < 0 || index >= static_cast<long long>(s->matte_bytes.size()) || s->matte_bytes[index] == 0) {
    return {404, "no matte for frame " + std::to_string(index)};
  }
  *path = dir_of(id) + kAlphaDir +
          protocol::indexed_file_name(static_cast<int>(index), protocol::kMatteExtension);
  return {};
}

bool SessionStore::claim(const std::string& id, JobSpec* job) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s || s->status != SessionStatus::Queued) return false;
  s->status = SessionStatus::Running;
  s->job_running = true;
  s->stage = "starting";
  s->touched = now();
  save(*s);
  job->id = id;
  job->frames_dir = dir_of(id) + kFramesDir;
  job->mattes_dir = dir_of(id) + kAlphaDir;
  job->frame_count = s->frame_count;
  job->request = s->request;
  return true;
}

void SessionStore::set_stage(const std::string& id, const std::string& stage) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (s && s->status == SessionStatus::Running) s->stage = stage;
}

bool SessionStore::matte_written(const std::string& id, int index, long long bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s || index < 0 || index >= static_cast<int>(s->matte_bytes.size())) return false;
  long long grows = bytes - s->matte_bytes[index];
  if (grows > 0 && disk_used_.load() + grows > limits_.max_disk_bytes) return false;
  disk_used_ += grows;
  s->matte_bytes[index] = bytes;
  return true;
}

void SessionStore::finish(const std::string& id, const EngineOutcome& outcome) {
  std::lock_guard<std::mutex> lock(mu_);
  Session* s = find(id);
  if (!s) return;
  s->touched = now();
  s->job_running = false;
  if (s->status == SessionStatus::Cancelled) {
    // The user's cancel stopped the job; what it left is of no use to anyone.
    return;
  }
  if (outcome.cancelled) {
    // Shutting down: recorded as queued, so the next start runs it again.
    s->status = SessionStatus::Queued;
    s->stage = "queued";
  } else if (outcome.ok) {
    s->status = SessionStatus::Completed;
    s->stage = "done";
    for (size_t i = 0; i < s->matte_bytes.size(); ++i) {
      if (s->matte_bytes[i] == 0) {
        s->status = SessionStatus::Failed;
        s->error = "the matte of frame " + std::to_string(i) + " was not written";
        s->stage = "failed";
        break;
      }
    }
  } else {
    s->status = SessionStatus::Failed;
    s->error = outcome.error.empty() ? "matting failed" : outcome.error;
    s->stage = "failed";
  }
  save(*s);
}

long long SessionStore::count_beacon() {
  std::lock_guard<std::mutex> lock(mu_);
  ++beacons_;
  std::string text = std::to_string(beacons_) + "\n";
  write_file_atomic(root_ + "beacons", text.data(), text.size());
  return beacons_;
}

StoreStats SessionStore::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  StoreStats st;
  st.sessions = static_cast<int>(sessions_.size());
  st.live = live_count();
  st.disk_bytes = disk_used_.load();
  st.beacons = beacons_;
  return st;
}

}  // namespace tessel
