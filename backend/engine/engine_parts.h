// Pieces of the matting engine shared by its source files.
#pragma once

#include "engine_request.h"

#include <opencv2/core.hpp>
#include <opencv2/video/tracking.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace tessel {

// What "fast" and "fine" change: resolutions, flow quality and refinement.
struct EngineSettings {
  int work_side;     // longest side at which the character is tracked
  int grabcut_side;  // longest side for the anchor segmentation
  int grabcut_iterations;
  int flow_preset;      // cv::DISOpticalFlow preset
  int refine_side;      // longest side at which edges are refined
  float band;           // half width of the edge band, in work pixels
  int cut_every;        // frames between graph cuts (1: every frame)
  int cut_relearn;      // cuts between fresh colour models for the graph cut
  bool scenery_layers;  // the anchor tells apart scenery sliding at its own pace
  bool person_prior;    // the learned person prior rules out background while tracking
};

EngineSettings engine_settings(Quality quality);

// Where every graph cut starts the thread's random generator, so that the
// same request gives the same mattes.
constexpr std::uint64_t kCutSeed = 0x6d617474u;

// Longest side of `size` brought down to `side` (never enlarged), aspect kept.
cv::Size fit_side(cv::Size size, int side);
// `r` grown by `by` on every side, within a picture of `within`.
cv::Rect grown(cv::Rect r, int by, cv::Size within);

// Foreground and background colour histograms (16 levels per channel), kept
// two ways. Spread over neighbouring shades for tracking: at the working size
// colours mix, and a shade not seen yet is still the character's. As counted
// for the edges at full size: there, a neighbouring shade is often something
// else (hair against a trunk of nearly its colour, a shirt against grass).
struct ColourModel {
  cv::Mat fg, bg;              // CV_32F, 4096 bins, each summing to 1: spread
  cv::Mat fg_exact, bg_exact;  // the same, as counted
  bool ready = false;
};

// Blends the colours under the two masks into the model; rate 1 replaces it.
void colour_learn(ColourModel* model, const cv::Mat& bgr, const cv::Mat& fg_mask, const cv::Mat& bg_mask,
                  float rate);
// Per-pixel log(p(colour | fg) / p(colour | bg)), clamped to [-limit, limit],
// from the spread histograms or, when `exact`, from the counted ones.
cv::Mat colour_log_ratio(const ColourModel& model, const cv::Mat& bgr, float limit, bool exact = false);

// A frame near the anchor (at the work size), `offset` frames away from it.
struct Neighbour {
  int offset;
  cv::Mat work;
};

// What the user's marks pin down, per pixel of a pin map: their dabs, and on
// the anchor what lies beyond the box.
constexpr uchar kPinFree = 0, kPinBackground = 1, kPinForeground = 2, kPinBeyondBox = 3;

// The box in pixels of `size`, and the margin past it that is still free.
cv::Rect box_pixels(const protocol::Box& box, cv::Size size);
int box_margin(cv::Size size);
// Paints the dabs' discs into `target` in the order painted, with `add` or `exclude`.
void paint_dabs(cv::Mat* target, const std::vector<protocol::Dab>& dabs, uchar add, uchar exclude);
// The anchor's pin map at `size`: dab discs, and when there is a box, beyond
// it and its margin, except around add dabs.
cv::Mat anchor_pins(const EngineRequest& request, cv::Size size);
// Holds the 8-bit `alpha` to `pins` (any size): pinned character 255, the rest pinned 0.
void hold_pins(const cv::Mat& pins, cv::Mat* alpha);
// The same for a probability map at the pins' size.
void apply_pins(const cv::Mat& pins, cv::Mat* prob);

// The anchor segmentation: a 0/255 mask at the size of `work`, its pin map
// and whether the person prior applied, or false with a plain error text for
// the user. In the
// neighbouring frames, what moves with the camera is background.
bool segment_anchor(const cv::Mat& work, const std::vector<Neighbour>& neighbours,
                    const EngineRequest& request, const EngineSettings& settings, cv::Mat* mask,
                    cv::Mat* pins, bool* person, std::string* error);

