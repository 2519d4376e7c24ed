// A reader of the parts of a TensorFlow Lite model file that a small float
// network needs: tensors, their constant data and the operator list. The file
// is a FlatBuffer; we walk its tables by hand, checking every offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace prior {

enum class TensorType : int { kFloat32 = 0, kFloat16 = 1, kInt32 = 2, kUint8 = 3, kInt64 = 4 };

struct Tensor {
  std::string name;
  std::vector<int> shape;
  TensorType type = TensorType::kFloat32;
  std::vector<uint8_t> data;  // empty unless the tensor is a constant
};

// Options tables differ per operator; we keep each as field index -> integer
// value (all the options we use are scalars).
struct Operator {
  int builtin = -1;         // TFLite BuiltinOperator code; 32 is CUSTOM
  std::string custom;       // custom operator name, when builtin == 32
  std::vector<int> inputs;  // tensor indices, -1 for an absent optional input
  std::vector<int> outputs;
  std::vector<int64_t> options;         // builtin options by field index, 0 when absent
  std::vector<uint8_t> custom_options;  // raw bytes for custom operators
  int option(size_t field, int64_t fallback = 0) const {
    return static_cast<int>(field < options.size() ? options[field] : fallback);
  }
};

struct Model {
  std::vector<Tensor> tensors;
  std::vector<Operator> operators;
  std::vector<int> inputs;
  std::vector<int> outputs;
};

// Parses the first subgraph. Throws std::runtime_error on anything malformed.
Model parse_tflite(const std::vector<uint8_t>& bytes);
Model load_tflite(const std::string& path);

// The tensor's data as floats (FLOAT32 copied, FLOAT16 widened).
std::vector<float> tensor_floats(const Tensor& t);
float half_to_float(uint16_t h);

}  // namespace prior
