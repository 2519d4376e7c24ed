// Encodes grabbed frames to JPEG files on one or two threads of its own while
// the host's thread grabs the next frames. Memory stays bounded: a few byte
// images circulate between the grabber and the encoders, never the whole clip.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin/frame_convert.h"

struct FrameWriter {
  // Frame i goes to folder + "%06d" of i + ".jpg".
  FrameWriter(std::string folder, int threads);
  ~FrameWriter();  // waits for the frames handed over
  FrameWriter(const FrameWriter&) = delete;
  FrameWriter& operator=(const FrameWriter&) = delete;

  // A byte image to grab into; waits while every buffer is in flight.
  ByteImage take_buffer();
  void submit(int index, ByteImage image);
  // True once some frame could not be encoded or written.
  bool failed();
  // Waits for every frame handed over; false with the first failure's text.
  bool finish(std::string* error);

 private:
  struct Frame {
    int index = 0;
    ByteImage image;
  };
  void encode_loop();
  void encode(Frame& frame);  // records a failure, returns the buffer

  std::string folder_;
  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<Frame> queue_;
  std::vector<ByteImage> spare_;
  int buffers_out_ = 0;
  int buffer_limit_ = 1;
  bool closing_ = false;
  int failed_index_ = -1;
  bool failed_writing_ = false;  // else the encoding failed
  std::vector<std::thread> threads_;
};
