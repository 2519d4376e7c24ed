// The TFLite reader and the OpenCV dnn translation of the person model. The
// translation is checked against a plain NHWC interpreter of the same
// operators written here from their TFLite definitions, so layout or padding
// mistakes in the translation show up as a mismatch.
#include "person/person_net.h"
#include "person/person_prior.h"
#include "person/tflite_model.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using prior::Model;
using prior::Operator;

// An NHWC tensor of batch 1.
struct Nhwc {
  int h = 0, w = 0, c = 0;
  std::vector<float> v;
  float& at(int y, int x, int k) { return v[(static_cast<size_t>(y) * w + x) * c + k]; }
  float at(int y, int x, int k) const { return v[(static_cast<size_t>(y) * w + x) * c + k]; }
};

Nhwc make(int h, int w, int c) { return {h, w, c, std::vector<float>(static_cast<size_t>(h) * w * c)}; }

// TF's SAME: output ceil(in / stride), padding split with the extra row after.
int pad_before(int in, int k, int s, bool same, int* out) {
  *out = same ? (in + s - 1) / s : (in - k) / s + 1;
  return same ? std::max((*out - 1) * s + k - in, 0) / 2 : 0;
}

Nhwc conv(const Nhwc& x, const std::vector<int>& fs, const std::vector<float>& f, const std::vector<float>& b,
          int sx, int sy, bool same, bool depthwise) {
  const int kh = fs[1], kw = fs[2], oc = depthwise ? fs[3] : fs[0];
  int oh, ow;
  const int py = pad_before(x.h, kh, sy, same, &oh), px = pad_before(x.w, kw, sx, same, &ow);
  Nhwc y = make(oh, ow, oc);
  for (int i = 0; i < oh; ++i)
    for (int j = 0; j < ow; ++j)
      for (int o = 0; o < oc; ++o) {
        double acc = b[o];
        for (int u = 0; u < kh; ++u)
          for (int t = 0; t < kw; ++t) {
            const int yy = i * sy + u - py, xx = j * sx + t - px;
            if (yy < 0 || xx < 0 || yy >= x.h || xx >= x.w) continue;
            if (depthwise) {
              acc += x.at(yy, xx, o) * f[(u * kw + t) * oc + o];
            } else {
              for (int c = 0; c < x.c; ++c) acc += x.at(yy, xx, c) * f[((o * kh + u) * kw + t) * x.c + c];
            }
          }
        y.at(i, j, o) = static_cast<float>(acc);
      }
  return y;
}

// TF's bilinear resize with half-pixel centres.
Nhwc resize(const Nhwc& x, int oh, int ow) {
  Nhwc y = make(oh, ow, x.c);
  auto src = [](int d, int in, int out, int* lo, int* hi) {
    float s = std::max(0.f, (d + 0.5f) * in / out - 0.5f);
    *lo = std::min(static_cast<int>(s), in - 1);
    *hi = std::min(*lo + 1, in - 1);
    return s - *lo;
  };
  for (int i = 0; i < oh; ++i)
    for (int j = 0; j < ow; ++j) {
      int y0, y1, x0, x1;
      const float fy = src(i, x.h, oh, &y0, &y1), fx = src(j, x.w, ow, &x0, &x1);
      for (int c = 0; c < x.c; ++c)
        y.at(i, j, c) = (1 - fy) * ((1 - fx) * x.at(y0, x0, c) + fx * x.at(y0, x1, c)) +
                        fy * ((1 - fx) * x.at(y1, x0, c) + fx * x.at(y1, x1, c));
    }
  return y;
}

