// An ordered list of generation tasks, saved to and loaded from one JSON text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessel {

struct ChainNode {
  std::string task_id;
  std::string parent_task_id;
  std::string prompt;
  std::string video_url;
  std::int32_t seed = 0;
  double duration_sec = 0.0;
  bool completed = false;
};

struct Chain {
  std::vector<ChainNode> nodes;  // first task first

  // Compact JSON array, one object per node, keys in ascending order. Throws the
  // JSON library's error when a string is not valid UTF-8; the chain is unchanged.
  std::string dump() const;
  // Replaces the nodes with those of `text`, all or nothing: any fault in the
  // text leaves the chain empty. Never throws.
  void load(const std::string& text);
};

}  // namespace tessel
