// The user's marks as constraints: dabs pin the matte where they are painted
// and the box bounds it on the anchor; painted spots are carried along with
// the character for as long as they still look as they did.
#include "engine_parts.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tessel {

cv::Rect box_pixels(const protocol::Box& b, cv::Size size) {
  int x0 = static_cast<int>(std::floor(b.x * size.width));
  int y0 = static_cast<int>(std::floor(b.y * size.height));
  int x1 = static_cast<int>(std::ceil((b.x + b.w) * size.width));
  int y1 = static_cast<int>(std::ceil((b.y + b.h) * size.height));
  return cv::Rect(x0, y0, std::max(1, x1 - x0), std::max(1, y1 - y0)) &
         cv::Rect(0, 0, size.width, size.height);
}

int box_margin(cv::Size size) { return std::max(2, size.width / 40); }

namespace {

// A dab's centre and radius in pixels of `size`; the radius is a share of the width.
cv::Point dab_centre(const protocol::Dab& d, cv::Size size) {
  return {static_cast<int>(std::lround(d.x * size.width)), static_cast<int>(std::lround(d.y * size.height))};
}
int dab_radius(const protocol::Dab& d, cv::Size size) {
  return std::max(1, static_cast<int>(std::lround(std::abs(d.r) * size.width)));
}

}  // namespace

void paint_dabs(cv::Mat* target, const std::vector<protocol::Dab>& dabs, uchar add, uchar exclude) {
  for (const protocol::Dab& d : dabs) {
    cv::circle(*target, dab_centre(d, target->size()), dab_radius(d, target->size()),
               cv::Scalar(d.r > 0 ? add : exclude), cv::FILLED);
  }
}

cv::Mat anchor_pins(const EngineRequest& request, cv::Size size) {
  cv::Mat pins(size, CV_8U, cv::Scalar(kPinFree));
  if (request.has_box) {
    // A loosely drawn box may clip the hair: a small margin past it is free,
    // and so is the surrounding of every add dab, which extends the box.
    const int m = box_margin(size);
    pins.setTo(kPinBeyondBox);
    cv::Rect inner = box_pixels(request.box, size);
    pins(cv::Rect(inner.x - m, inner.y - m, inner.width + 2 * m, inner.height + 2 * m) &
         cv::Rect(0, 0, size.width, size.height))
        .setTo(kPinFree);
    for (const protocol::Dab& d : request.dabs) {
      if (d.r <= 0) continue;
      cv::circle(pins, dab_centre(d, size), dab_radius(d, size) + m, cv::Scalar(kPinFree), cv::FILLED);
    }
  }
  paint_dabs(&pins, request.dabs, kPinForeground, kPinBackground);
  return pins;
}

void hold_pins(const cv::Mat& pins, cv::Mat* alpha) {
  if (pins.empty()) return;
  cv::Mat p = pins;
  if (p.size() != alpha->size()) cv::resize(pins, p, alpha->size(), 0, 0, cv::INTER_NEAREST);
  alpha->setTo(255, p == kPinForeground);
  alpha->setTo(0, (p == kPinBackground) | (p == kPinBeyondBox));
}

void carry_pins(Tracker* t, const cv::Mat& map, const cv::Mat& work) {
  if (t->pins.empty()) return;
  cv::Mat pins, colour, diff;
  cv::remap(t->pins, pins, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(kPinFree));
  cv::remap(t->pin_colour, colour, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT);
  // A spot that no longer looks as it did on the anchor has been covered, or
  // the flow lost it: its pin lets go rather than glue the matte to the wrong thing.
  cv::absdiff(work, colour, diff);
  std::vector<cv::Mat> ch;
  cv::split(diff, ch);
  pins.setTo(kPinFree, cv::max(cv::max(ch[0], ch[1]), ch[2]) > 48);
  if (cv::countNonZero(pins) == 0) {
    t->pins.release();
    t->pin_colour.release();
    return;
  }
  t->pins = pins;
  t->pin_colour = colour;
}

void apply_pins(const cv::Mat& pins, cv::Mat* prob) {
  if (pins.empty()) return;
  prob->setTo(0.0f, (pins == kPinBackground) | (pins == kPinBeyondBox));
  prob->setTo(1.0f, pins == kPinForeground);
}

}  // namespace tessel
