// Pieces of the clip generator: layers, noise, the landscape and the figure.
#pragma once

#include "clipgen.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tessel {

// A premultiplied colour layer (CV_32FC3, BGR 0..1) with its coverage
// (CV_32F); `painted` bounds everything drawn since the last clear.
struct Layer {
  cv::Mat colour;
  cv::Mat alpha;
  cv::Rect painted;
};

Layer make_layer(cv::Size size);
void mark_painted(Layer* layer, int x0, int y0, int x1, int y1);  // inclusive bounds
// Empties the painted part, so the layer can be drawn on again.
void clear_layer(Layer* layer);
// Composites `top` over `base` in place, over the painted part of `top` only.
void layer_over(Layer* base, const Layer& top);

// Smooth fractal noise in [0, 1]: octaves of bicubic-upsampled random grids.
cv::Mat fractal_noise(cv::Size size, double cell, int octaves, cv::RNG& rng);

// The landscape the camera pans over, larger than the frame on every side.
cv::Mat make_landscape(cv::Size size, cv::RNG& rng);
// A bright sky with soft clouds, for close-ups shot from below.
cv::Mat make_sky(cv::Size size, cv::RNG& rng);

// A low wall in front of everything: x from `left` to `right`, from `top` down
// to the bottom of the layer, its surface looked up in `texture` (CV_32F) by
// the position on the wall, so the stones move with it.
void draw_wall(Layer* layer, float left, float right, float top, const cv::Vec3f& colour,
               const cv::Mat& texture);

// A colour word a person would use for a BGR colour: "red", "dark blue", "grey".
std::string colour_name(const cv::Vec3f& bgr);

struct Strand {
  float root_angle;  // on the head, radians, 0 = right, negative = up
  float length;      // in figure heights
  float width;       // in pixels at 1080 lines
  float opacity;
  float curl;  // bend along the strand
  float sway_phase;
  float shade;  // darker or lighter than the hair colour
};

struct FigureStyle {
  cv::Vec3f skin, hair, shirt, shirt_stripe, trousers, shoes;
  float stripe_period;  // in figure heights
  float bulk;           // width of the body parts relative to the standard figure
  std::vector<Strand> strands;
};

FigureStyle make_figure_style(cv::RNG& rng, int strands);

// Where the figure is and what it is doing on one frame.
struct Pose {
  cv::Point2f hip;     // pixels
  float height = 100;  // pixels, feet to top of the head
  float phase = 0;     // gait or dance cycle, radians
  float time = 0;      // seconds, drives the sway of the hair
  bool dance = false;
  bool still = false;    // standing, arms down, legs together
  bool wave = false;     // with still: the front arm raised and waving
  float line_scale = 1;  // frame height / 1080: strand widths follow it
};

// Paints the figure over `layer`.
void draw_figure(Layer* layer, const Pose& pose, const FigureStyle& style);
// Centres of the torso and the head, for a user's brush dabs.
void figure_landmarks(const Pose& pose, cv::Point2f* torso, cv::Point2f* head);

}  // namespace tessel
