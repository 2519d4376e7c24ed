// A hint with nothing selected: the people the detector finds are the
// candidates, and the colour words of the hint ("the man in the red jacket")
// choose among them.
#include "engine_parts.h"

#include "person/person_prior.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cctype>

namespace tessel {
namespace {

// A colour word as a test on one HSV pixel (OpenCV's 8-bit HSV: hue 0..179).
enum class Shade { Red, Orange, Yellow, Green, Blue, Purple, Pink, Brown, Black, White, Grey };

bool shade_of(const std::string& word, Shade* shade) {
  static const std::pair<const char*, Shade> kWords[] = {
      {"red", Shade::Red},     {"orange", Shade::Orange}, {"yellow", Shade::Yellow}, {"green", Shade::Green},
      {"blue", Shade::Blue},   {"purple", Shade::Purple}, {"violet", Shade::Purple}, {"pink", Shade::Pink},
      {"brown", Shade::Brown}, {"black", Shade::Black},   {"dark", Shade::Black},    {"white", Shade::White},
      {"grey", Shade::Grey},   {"gray", Shade::Grey}};
  for (const auto& [w, s] : kWords) {
    if (word == w) {
      *shade = s;
      return true;
    }
  }
  return false;
}

bool matches(Shade s, int h, int sat, int v) {
  const bool vivid = sat > 90 && v > 50;
  switch (s) {
    case Shade::Red:
      return vivid && (h < 8 || h > 170);
    case Shade::Orange:
      return vivid && h >= 8 && h < 20 && v > 140;
    case Shade::Yellow:
      return vivid && h >= 20 && h < 35;
    case Shade::Green:
      return vivid && h >= 35 && h < 85;
    case Shade::Blue:
      return vivid && h >= 85 && h < 130;
    case Shade::Purple:
      return vivid && h >= 130 && h < 155;
    case Shade::Pink:
      return sat > 50 && v > 120 && h >= 155 && h <= 170;
    case Shade::Brown:
      return sat > 60 && v > 30 && v <= 140 && h >= 5 && h < 25;
    case Shade::Black:
      return v < 55;
    case Shade::White:
      return sat < 40 && v > 190;
    case Shade::Grey:
      return sat < 40 && v >= 55 && v <= 190;
  }
  return false;
}

// Share of the candidate's middle (its torso and legs, less the background
// at its sides) that shows one of the hint's colours.
double colour_share(const cv::Mat& hsv, cv::Rect r, const std::vector<Shade>& shades) {
  cv::Rect mid(r.x + r.width / 4, r.y + r.height / 8, std::max(1, r.width / 2),
               std::max(1, r.height * 3 / 4));
  mid &= cv::Rect(0, 0, hsv.cols, hsv.rows);
  if (mid.area() == 0) return 0;
  int hits = 0;
  for (int y = mid.y; y < mid.br().y; ++y) {
    const cv::Vec3b* p = hsv.ptr<cv::Vec3b>(y);
    for (int x = mid.x; x < mid.br().x; ++x) {
      for (Shade s : shades) {
        if (matches(s, p[x][0], p[x][1], p[x][2])) {
          ++hits;
          break;
        }
      }
    }
  }
  return static_cast<double>(hits) / mid.area();
}

}  // namespace

// What the person prior marks in overlapping squares across the picture, one
// candidate per solid piece: people the detector misses (cut off by the
// frame, seen close up, drawn). Only confident, sizeable pieces count, since
// the prior marks whatever stands out when there is nobody.
std::vector<PersonCandidate> prior_people(const cv::Mat& bgr) {
  const int side = std::min(bgr.cols, bgr.rows);
  if (side < 32) return {};
  cv::Mat p = cv::Mat::zeros(bgr.size(), CV_32F);
  std::vector<int> xs, ys;
  for (int x = 0; x + side < bgr.cols; x += side / 2) xs.push_back(x);
  for (int y = 0; y + side < bgr.rows; y += side / 2) ys.push_back(y);
  xs.push_back(bgr.cols - side);
  ys.push_back(bgr.rows - side);
  for (int y : ys) {
    for (int x : xs) {
      const cv::Rect tile(x, y, side, side);
      cv::Mat t = person_probability(bgr, tile, 0.0);
      if (t.empty()) return {};
      cv::max(p, t, p);
    }
  }
  cv::Mat labels, stats, centroids;
  const int n = cv::connectedComponentsWithStats(p > 0.5f, labels, stats, centroids, 8, CV_32S);
  std::vector<PersonCandidate> out;
  for (int i = 1; i < n; ++i) {
    const int* st = stats.ptr<int>(i);
    if (static_cast<size_t>(st[cv::CC_STAT_AREA]) < bgr.total() / 200) continue;
    const double confidence = cv::mean(p, labels == i)[0];
    if (confidence < 0.8) continue;
    out.push_back(
        {cv::Rect(st[cv::CC_STAT_LEFT], st[cv::CC_STAT_TOP], st[cv::CC_STAT_WIDTH], st[cv::CC_STAT_HEIGHT]),
         confidence});
  }
  return out;
}

std::vector<PersonCandidate> find_people(const cv::Mat& bgr) {
  // The detector's window is 64 x 128; people smaller than that at this scale
  // are missed, people larger are found further up its pyramid. Small
  // pictures are enlarged so that a person a third of their height is found.
  double scale = 640.0 / std::max(bgr.cols, bgr.rows);
  cv::Mat img;
  cv::resize(bgr, img, cv::Size(), scale, scale, cv::INTER_AREA);
  if (img.cols < 64 || img.rows < 128) return prior_people(bgr);
  cv::HOGDescriptor hog;
  hog.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
  std::vector<cv::Rect> found;
  std::vector<double> weights;
  hog.detectMultiScale(img, found, weights, 0.0, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2.0);
  std::vector<PersonCandidate> out;
  for (size_t i = 0; i < found.size(); ++i) {
    double w = i < weights.size() ? weights[i] : 0.0;
    if (w < 0.3) continue;
    const cv::Rect& r = found[i];
    cv::Rect box = cv::Rect(static_cast<int>(r.x / scale), static_cast<int>(r.y / scale),
                            static_cast<int>(r.width / scale), static_cast<int>(r.height / scale)) &
                   cv::Rect(0, 0, bgr.cols, bgr.rows);
    if (box.area() > 0) out.push_back({box, w});
  }
  return out.empty() ? prior_people(bgr) : out;
}

std::vector<std::string> hint_colour_words(const std::string& hint) {
  // Words are runs of letters: "red-jacket," holds "red".
  std::vector<std::string> out;
  std::string word;
  for (size_t i = 0; i <= hint.size(); ++i) {
    const unsigned char c = i < hint.size() ? static_cast<unsigned char>(hint[i]) : ' ';
    if (std::isalpha(c)) {
      word += static_cast<char>(std::tolower(c));
      continue;
    }
    Shade s = Shade::Black;
    if (!word.empty() && shade_of(word, &s)) out.push_back(word);
    word.clear();
  }
  return out;
}

int choose_person(const cv::Mat& bgr, const std::vector<PersonCandidate>& people, const std::string& hint) {
  if (people.empty()) return -1;
  int best = 0;
  auto strength = [&](int i) { return people[i].box.area() * people[i].weight; };
  for (int i = 1; i < static_cast<int>(people.size()); ++i) {
    if (strength(i) > strength(best)) best = i;
  }
  std::vector<Shade> shades;
  for (const std::string& w : hint_colour_words(hint)) {
    Shade s = Shade::Black;
    if (shade_of(w, &s)) shades.push_back(s);
  }
  if (shades.empty() || people.size() == 1) return best;
  cv::Mat hsv;
  cv::cvtColor(bgr, hsv, cv::COLOR_BGR2HSV);
  // The colours decide when they set one candidate clearly apart; otherwise
  // the strongest detection stands.
  double top = -1, second = -1;
  int chosen = best;
  for (int i = 0; i < static_cast<int>(people.size()); ++i) {
    double share = colour_share(hsv, people[i].box, shades);
    if (share > top) {
      second = top;
      top = share;
      chosen = i;
    } else if (share > second) {
      second = share;
    }
  }
  return top >= 0.1 && top >= second + 0.05 ? chosen : best;
}

}  // namespace tessel