// Upright people the built-in detector finds, in pixels of `bgr`, with its
// confidence in each; when it finds none, the confident pieces the person
// prior marks across the picture.
struct PersonCandidate {
  cv::Rect box;
  double weight;
};
std::vector<PersonCandidate> find_people(const cv::Mat& bgr);
// The colour words of a hint ("red", "grey", ...), lower case, in order.
std::vector<std::string> hint_colour_words(const std::string& hint);
// Which of `people` the hint means: the one its colours set clearly apart,
// else the strongest detection; -1 when there is nobody.
int choose_person(const cv::Mat& bgr, const std::vector<PersonCandidate>& people, const std::string& hint);

// P(person) around `region` of `work` (CV_32F, work size, 0 beyond the
// model's crop, which `grow` widens and `seen` receives), or empty when there
// is no model or what it marks does not look like a person filling part of
// the region.
cv::Mat person_evidence(const cv::Mat& work, cv::Rect region, double grow, cv::Rect* seen = nullptr);
// The prior as log odds, clamped to [-limit, limit].
cv::Mat person_log_odds(const cv::Mat& p, float limit);

// Fits a camera motion (affine) to `flow` over the pixels set in `where`;
// *residual is how far each pixel's flow departs from it and *noise the 80th
// percentile of that over the fitted pixels. False with too few pixels.
bool motion_residual(const cv::Mat& flow, const cv::Mat& where, cv::Mat* residual, float* noise);
// The camera motion alone: the affine map (2 x 3, CV_64F) taking a pixel of
// the first picture of `flow` to the second, fitted where `where` is set.
bool camera_motion(const cv::Mat& flow, const cv::Mat& where, cv::Mat* affine);

// Tracking state carried from one frame to the next in one direction.
struct Tracker {
  EngineSettings settings;
  cv::Ptr<cv::DISOpticalFlow> flow;
  cv::Mat prev_gray;  // CV_8U, work size
  cv::Mat prev_prob;  // CV_32F in [0, 1], work size
  cv::Mat hidden;     // CV_32F: where the character is believed to be behind something
  cv::Point2f shift;  // the character's last reliable motion, new pixel to old
  bool has_shift = false;
  float body_area = 0;  // the character's usual area in work pixels
  ColourModel colour;
  cv::Mat cut_bg, cut_fg;  // the graph cut's colour models (mixtures)
  int cut_age = 0;         // cuts since they were learned
  int cut_turn = 0;        // frames tracked, to cut every so many
  cv::Mat pins;            // the dabs' pins, carried along (empty once all let go)
  cv::Mat pin_colour;      // the anchor's colours under them, carried the same way
  bool person = false;     // a person, and the settings use the prior: ask it on every frame
};

// Starts a tracker from the anchor picture and mask; the returned probability
// map is the anchor's own, with its edges fitted to the picture, except where
// the user's dabs pin it.
cv::Mat tracker_start(Tracker* tracker, const cv::Mat& work, const cv::Mat& mask, const cv::Mat& pins,
                      bool person, const EngineSettings& settings);
// A deep copy, so that the backward pass starts from the anchor again.
Tracker tracker_copy(const Tracker& tracker);
// Moves the tracker's pins along `map` (new pixel to old) and lets go of
// those whose colour in `work` has changed.
void carry_pins(Tracker* tracker, const cv::Mat& map, const cv::Mat& work);
// Carries the character into the next picture; returns its probability map.
cv::Mat tracker_step(Tracker* tracker, const cv::Mat& work);

// Re-decides `decided` (0/255, the colour decision) by a graph cut around the
// character: sure inside deep within the carried mask (`signed_dist` is the
// signed distance to its edge, positive inside), sure outside beyond the band.
// The anchor is always cut, with colour models learned afresh; later frames
// are cut and relearned as often as the settings say.
cv::Mat cut_decide(Tracker* tracker, const cv::Mat& work, const cv::Mat& signed_dist, const cv::Mat& decided,
                   bool at_anchor);

