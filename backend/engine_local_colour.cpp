// Local colour models: the character's skin may match sand somewhere in the
// picture, yet differ from the ground right next to it. Colours are counted
// per tile along the outline and compared within a window of tiles.
#include "engine_parts.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tessel {
namespace {

constexpr int kLocalBins = 512;  // 8 levels per channel
constexpr int kWindow = 1;       // tiles either side that a window spans

inline int local_bin(const uchar* p) { return ((p[0] >> 5) << 6) | ((p[1] >> 5) << 3) | (p[2] >> 5); }

}  // namespace

void local_colour_learn(LocalColourModel* m, const cv::Mat& bgr, const cv::Mat& fg_mask, const cv::Mat& bg_mask) {
  m->tile = std::max(8, std::max(bgr.cols, bgr.rows) / 40);
  m->cols = (bgr.cols + m->tile - 1) / m->tile;
  m->rows = (bgr.rows + m->tile - 1) / m->tile;
  const size_t tiles = static_cast<size_t>(m->cols) * m->rows;
  m->fg.assign(tiles * kLocalBins, 0.f);
  m->bg.assign(tiles * kLocalBins, 0.f);
  m->fg_count.assign(tiles, 0.f);
  m->bg_count.assign(tiles, 0.f);
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* p = bgr.ptr<uchar>(y);
    const uchar* f = fg_mask.ptr<uchar>(y);
    const uchar* b = bg_mask.ptr<uchar>(y);
    const size_t row = static_cast<size_t>(y / m->tile) * m->cols;
    for (int x = 0; x < bgr.cols; ++x, p += 3) {
      if (!f[x] && !b[x]) continue;
      const size_t t = row + x / m->tile;
      if (f[x]) m->fg[t * kLocalBins + local_bin(p)] += 1.f, m->fg_count[t] += 1.f;
      else m->bg[t * kLocalBins + local_bin(p)] += 1.f, m->bg_count[t] += 1.f;
    }
  }
}

void local_colour_apply(const LocalColourModel& m, const cv::Mat& bgr, float limit, cv::Mat* log_ratio) {
  if (m.fg.empty() || bgr.cols > m.cols * m.tile || bgr.rows > m.rows * m.tile) return;
  // Per tile, the log ratio table of its window, where the window holds
  // enough of both sides; elsewhere the global model stands.
  const size_t tiles = static_cast<size_t>(m.cols) * m.rows;
  std::vector<float> table(tiles * kLocalBins);
  std::vector<float> weight(tiles, 0.f);
  std::vector<float> f(kLocalBins), b(kLocalBins);
  const float enough = static_cast<float>(m.tile * m.tile) / 4;
  for (int ty = 0; ty < m.rows; ++ty) {
    for (int tx = 0; tx < m.cols; ++tx) {
      float nf = 0, nb = 0;
      std::fill(f.begin(), f.end(), 0.f);
      std::fill(b.begin(), b.end(), 0.f);
      for (int wy = std::max(0, ty - kWindow); wy <= std::min(m.rows - 1, ty + kWindow); ++wy) {
        for (int wx = std::max(0, tx - kWindow); wx <= std::min(m.cols - 1, tx + kWindow); ++wx) {
          const size_t t = static_cast<size_t>(wy) * m.cols + wx;
          if (m.fg_count[t] == 0 && m.bg_count[t] == 0) continue;
          nf += m.fg_count[t], nb += m.bg_count[t];
          const float* sf = &m.fg[t * kLocalBins];
          const float* sb = &m.bg[t * kLocalBins];
          for (int k = 0; k < kLocalBins; ++k) f[k] += sf[k], b[k] += sb[k];
        }
      }
      const size_t t = static_cast<size_t>(ty) * m.cols + tx;
      if (nf < 8 || nb < 8) continue;
      weight[t] = std::min(1.f, std::min(nf, nb) / enough);
      // Add-half smoothing: a colour unseen on one side is unlikely there,
      // not impossible.
      const float pf = 1.f / (nf + 0.5f * kLocalBins), pb = 1.f / (nb + 0.5f * kLocalBins);
      float* out = &table[t * kLocalBins];
      for (int k = 0; k < kLocalBins; ++k) {
        float v = std::log(((f[k] + 0.5f) * pf) / ((b[k] + 0.5f) * pb));
        out[k] = v < -limit ? -limit : v > limit ? limit : v;
      }
    }
  }
  for (int y = 0; y < bgr.rows; ++y) {
    const uchar* p = bgr.ptr<uchar>(y);
    float* o = log_ratio->ptr<float>(y);
    const size_t row = static_cast<size_t>(y / m.tile) * m.cols;
    for (int x = 0; x < bgr.cols; ++x, p += 3) {
      const size_t t = row + x / m.tile;
      const float w = weight[t];
      if (w > 0) o[x] = w * table[t * kLocalBins + local_bin(p)] + (1 - w) * o[x];
    }
  }
}

}  // namespace tessel
