#include "person_net.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace prior {
namespace {

// TFLite builtin operator codes and enums used below (from its schema).
enum Builtin {
  kAdd = 0,
  kAveragePool2d = 1,
  kConv2d = 3,
  kDepthwiseConv2d = 4,
  kDequantize = 6,
  kLogistic = 14,
  kMul = 18,
  kRelu = 19,
  kRelu6 = 21,
  kResizeBilinear = 23,
  kCustom = 32,
  kMean = 40,
  kHardSwish = 117
};
enum Padding { kSame = 0, kValid = 1 };
enum Activation { kActNone = 0, kActRelu = 1, kActRelu6 = 3 };

struct Output {
  int layer;
  int index;
};

class Builder {
 public:
  explicit Builder(const Model& m) : m_(m) {
    net_.setInputsNames({"input"});
    at_[m.inputs.at(0)] = {0, 0};
  }

  cv::dnn::Net finish() {
    for (size_t i = 0; i < m_.operators.size(); ++i) add(m_.operators[i], static_cast<int>(i));
    if (!at_.count(m_.outputs.at(0))) throw std::runtime_error("person net: output is never produced");
    return net_;
  }

 private:
  // Constant floats of a tensor: its own data, or what a DEQUANTIZE made of it.
  const std::vector<float>& constant(int t) {
    auto it = const_.find(t);
    if (it != const_.end()) return it->second;
    const Tensor& tensor = m_.tensors.at(t);
    if (tensor.data.empty()) throw std::runtime_error("person net: tensor is not constant");
    std::vector<float> v = tensor_floats(tensor);
    // The layout code below indexes by shape, so data and shape must agree.
    size_t n = 1;
    for (int d : tensor.shape) n *= d > 0 ? static_cast<size_t>(d) : 0;
    if (v.size() != n)
      throw std::runtime_error("person net: constant " + tensor.name + " does not fit its shape");
    return const_[t] = std::move(v);
  }

  int layer(const std::string& type, cv::dnn::LayerParams p, const std::vector<int>& inputs, int out) {
    p.type = type;
    p.name = type + "_" + std::to_string(count_++);
    int id = net_.addLayer(p.name, type, p);
    for (size_t i = 0; i < inputs.size(); ++i) {
      auto it = at_.find(inputs[i]);
      if (it == at_.end()) throw std::runtime_error("person net: input of " + p.name + " not computed yet");
      net_.connect(it->second.layer, it->second.index, id, static_cast<int>(i));
    }
    at_[out] = {id, 0};
    return id;
  }

  void activation(int act, int t) {
    if (act == kActNone) return;
    if (act != kActRelu && act != kActRelu6) throw std::runtime_error("person net: fused activation");
    // Re-point the tensor at the activation of what produced it.
    layer(act == kActRelu ? "ReLU" : "ReLU6", {}, {t}, t);
  }

  static void set_padding(cv::dnn::LayerParams& p, int padding) {
    if (padding != kSame && padding != kValid) throw std::runtime_error("person net: padding");
    p.set("pad_mode", padding == kSame ? "SAME" : "VALID");
  }

  // TFLite filters are [out, h, w, in] (depthwise: [1, h, w, channels]);
  // OpenCV wants [out, in / group, h, w].
  cv::Mat filter(int t, bool depthwise) {
    const auto& s = m_.tensors.at(t).shape;
    if (s.size() != 4) throw std::runtime_error("person net: filter is not 4-D");
    const auto& w = constant(t);
    const int o = depthwise ? s[3] : s[0], h = s[1], k = s[2], in = depthwise ? 1 : s[3];
    cv::Mat out(std::vector<int>{o, in, h, k}, CV_32F);
    float* d = out.ptr<float>();
    for (int a = 0; a < o; ++a)
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < k; ++x)
          for (int c = 0; c < in; ++c)
            d[((a * in + c) * h + y) * k + x] =
                depthwise ? w[(y * k + x) * o + a] : w[((a * h + y) * k + x) * in + c];
    return out;
  }

  cv::Mat bias(int t, int n) {
    if (t < 0) return cv::Mat::zeros(1, n, CV_32F);
    const auto& b = constant(t);
    if (static_cast<int>(b.size()) != n) throw std::runtime_error("person net: bias size");
    return cv::Mat(1, n, CV_32F, const_cast<float*>(b.data())).clone();
  }