Nhwc reference(const Model& m, const Nhwc& input) {
  std::map<int, Nhwc> t{{m.inputs.at(0), input}};
  std::map<int, std::vector<float>> k;
  auto cst = [&](int i) -> const std::vector<float>& {
    if (!k.count(i)) k[i] = prior::tensor_floats(m.tensors[i]);
    return k[i];
  };
  auto unary = [&](const Operator& op, float (*f)(float)) {
    Nhwc y = t.at(op.inputs[0]);
    for (float& v : y.v) v = f(v);
    t[op.outputs[0]] = y;
  };
  for (const Operator& op : m.operators) {
    const int out = op.outputs.at(0);
    switch (op.builtin) {
      case 6:
        k[out] = cst(op.inputs[0]);
        break;
      case 3:
      case 4: {
        const bool dw = op.builtin == 4;
        EXPECT_EQ(op.option(dw ? 4 : 3), 0) << "fused activations are not in this reference";
        t[out] = conv(t.at(op.inputs[0]), m.tensors[op.inputs[1]].shape, cst(op.inputs[1]), cst(op.inputs[2]),
                      op.option(1), op.option(2), op.option(0) == 0, dw);
        break;
      }
      case 1:
      case 40: {  // the models only pool globally: AVERAGE_POOL_2D over all, or MEAN over rows and columns
        const Nhwc& x = t.at(op.inputs[0]);
        if (op.builtin == 1) {
          EXPECT_TRUE(op.option(3) == x.w && op.option(4) == x.h);
        }
        Nhwc y = make(1, 1, x.c);
        for (int c = 0; c < x.c; ++c) {
          double s = 0;
          for (int i = 0; i < x.h; ++i)
            for (int j = 0; j < x.w; ++j) s += x.at(i, j, c);
          y.at(0, 0, c) = static_cast<float>(s / (x.h * x.w));
        }
        t[out] = y;
        break;
      }
      case 0:
      case 18: {  // ADD, MUL, the second operand broadcast over rows and columns
        Nhwc y = t.at(op.inputs[0]);
        const Nhwc& b = t.at(op.inputs[1]);
        for (int i = 0; i < y.h; ++i)
          for (int j = 0; j < y.w; ++j)
            for (int c = 0; c < y.c; ++c) {
              const float v = b.h == 1 && b.w == 1 ? b.at(0, 0, c) : b.at(i, j, c);
              y.at(i, j, c) = op.builtin == 0 ? y.at(i, j, c) + v : y.at(i, j, c) * v;
            }
        t[out] = y;
        break;
      }
      case 19:
        unary(op, [](float v) { return std::max(v, 0.f); });
        break;
      case 14:
        unary(op, [](float v) { return 1 / (1 + std::exp(-v)); });
        break;
      case 117:
        unary(op, [](float v) { return v * std::min(std::max(v + 3, 0.f), 6.f) / 6; });
        break;
      case 23: {
        int32_t hw[2];
        std::memcpy(hw, m.tensors[op.inputs[1]].data.data(), 8);
        EXPECT_EQ(op.option(3), 1) << "only half-pixel centres are in this reference";
        t[out] = resize(t.at(op.inputs[0]), hw[0], hw[1]);
        break;
      }
      case 32: {  // transposed convolution with kernel == stride: each input pixel paints a block
        const Nhwc& x = t.at(op.inputs[0]);
        const auto& s = m.tensors[op.inputs[1]].shape;
        const auto& f = cst(op.inputs[1]);
        const auto& b = cst(op.inputs[2]);
        Nhwc y = make(x.h * s[1], x.w * s[2], s[0]);
        for (int i = 0; i < y.h; ++i)
          for (int j = 0; j < y.w; ++j)
            for (int o = 0; o < s[0]; ++o) {
              double acc = b[o];
              const int u = i % s[1], v = j % s[2];
              for (int c = 0; c < x.c; ++c)
                acc += x.at(i / s[1], j / s[2], c) * f[((o * s[1] + u) * s[2] + v) * x.c + c];
              y.at(i, j, o) = static_cast<float>(acc);
            }
        t[out] = y;
        break;
      }
      default:
        ADD_FAILURE() << "operator " << op.builtin << " is not in this reference";
        return {};
    }
  }
  return t.at(m.outputs.at(0));
}

// The model is fetched by ./dev into the build tree; a tree without it still
// builds and runs, so these tests say so and skip.
bool have_model() { return std::filesystem::exists(MATTIVO_PERSON_MODEL); }
#define SKIP_WITHOUT_MODEL() \
  if (!have_model()) GTEST_SKIP() << "no person model at " MATTIVO_PERSON_MODEL

