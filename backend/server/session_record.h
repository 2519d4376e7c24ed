// The in-memory record of one session, shared by the store's source files.
#pragma once

#include "session_store.h"

#include <ctime>
#include <string>
#include <vector>

namespace tessel {

struct SessionStore::Session {
  std::string id;
  SessionStatus status = SessionStatus::Uploading;
  double fps = 0;
  std::string stage;
  std::string error;
  std::time_t created = 0;
  std::time_t started = 0;
  std::time_t touched = 0;  // last request or state change: the time to live counts from here
  int frame_count = 0;      // fixed at start
  EngineRequest request;
  std::vector<long long> frame_bytes;  // by index; 0 = not uploaded
  std::vector<long long> matte_bytes;  // by index; 0 = not written
  int uploads_in_flight = 0;
  bool job_running = false;  // claimed by a worker that has not finished yet

  long long bytes() const {
    long long total = 0;
    for (long long b : frame_bytes) total += b;
    for (long long b : matte_bytes) total += b;
    return total;
  }
  int frames_present() const {
    int n = 0;
    for (long long b : frame_bytes) n += b > 0;
    return n;
  }
};

}  // namespace tessel
