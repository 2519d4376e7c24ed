// The chain document: a JSON array of task objects, written compactly with
// sorted keys and read back strictly, all or nothing.
#include "chain/chain.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace tessel {
namespace {

using nlohmann::json;

std::string read_string(const json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) {
    return {};
  }
  if (!it->is_string()) {
    throw std::invalid_argument(std::string(key) + " is not a string");
  }
  return it->get<std::string>();
}

std::int32_t read_seed(const json& object) {
  const auto it = object.find("seed");
  if (it == object.end()) {
    return 0;
  }
  if (it->is_number_unsigned()) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(it->get<std::uint64_t>()));
  }
  if (it->is_number_integer()) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(it->get<std::int64_t>()));
  }
  if (it->is_number_float()) {
    // Truncated toward zero; beyond the 32-bit range the seed is clamped to it.
    const double v = std::trunc(it->get<double>());
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    if (std::isnan(v)) {
      return 0;
    }
    return static_cast<std::int32_t>(v < lo ? lo : (v > hi ? hi : v));
  }
  if (it->is_boolean()) {
    return it->get<bool>() ? 1 : 0;
  }
  throw std::invalid_argument("seed is not a number");
}

double read_duration(const json& object) {
  const auto it = object.find("duration_sec");
  if (it == object.end()) {
    return 0.0;
  }
  if (it->is_number_unsigned()) {
    return static_cast<double>(it->get<std::uint64_t>());
  }
  if (it->is_number_integer()) {
    return static_cast<double>(it->get<std::int64_t>());
  }
  if (it->is_number_float()) {
    return it->get<double>();
  }
  throw std::invalid_argument("duration_sec is not a number");
}

bool read_completed(const json& object) {
  const auto it = object.find("completed");
  if (it == object.end()) {
    return false;
  }
  if (!it->is_boolean()) {
    throw std::invalid_argument("completed is not a boolean");
  }
  return it->get<bool>();
}

ChainNode read_node(const json& value) {
  if (!value.is_object()) {
    throw std::invalid_argument("a chain element is not an object");
  }
  ChainNode node;
  node.task_id = read_string(value, "task_id");
  node.parent_task_id = read_string(value, "parent_task_id");
  node.prompt = read_string(value, "prompt");
  node.video_url = read_string(value, "video_url");
  node.seed = read_seed(value);
  node.duration_sec = read_duration(value);
  node.completed = read_completed(value);
  return node;
}

}  // namespace

std::string Chain::dump() const {
  json document = json::array();
  for (const ChainNode& node : nodes) {
    json object = json::object();
    object["completed"] = node.completed;
    object["duration_sec"] = node.duration_sec;
    object["parent_task_id"] = node.parent_task_id;
    object["prompt"] = node.prompt;
    object["seed"] = static_cast<std::int64_t>(node.seed);
    object["task_id"] = node.task_id;
    object["video_url"] = node.video_url;
    document.push_back(std::move(object));
  }
  return document.dump();
}

void Chain::load(const std::string& text) {
  nodes.clear();
  if (text.empty()) {
    return;
  }
  try {
    const json document = json::parse(text);
    if (document.is_array() || document.is_object()) {
      // An object yields its member values in ascending key order (the keys are dropped).
      for (const json& value : document) {
        nodes.push_back(read_node(value));
      }
    } else if (!document.is_null()) {
      nodes.push_back(read_node(document));
    }
  } catch (...) {
    nodes.clear();
  }
}

}  // namespace tessel