  void conv(const Operator& op, bool depthwise) {
    cv::Mat w = filter(op.inputs.at(1), depthwise);
    const int o = w.size[0];
    cv::dnn::LayerParams p;
    p.set("kernel_h", w.size[2]);
    p.set("kernel_w", w.size[3]);
    if (op.option(1) < 1 || op.option(2) < 1) throw std::runtime_error("person net: stride");
    p.set("stride_w", op.option(1));
    p.set("stride_h", op.option(2));
    set_padding(p, op.option(0));
    p.set("num_output", o);
    p.set("group", depthwise ? o : 1);
    p.set("bias_term", true);
    const int dil_w = op.option(depthwise ? 5 : 4, 1), dil_h = op.option(depthwise ? 6 : 5, 1);
    p.set("dilation_w", std::max(1, dil_w));
    p.set("dilation_h", std::max(1, dil_h));
    if (depthwise && op.option(3) > 1) throw std::runtime_error("person net: depth multiplier");
    p.blobs = {w, bias(op.inputs.size() > 2 ? op.inputs[2] : -1, o)};
    layer("Convolution", p, {op.inputs[0]}, op.outputs[0]);
    activation(op.option(depthwise ? 4 : 3), op.outputs[0]);
  }

  // A transposed convolution plus bias; its options are three raw int32s:
  // padding (1 SAME, 2 VALID in TfLitePadding), stride_w, stride_h.
  void transpose_conv_bias(const Operator& op) {
    if (op.custom_options.size() != 12) throw std::runtime_error("person net: transpose conv options");
    int32_t v[3];
    std::memcpy(v, op.custom_options.data(), 12);
    const auto& s = m_.tensors.at(op.inputs.at(1)).shape;  // [out, h, w, in]
    if (s.size() != 4) throw std::runtime_error("person net: filter is not 4-D");
    const int o = s[0], kh = s[1], kw = s[2], in = s[3];
    if (kh < 1 || kw < 1 || kh != v[2] || kw != v[1])
      throw std::runtime_error("person net: transpose conv needs kernel == stride");
    const auto& w = constant(op.inputs[1]);
    cv::Mat blob(std::vector<int>{in, o, kh, kw}, CV_32F);  // OpenCV: [in, out, h, w]
    for (int a = 0; a < o; ++a)
      for (int y = 0; y < kh; ++y)
        for (int x = 0; x < kw; ++x)
          for (int c = 0; c < in; ++c)
            blob.ptr<float>()[((c * o + a) * kh + y) * kw + x] = w[((a * kh + y) * kw + x) * in + c];
    // With kernel == stride, SAME and VALID agree: out = in * stride, no pad.
    cv::dnn::LayerParams p;
    p.set("kernel_h", kh);
    p.set("kernel_w", kw);
    p.set("stride_h", v[2]);
    p.set("stride_w", v[1]);
    p.set("num_output", o);
    p.set("bias_term", true);
    p.blobs = {blob, bias(op.inputs.at(2), o)};
    layer("Deconvolution", p, {op.inputs[0]}, op.outputs[0]);
  }

  void pool(const Operator& op) {
    const auto& in = m_.tensors.at(op.inputs.at(0)).shape;
    if (in.size() != 4) throw std::runtime_error("person net: pool input is not 4-D");
    cv::dnn::LayerParams p;
    p.set("pool", "ave");
    if (op.option(3) == in[2] && op.option(4) == in[1] && op.option(0) == kValid) {
      p.set("global_pooling", true);
    } else {
      p.set("kernel_w", op.option(3));
      p.set("kernel_h", op.option(4));
      p.set("stride_w", op.option(1));
      p.set("stride_h", op.option(2));
      if (op.option(1) < 1 || op.option(2) < 1 || op.option(3) < 1 || op.option(4) < 1)
        throw std::runtime_error("person net: pool window");
      set_padding(p, op.option(0));
    }
    layer("Pooling", p, {op.inputs[0]}, op.outputs[0]);
    activation(op.option(5), op.outputs[0]);
  }

  // MEAN over rows and columns, keeping them: the global pool in another form.
  void mean(const Operator& op) {
    const Tensor& axes = m_.tensors.at(op.inputs.at(1));
    const auto& out = m_.tensors.at(op.outputs.at(0)).shape;
    int32_t a[2] = {0, 0};
    if (axes.type == TensorType::kInt32 && axes.data.size() == 8) std::memcpy(a, axes.data.data(), 8);
    if (a[0] != 1 || a[1] != 2 || out.size() != 4 || out[1] != 1 || out[2] != 1)
      throw std::runtime_error("person net: MEAN other than over rows and columns");
    cv::dnn::LayerParams p;
    p.set("pool", "ave");
    p.set("global_pooling", true);
    layer("Pooling", p, {op.inputs[0]}, op.outputs[0]);
  }

