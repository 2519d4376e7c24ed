#include "tflite_model.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace prior {
namespace {

// Field indices of the TFLite schema tables we read (ids, in declaration order).
enum ModelField { kModelOperatorCodes = 1, kModelSubgraphs = 2, kModelBuffers = 4 };
enum CodeField { kCodeDeprecatedBuiltin = 0, kCodeCustom = 1, kCodeBuiltin = 3 };
enum SubgraphField { kSgTensors = 0, kSgInputs = 1, kSgOutputs = 2, kSgOperators = 3 };
enum TensorField { kTensorShape = 0, kTensorType = 1, kTensorBuffer = 2, kTensorName = 3 };
enum OpField { kOpCode = 0, kOpInputs = 1, kOpOutputs = 2, kOpOptions = 4, kOpCustomOptions = 5 };
constexpr int kBufferData = 0;
constexpr int kMaxOptionFields = 16;

// A view of the file with checked little-endian reads.
class Bytes {
 public:
  explicit Bytes(const std::vector<uint8_t>& b) : b_(b) {}
  template <typename T>
  T get(size_t at) const {
    need(at, sizeof(T));
    T v;
    std::memcpy(&v, b_.data() + at, sizeof(T));
    return v;
  }
  void need(size_t at, size_t n) const {
    if (at > b_.size() || n > b_.size() - at) throw std::runtime_error("tflite: offset out of range");
  }
  const uint8_t* at(size_t pos) const { return b_.data() + pos; }

 private:
  const std::vector<uint8_t>& b_;
};

// A FlatBuffer table: its start and its vtable (field -> offset from start).
class Table {
 public:
  Table(const Bytes& b, size_t pos) : b_(b), pos_(pos) {
    vtable_ = pos - static_cast<int64_t>(b.get<int32_t>(pos));
    vsize_ = b.get<uint16_t>(vtable_);
    if (vsize_ < 4 || vsize_ % 2) throw std::runtime_error("tflite: bad vtable");
    b.need(vtable_, vsize_);
  }
  size_t field(int id) const {  // 0 when absent
    size_t slot = 4 + 2 * static_cast<size_t>(id);
    return slot + 2 <= vsize_ ? b_.get<uint16_t>(vtable_ + slot) : 0;
  }
  bool has(int id) const { return field(id) != 0; }
  template <typename T>
  T scalar(int id, T fallback = 0) const {
    size_t f = field(id);
    return f ? b_.get<T>(pos_ + f) : fallback;
  }
  // Follows an offset field to what it points at (a table, vector or string).
  size_t deref(int id) const {
    size_t f = field(id);
    if (!f) return 0;
    return pos_ + f + b_.get<uint32_t>(pos_ + f);
  }
  // Length and start of a vector field; {0, 0} when absent.
  std::pair<uint32_t, size_t> vec(int id, size_t elem) const {
    size_t p = deref(id);
    if (!p) return {0, 0};
    uint32_t n = b_.get<uint32_t>(p);
    b_.need(p + 4, static_cast<size_t>(n) * elem);
    return {n, p + 4};
  }
  Table table_at(int id, uint32_t i) const {
    auto [n, start] = vec(id, 4);
    if (i >= n) throw std::runtime_error("tflite: index out of range");
    size_t p = start + 4 * i;
    return Table(b_, p + b_.get<uint32_t>(p));
  }
  std::vector<int> ints(int id) const {
    auto [n, start] = vec(id, 4);
    std::vector<int> v(n);
    for (uint32_t i = 0; i < n; ++i) v[i] = b_.get<int32_t>(start + 4 * i);
    return v;
  }
  std::vector<uint8_t> bytes(int id) const {
    auto [n, start] = vec(id, 1);
    return n ? std::vector<uint8_t>(b_.at(start), b_.at(start) + n) : std::vector<uint8_t>();
  }
  std::string string(int id) const {
    auto v = bytes(id);
    return std::string(v.begin(), v.end());
  }
  uint32_t count(int id) const { return vec(id, 4).first; }

 private:
  const Bytes& b_;
  size_t pos_;
  size_t vtable_;
  size_t vsize_;
};

// The vtable does not say how wide a field is, so the widths of the option
// fields we read are listed per builtin operator. Padding, activation and bool
// fields are one byte; strides, sizes and factors are int32.
int option_width(int builtin, int field) {
  switch (builtin) {
    case 3:  // CONV_2D: padding, stride_w, stride_h, activation, dilation_w, dilation_h
      return (field == 0 || field == 3) ? 1 : 4;
    case 4:  // DEPTHWISE_CONV_2D: padding, stride_w, stride_h, multiplier, activation, dilations
      return (field == 0 || field == 4) ? 1 : 4;
    case 1:
    case 17:  // AVERAGE/MAX_POOL_2D: padding, stride_w, stride_h, filter_w, filter_h, activation
      return (field == 0 || field == 5) ? 1 : 4;
    case 0:
    case 18:
    case 41:  // ADD, MUL, SUB: activation, pot_scale_int16 (a bool; ADD and SUB only)
      return field < 2 ? 1 : 0;
    case 23:  // RESIZE_BILINEAR: new_height, new_width (deprecated), align_corners, half_pixel
      return field < 2 ? 4 : 1;
    default:
      return 0;  // options we do not understand are left out
  }
}

std::vector<int64_t> read_options(const Bytes& b, const Table& op, int builtin) {
  std::vector<int64_t> out;
  if (!op.has(kOpOptions)) return out;
  Table opts(b, op.deref(kOpOptions));
  for (int f = 0; f < kMaxOptionFields; ++f) {
    int w = option_width(builtin, f);
    int64_t v = 0;
    if (w == 1) v = opts.scalar<int8_t>(f);
    if (w == 4) v = opts.scalar<int32_t>(f);
    out.push_back(v);
  }
  return out;
}

}  // namespace

