// The person segmentation network of a TFLite file rebuilt as an OpenCV dnn
// net (OpenCV 4.6 has no TFLite importer), and the crop-in, mask-out call.
#pragma once

#include "tflite_model.h"

#include <opencv2/core.hpp>
#include <opencv2/dnn.hpp>

namespace prior {

// Throws std::runtime_error on an operator or option we do not translate.
cv::dnn::Net build_net(const Model& model);

// Input side of the model, from its input tensor (NHWC).
cv::Size input_size(const Model& model);

// P(person) per pixel of an 8-bit BGR crop, CV_32F in 0..1, the crop's size.
cv::Mat person_probability(cv::dnn::Net& net, cv::Size net_input, const cv::Mat& bgr_crop);

}  // namespace prior