  void binary(const Operator& op, bool mul) {
    const auto& a = m_.tensors.at(op.inputs.at(0)).shape;
    const auto& b = m_.tensors.at(op.inputs.at(1)).shape;
    if (a == b) {
      cv::dnn::LayerParams p;
      p.set("operation", mul ? "prod" : "sum");
      layer("Eltwise", p, {op.inputs[0], op.inputs[1]}, op.outputs[0]);
    } else if (mul && a.size() == 4 && b.size() == 4 && b[1] == 1 && b[2] == 1 && b[3] == a[3]) {
      // Per-channel gate (squeeze-and-excite): Scale takes its factors from
      // the second input.
      cv::dnn::LayerParams p;
      p.set("axis", 1);
      layer("Scale", p, {op.inputs[0], op.inputs[1]}, op.outputs[0]);
    } else {
      throw std::runtime_error("person net: unsupported broadcast");
    }
    activation(op.option(0), op.outputs[0]);
  }

  void resize(const Operator& op) {
    const auto& size = m_.tensors.at(op.inputs.at(1));
    if (size.type != TensorType::kInt32 || size.data.size() != 8)
      throw std::runtime_error("person net: resize size");
    int32_t hw[2];
    std::memcpy(hw, size.data.data(), 8);
    cv::dnn::LayerParams p;
    p.set("interpolation", "bilinear");
    p.set("height", hw[0]);
    p.set("width", hw[1]);
    p.set("align_corners", op.option(2) != 0);
    p.set("half_pixel_centers", op.option(3) != 0);
    layer("Resize", p, {op.inputs[0]}, op.outputs[0]);
  }

  void add(const Operator& op, int index) {
    switch (op.builtin) {
      case kDequantize:
        if (m_.tensors.at(op.outputs.at(0)).shape != m_.tensors.at(op.inputs.at(0)).shape)
          throw std::runtime_error("person net: DEQUANTIZE changes the shape");
        const_[op.outputs[0]] = constant(op.inputs[0]);
        return;
      case kConv2d:
        return conv(op, false);
      case kDepthwiseConv2d:
        return conv(op, true);
      case kAveragePool2d:
        return pool(op);
      case kMean:
        return mean(op);
      case kAdd:
        return binary(op, false);
      case kMul:
        return binary(op, true);
      case kResizeBilinear:
        return resize(op);
      case kRelu:
        layer("ReLU", {}, {op.inputs.at(0)}, op.outputs.at(0));
        return;
      case kRelu6:
        layer("ReLU6", {}, {op.inputs.at(0)}, op.outputs.at(0));
        return;
      case kLogistic:
        layer("Sigmoid", {}, {op.inputs.at(0)}, op.outputs.at(0));
        return;
      case kHardSwish:
        layer("HardSwish", {}, {op.inputs.at(0)}, op.outputs.at(0));
        return;
      case kCustom:
        if (op.custom == "Convolution2DTransposeBias") return transpose_conv_bias(op);
        break;
    }
    throw std::runtime_error("person net: operator " + std::to_string(index) + " (code " +
                             std::to_string(op.builtin) + " " + op.custom + ") is not translated");
  }

  const Model& m_;
  cv::dnn::Net net_;
  std::map<int, Output> at_;                 // tensor -> layer output computing it
  std::map<int, std::vector<float>> const_;  // tensor -> constant values
  int count_ = 0;
};

}  // namespace

cv::dnn::Net build_net(const Model& model) { return Builder(model).finish(); }

cv::Size input_size(const Model& model) {
  const auto& s = model.tensors.at(model.inputs.at(0)).shape;
  if (s.size() != 4 || s[3] != 3) throw std::runtime_error("person net: input is not NHWC RGB");
  return {s[2], s[1]};
}

cv::Mat person_probability(cv::dnn::Net& net, cv::Size net_input, const cv::Mat& bgr_crop) {
  CV_Assert(bgr_crop.type() == CV_8UC3 && !bgr_crop.empty());
  // The model takes RGB in 0..1, squashed to its square input.
  cv::Mat blob = cv::dnn::blobFromImage(bgr_crop, 1.0 / 255, net_input, cv::Scalar(), /*swapRB=*/true, false);
  net.setInput(blob);
  cv::Mat out = net.forward();
  CV_Assert(out.dims == 4 && out.size[0] == 1 && out.size[1] == 1);  // one P(person) plane
  cv::Mat plane(out.size[2], out.size[3], CV_32F, out.ptr<float>());
  cv::Mat prob;
  cv::resize(plane, prob, bgr_crop.size(), 0, 0, cv::INTER_LINEAR);
  return cv::min(cv::max(prob, 0.0), 1.0);
}

}  // namespace prior