float half_to_float(uint16_t h) {
  uint32_t sign = (h & 0x8000u) << 16, exp = (h >> 10) & 0x1f, man = h & 0x3ff, bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000u | (man << 13);  // inf or NaN
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (man << 13);
  } else if (man == 0) {
    bits = sign;
  } else {  // subnormal: shift until the implicit bit appears
    exp = 113;
    while (!(man & 0x400)) man <<= 1, --exp;
    bits = sign | (exp << 23) | ((man & 0x3ff) << 13);
  }
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

std::vector<float> tensor_floats(const Tensor& t) {
  std::vector<float> out;
  if (t.type == TensorType::kFloat32) {
    out.resize(t.data.size() / 4);
    std::memcpy(out.data(), t.data.data(), out.size() * 4);
  } else if (t.type == TensorType::kFloat16) {
    out.resize(t.data.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
      uint16_t h;
      std::memcpy(&h, t.data.data() + 2 * i, 2);
      out[i] = half_to_float(h);
    }
  } else {
    throw std::runtime_error("tflite: tensor " + t.name + " is not float");
  }
  return out;
}

Model parse_tflite(const std::vector<uint8_t>& bytes) {
  Bytes b(bytes);
  if (bytes.size() < 8 || std::memcmp(bytes.data() + 4, "TFL3", 4) != 0)
    throw std::runtime_error("tflite: not a TFLite file (no TFL3 identifier)");
  Table root(b, b.get<uint32_t>(0));
  if (root.count(kModelSubgraphs) < 1) throw std::runtime_error("tflite: no subgraph");
  Table sg = root.table_at(kModelSubgraphs, 0);

  Model m;
  m.inputs = sg.ints(kSgInputs);
  m.outputs = sg.ints(kSgOutputs);
  const uint32_t nbuffers = root.count(kModelBuffers);
  for (uint32_t i = 0; i < sg.count(kSgTensors); ++i) {
    Table t = sg.table_at(kSgTensors, i);
    Tensor out;
    out.name = t.string(kTensorName);
    out.shape = t.ints(kTensorShape);
    out.type = static_cast<TensorType>(t.scalar<int8_t>(kTensorType));
    uint32_t buf = t.scalar<uint32_t>(kTensorBuffer);
    if (buf >= nbuffers) throw std::runtime_error("tflite: tensor buffer out of range");
    out.data = root.table_at(kModelBuffers, buf).bytes(kBufferData);
    m.tensors.push_back(std::move(out));
  }

  std::vector<std::pair<int, std::string>> codes;
  for (uint32_t i = 0; i < root.count(kModelOperatorCodes); ++i) {
    Table c = root.table_at(kModelOperatorCodes, i);
    // Newer files keep the code in an int32 field; older ones in an int8 one.
    int code = std::max<int>(c.scalar<int8_t>(kCodeDeprecatedBuiltin), c.scalar<int32_t>(kCodeBuiltin));
    codes.emplace_back(code, c.string(kCodeCustom));
  }
  const int ntensors = static_cast<int>(m.tensors.size());
  for (const std::vector<int>* io : {&m.inputs, &m.outputs}) {
    if (io->empty()) throw std::runtime_error("tflite: subgraph without inputs or outputs");
    for (int t : *io)
      if (t < 0 || t >= ntensors) throw std::runtime_error("tflite: subgraph input or output out of range");
  }
  for (uint32_t i = 0; i < sg.count(kSgOperators); ++i) {
    Table o = sg.table_at(kSgOperators, i);
    Operator op;
    uint32_t code = o.scalar<uint32_t>(kOpCode);
    if (code >= codes.size()) throw std::runtime_error("tflite: operator code out of range");
    op.builtin = codes[code].first;
    op.custom = codes[code].second;
    op.inputs = o.ints(kOpInputs);
    op.outputs = o.ints(kOpOutputs);
    for (int t : op.inputs)
      if (t < -1 || t >= ntensors) throw std::runtime_error("tflite: operator input out of range");
    for (int t : op.outputs)
      if (t < 0 || t >= ntensors) throw std::runtime_error("tflite: operator output out of range");
    op.options = read_options(b, o, op.builtin);
    op.custom_options = o.bytes(kOpCustomOptions);
    m.operators.push_back(std::move(op));
  }
  return m;
}

Model load_tflite(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("tflite: cannot open " + path);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return parse_tflite(bytes);
}

}  // namespace prior