std::vector<uint8_t> model_bytes() {
  std::ifstream in(MATTIVO_PERSON_MODEL, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(PersonNet, HalfFloatsWidenExactly) {
  EXPECT_EQ(prior::half_to_float(0x3c00), 1.0f);
  EXPECT_EQ(prior::half_to_float(0xc000), -2.0f);
  EXPECT_EQ(prior::half_to_float(0x7bff), 65504.0f);
  EXPECT_EQ(prior::half_to_float(0x3555), 0.333251953125f);
  EXPECT_EQ(prior::half_to_float(0x0001), std::ldexp(1.0f, -24));  // smallest subnormal
  EXPECT_EQ(prior::half_to_float(0x03ff), std::ldexp(1023.0f, -24));
  EXPECT_EQ(prior::half_to_float(0x8000), 0.0f);
  EXPECT_TRUE(std::signbit(prior::half_to_float(0x8000)));
  EXPECT_TRUE(std::isinf(prior::half_to_float(0x7c00)));
  EXPECT_TRUE(std::isnan(prior::half_to_float(0x7e00)));
}

TEST(PersonNet, ReaderFindsTheModelsShapeAndRefusesDamagedFiles) {
  SKIP_WITHOUT_MODEL();
  const std::vector<uint8_t> bytes = model_bytes();
  const Model m = prior::parse_tflite(bytes);
  EXPECT_EQ(m.tensors.at(m.inputs.at(0)).shape, (std::vector<int>{1, 256, 256, 3}));
  EXPECT_EQ(m.tensors.at(m.outputs.at(0)).shape, (std::vector<int>{1, 256, 256, 1}));
  EXPECT_EQ(prior::input_size(m), cv::Size(256, 256));

  // Cut short anywhere, or with a vtable offset scrambled, the reader throws
  // rather than reading past the end.
  for (size_t n : {size_t(0), size_t(7), size_t(64), bytes.size() / 3, bytes.size() / 2, bytes.size() - 9}) {
    std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + n);
    EXPECT_THROW(prior::parse_tflite(cut), std::runtime_error) << "cut at " << n;
  }
  std::vector<uint8_t> bad = bytes;
  const uint32_t root = bad[0] | bad[1] << 8 | bad[2] << 16 | bad[3] << 24;
  bad[root] ^= 0x7f, bad[root + 3] ^= 0x40;  // the root table's vtable offset
  EXPECT_THROW(prior::parse_tflite(bad), std::runtime_error);
  std::vector<uint8_t> not_tflite = bytes;
  not_tflite[4] = 'X';
  EXPECT_THROW(prior::parse_tflite(not_tflite), std::runtime_error);
}

// A damaged model fails at load with a message, never by reading out of
// bounds or by building a net that computes something else.
TEST(PersonNet, BuildRefusesModelsItCannotTranslateFaithfully) {
  SKIP_WITHOUT_MODEL();
  const Model good = prior::parse_tflite(model_bytes());
  ASSERT_EQ(good.operators.at(0).builtin, 6);  // DEQUANTIZE of the first filter
  const int weights = good.operators[0].inputs.at(0), filter = good.operators[0].outputs.at(0);

  Model bigger = good;  // the constant's data no longer fills its shape
  bigger.tensors[weights].shape[1] *= 2;
  bigger.tensors[filter].shape[1] *= 2;
  EXPECT_THROW(prior::build_net(bigger), std::runtime_error);

  Model reshaped = good;  // DEQUANTIZE must not change the shape the filter is read by
  std::swap(reshaped.tensors[filter].shape[0], reshaped.tensors[filter].shape[3]);  // [3,3,3,16]
  EXPECT_THROW(prior::build_net(reshaped), std::runtime_error);

  Model unknown = good;
  unknown.operators.at(2).builtin = 99;
  try {
    prior::build_net(unknown);
    ADD_FAILURE() << "an unknown operator was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("operator 2 (code 99"), std::string::npos) << e.what();
  }

  Model fused = good;  // a fused activation we do not translate
  ASSERT_EQ(fused.operators[2].builtin, 3);
  fused.operators[2].options.at(3) = 4;  // TANH
  EXPECT_THROW(prior::build_net(fused), std::runtime_error);

  EXPECT_NO_THROW(prior::build_net(good));
}

// The package's two models: square, and landscape (the same design, MEAN for
// its global pools).
std::vector<std::string> model_paths() {
  const std::filesystem::path square = MATTIVO_PERSON_MODEL;
  const std::filesystem::path wide = square.parent_path() / "selfie_segmentation_landscape.tflite";
  std::vector<std::string> out{square.string()};
  if (std::filesystem::exists(wide)) out.push_back(wide.string());
  return out;
}

// The model up to its final sigmoid: on noise the probabilities saturate to
// near 0 everywhere, while the logits still differ from pixel to pixel.
Model logits_of(Model m) {
  EXPECT_EQ(m.operators.back().builtin, 14);
  m.outputs = {m.operators.back().inputs.at(0)};
  m.operators.pop_back();
  return m;
}

TEST(PersonNet, OpenCvNetMatchesThePlainInterpreter) {
  SKIP_WITHOUT_MODEL();
  for (const std::string& path : model_paths()) {
    SCOPED_TRACE(path);
    const Model m = logits_of(prior::load_tflite(path));
    cv::dnn::Net net = prior::build_net(m);
    net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
    const cv::Size size = prior::input_size(m);

    // Smooth noise keeps the activations in the ranges real images give.
    cv::Mat img(size, CV_32FC3);
    cv::randu(img, 0.0, 1.0);
    cv::GaussianBlur(img, img, cv::Size(0, 0), 3);
    Nhwc x = make(size.height, size.width, 3);
    std::memcpy(x.v.data(), img.ptr<float>(), x.v.size() * sizeof(float));
    const Nhwc want = reference(m, x);

    net.setInput(cv::dnn::blobFromImage(img));  // HWC -> NCHW, no scaling
    const cv::Mat got = net.forward();
    ASSERT_EQ(got.total(), want.v.size());
    double worst = 0, spread = 0;
    for (size_t i = 0; i < want.v.size(); ++i) {
      worst = std::max(worst, std::abs(static_cast<double>(got.ptr<float>()[i]) - want.v[i]));
      spread = std::max(spread, std::abs(want.v[i] - static_cast<double>(want.v[0])));
    }
    EXPECT_LT(worst, 1e-3 * std::max(1.0, spread));
    EXPECT_GT(spread, 1.0) << "a constant output would agree trivially";
  }
}

const char* const kSampleVideo = "/usr/share/doc/opencv-doc/examples/data/vtest.avi";

// Frame `index` of Debian's OpenCV sample video, or empty when it cannot be read.
cv::Mat sample_frame(int index) {
  cv::VideoCapture cap(kSampleVideo);
  cv::Mat frame;
  for (int i = 0; i <= index; ++i) {
    if (!cap.read(frame)) return cv::Mat();
  }
  return frame;
}

// A pedestrian in Debian's OpenCV sample video (opencv-doc): the mask is high
// on the body and low on the road beside it.
TEST(PersonNet, FindsThePedestrianInTheSampleVideo) {
  SKIP_WITHOUT_MODEL();
  if (!std::filesystem::exists(kSampleVideo)) GTEST_SKIP() << "opencv-doc is not installed";
  const cv::Mat frame = sample_frame(100);
  ASSERT_FALSE(frame.empty());
  const Model m = prior::load_tflite(MATTIVO_PERSON_MODEL);
  cv::dnn::Net net = prior::build_net(m);
  const cv::Mat p =
      prior::person_probability(net, prior::input_size(m), frame(cv::Rect(560, 140, 90, 90)).clone());
  ASSERT_EQ(p.type(), CV_32F);
  ASSERT_EQ(p.size(), cv::Size(90, 90));
  EXPECT_GT(cv::mean(p(cv::Rect(38, 25, 12, 20)))[0], 0.9);  // torso
  EXPECT_LT(cv::mean(p(cv::Rect(0, 0, 15, 90)))[0], 0.1);    // road to the left
  EXPECT_LT(cv::mean(p(cv::Rect(70, 0, 20, 60)))[0], 0.1);   // road to the right
}

// The engine's way in: a box in frame coordinates, the crop made square
// around it, the answer back at the frame's size and nothing outside the crop.
TEST(PersonPrior, AnswersInFrameCoordinatesAroundTheBox) {
  SKIP_WITHOUT_MODEL();
  if (!std::filesystem::exists(kSampleVideo)) GTEST_SKIP() << "opencv-doc is not installed";
  const cv::Mat frame = sample_frame(100);
  ASSERT_FALSE(frame.empty());
  tessel::person_prior_use(MATTIVO_PERSON_MODEL);
  ASSERT_TRUE(tessel::person_prior_ready()) << tessel::person_prior_status();
  const cv::Mat p = tessel::person_probability(frame, cv::Rect(580, 150, 50, 70));
  ASSERT_EQ(p.size(), frame.size());
  EXPECT_GT(cv::mean(p(cv::Rect(598, 165, 12, 20)))[0], 0.9);  // torso
  EXPECT_EQ(cv::countNonZero(p(cv::Rect(0, 0, 500, frame.rows))), 0);
  // A box at the picture's corner: the square runs off it and is padded.
  const cv::Mat corner =
      tessel::person_probability(frame, cv::Rect(frame.cols - 20, frame.rows - 30, 40, 60));
  ASSERT_EQ(corner.size(), frame.size());
  EXPECT_EQ(cv::countNonZero(corner(cv::Rect(0, 0, frame.cols - 60, frame.rows))), 0);
}

TEST(PersonPrior, WithoutAModelTheEngineIsToldAndGetsNothing) {
  const cv::Mat picture(120, 160, CV_8UC3, cv::Scalar(40, 90, 160));
  tessel::person_prior_use("");
  EXPECT_FALSE(tessel::person_prior_ready());
  EXPECT_TRUE(tessel::person_probability(picture, cv::Rect(40, 20, 40, 80)).empty());
  const std::string missing = ::testing::TempDir() + "/no-such-model.tflite";
  tessel::person_prior_use(missing);
  EXPECT_FALSE(tessel::person_prior_ready());
  EXPECT_NE(tessel::person_prior_status().find(missing), std::string::npos) << tessel::person_prior_status();
  EXPECT_TRUE(tessel::person_probability(picture, cv::Rect(40, 20, 40, 80)).empty());
  tessel::person_prior_use(MATTIVO_PERSON_MODEL);
}

}  // namespace
