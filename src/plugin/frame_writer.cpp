#include "plugin/frame_writer.h"

#include <utility>

#include "image/image_io.h"
#include "plugin/matte_store.h"
#include "protocol/clip_folder.h"

namespace {
constexpr int kJpegQuality = 92;
}  // namespace

FrameWriter::FrameWriter(std::string folder, int threads) : folder_(std::move(folder)) {
  // Reserved before any thread starts: returning a buffer must never allocate.
  spare_.reserve(static_cast<size_t>(threads > 0 ? threads : 0) + 2);
  for (int i = 0; i < threads; ++i) {
    try {
      threads_.emplace_back([this] { encode_loop(); });
    } catch (...) {
      break;  // fewer encoders, or none: submit() then encodes on the caller's thread
    }
  }
  // One buffer being grabbed, one per encoder at work, one waiting in the queue.
  buffer_limit_ = static_cast<int>(threads_.size()) + 2;
}

FrameWriter::~FrameWriter() {
  std::string ignored;
  finish(&ignored);
}

ByteImage FrameWriter::take_buffer() {
  std::unique_lock<std::mutex> lock(mu_);
  changed_.wait(lock, [this] { return buffers_out_ < buffer_limit_; });
  ++buffers_out_;
  if (spare_.empty()) {
    return ByteImage{};
  }
  ByteImage image = std::move(spare_.back());
  spare_.pop_back();
  return image;
}

void FrameWriter::submit(int index, ByteImage image) {
  Frame frame{index, std::move(image)};
  if (threads_.empty()) {
    encode(frame);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    queue_.push_back(std::move(frame));
  }
  changed_.notify_all();
}

bool FrameWriter::failed() {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_index_ >= 0;
}

bool FrameWriter::finish(std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closing_ = true;
  }
  changed_.notify_all();
  for (std::thread& t : threads_) {
    if (t.joinable()) {
      t.join();
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (failed_index_ >= 0) {
    *error = std::string(failed_writing_ ? "could not write frame " : "could not encode frame ") +
             std::to_string(failed_index_);
    return false;
  }
  return true;
}

void FrameWriter::encode_loop() {
  for (;;) {
    Frame frame;
    {
      std::unique_lock<std::mutex> lock(mu_);
      changed_.wait(lock, [this] { return !queue_.empty() || closing_; });
      if (queue_.empty()) {
        return;
      }
      frame = std::move(queue_.front());
      queue_.pop_front();
    }
    encode(frame);
  }
}

void FrameWriter::encode(Frame& frame) {
  bool encoded = false;
  bool written = false;
  try {
    const std::vector<unsigned char> jpeg =
        tessel::rgba_to_jpeg(frame.image.pixels.data(), frame.image.width, frame.image.height, kJpegQuality);
    encoded = !jpeg.empty();
    written = encoded &&
              write_file(folder_ + protocol::indexed_file_name(frame.index, protocol::kFrameExtension), jpeg);
  } catch (...) {
    // Counted as a frame that could not be encoded or written, below.
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    --buffers_out_;
    spare_.push_back(std::move(frame.image));
    // The lowest index wins, so the message names the first frame missing on disk.
    if (!written && (failed_index_ < 0 || frame.index < failed_index_)) {
      failed_index_ = frame.index;
      failed_writing_ = encoded;
    }
  }
  changed_.notify_all();
}