// Occlusion memory. Parts of the character that vanish from its inside are
// kept as hidden and moved along with the character; when something
// character-coloured that moves like the character shows up there again, it
// is given back. `flow` maps the new picture to the previous one, `colour_lr`
// is the colour log ratio of the new picture, `prob` the new map (updated).
void occlusion_update(Tracker* tracker, const cv::Mat& flow, const cv::Mat& colour_lr, cv::Mat* prob);

// One tracker's say on a frame: what refinement takes from it.
struct TrackedFrame {
  cv::Mat prob;  // CV_32F, work size
  ColourModel colour;
  cv::Mat pins;          // the tracker's carried pins (may be empty)
  float usual_area = 0;  // the character's usual area to this tracker (0: unknown)
};
// A deep copy, to keep while the tracker moves on.
TrackedFrame tracked_copy(const cv::Mat& prob, const ColourModel& colour, const cv::Mat& pins,
                          float usual_area);

// Between anchors `a` < `b`, the tracker from `a` hands over to the one from
// `b` across [*lo, *hi], a few frames around the midpoint; *hi < *lo when no
// frame lies between them.
void meeting_frames(int a, int b, int* lo, int* hi);
// How much the later anchor's tracker counts on frame `i` of [lo, hi]: rising
// evenly from near 0 to near 1 across it.
float later_share(int i, int lo, int hi);
// The two trackers' say on one frame, blended: the outline moves from the
// earlier one's to the later one's by `later` (0..1) of the way, and colours
// mix as much; pins are the nearer anchor's. A tracker that holds much less
// of the character than usual (it lost it behind something) has less say.
TrackedFrame blend_tracked(const TrackedFrame& earlier, const TrackedFrame& later_frame, float later);

// `src` (CV_32F) smoothed along the edges of the 8-bit colour `guide` over
// `radius`, held to its colours by `eps` (in squared grey levels).
cv::Mat guided_smooth(const cv::Mat& guide, const cv::Mat& src, int radius, double eps);
// The guided filter's last step: a[0] I0 + a[1] I1 + a[2] I2 + b per pixel of
// the 8-bit colour `guide`, the CV_32F coefficient maps (all one size, any)
// brought to its size as cv::resize's INTER_LINEAR does, without making them.
cv::Mat apply_coefficients(const cv::Mat& guide, const cv::Mat a[3], const cv::Mat& b);

// Within hair, each pixel mixes a strand's colour with the background's
// behind it: its alpha is where it lies between the two. Both are taken
// locally, from pixels nearby that are clearly strand (`strand_lr` above 2,
// in `hair` above 0.3) or clearly background (below -1). Pixels off the line
// between them (another colour altogether) and places with too few samples or
// too little contrast are left undecided: -1. CV_32F, the size of the 8-bit
// colour `bgr`; worked out only within `wanted` (-1 beyond it), as it would be
// over the whole picture. `unit` is the picture's size against 1080p.
// `from_afar`: where no clear strand is near, the strands' colour comes from
// `kWideStrandWindow` times as far, else from all of the hair.
cv::Mat unmix_strands(const cv::Mat& bgr, const cv::Mat& strand_lr, const cv::Mat& hair, double unit,
                      cv::Rect wanted, bool from_afar = true);
// Half the side of the window the samples for one pixel come from, in pixels
// of a picture `unit` times the size of 1080p; and how much wider when taken
// from afar.
int strand_window(double unit);
constexpr int kWideStrandWindow = 4;

// The final matte: the probability map refined against the picture `guide`
// (any size), then brought to `full` size as 8-bit grey. `colour` is the
// tracker's colour model: along the outline it takes out background showing
// through (between strands of hair) and takes in strands beyond it.
cv::Mat refine_matte(const cv::Mat& prob, const cv::Mat& guide, const ColourModel& colour, double softness,
                     cv::Size full);

}  // namespace tessel
