#include "options.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace mattivo {
namespace {

// Splits "a,b,c" into numbers, each with an optional "px" suffix (any suffix
// makes them all pixels); false when any part is not a finite number.
bool parse_numbers(const std::string& text, std::vector<double>* out, bool* had_px) {
  *had_px = false;
  std::stringstream ss(text);
  std::string part;
  while (std::getline(ss, part, ',')) {
    if (part.size() > 2 && part.compare(part.size() - 2, 2, "px") == 0) {
      *had_px = true;
      part.resize(part.size() - 2);
    }
    char* end = nullptr;
    double v = std::strtod(part.c_str(), &end);
    if (part.empty() || end == part.c_str() || *end != '\0' || !std::isfinite(v)) return false;
    out->push_back(v);
  }
  return !out->empty();
}

bool take_value(int argc, char** argv, int* i, std::string* value) {
  if (*i + 1 >= argc) return false;
  *value = argv[++*i];
  return true;
}

bool parse_int(const std::string& s, int* out) {
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || *end != '\0' || v < -1000000000 || v > 1000000000) return false;
  *out = static_cast<int>(v);
  return true;
}

bool parse_double(const std::string& s, double* out) {
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

}  // namespace

std::string parse_box(const std::string& text, Box* out) {
  std::vector<double> v;
  bool px = false;
  if (!parse_numbers(text, &v, &px) || v.size() != 4)
    return "--box takes x,y,w,h (normalised 0..1, or pixels with a px suffix or values above 1)";
  Box b{v[0], v[1], v[2], v[3], px};
  if (!b.pixels && (v[0] > 1 || v[1] > 1 || v[2] > 1 || v[3] > 1)) b.pixels = true;
  if (b.x < 0 || b.y < 0) return "--box: x and y must not be negative";
  if (b.w <= 0 || b.h <= 0) return "--box: width and height must be greater than 0";
  *out = b;
  return "";
}

std::string parse_dab(const std::string& text, Dab* out) {
  std::vector<double> v;
  bool px = false;
  if (!parse_numbers(text, &v, &px) || (v.size() != 2 && v.size() != 3))
    return "a brush dab takes x,y or x,y,size (size: radius as a fraction of the frame width)";
  Dab d;
  d.x = v[0];
  d.y = v[1];
  if (v.size() == 3) d.size = v[2];
  d.pixels = px || d.x > 1 || d.y > 1;
  if (d.x < 0 || d.y < 0) return "a brush dab must not have negative coordinates";
  if (d.size <= 0 || d.size > 0.3) return "a brush dab's size must be in (0, 0.3]";
  *out = d;
  return "";
}

std::string parse_correction(const std::string& text, Correction* out) {
  const char* usage = "--correct takes FRAME:add=x,y[,size], FRAME:exclude=x,y[,size] or FRAME:box=x,y,w,h";
  const size_t colon = text.find(':');
  const size_t equals = text.find('=', colon == std::string::npos ? 0 : colon);
  if (colon == std::string::npos || equals == std::string::npos) return usage;
  Correction c;
  if (!parse_int(text.substr(0, colon), &c.frame) || c.frame < 0)
    return "--correct: the frame is an index from 0, like --anchor";
  const std::string kind = text.substr(colon + 1, equals - colon - 1);
  const std::string value = text.substr(equals + 1);
  std::string err;
  if (kind == "add" || kind == "exclude") {
    c.kind = kind == "add" ? Correction::Kind::Add : Correction::Kind::Exclude;
    if (!(err = parse_dab(value, &c.dab)).empty()) return "--correct " + kind + ": " + err;
  } else if (kind == "box") {
    c.kind = Correction::Kind::Box;
    if (!(err = parse_box(value, &c.box)).empty()) return "--correct " + err.substr(2);
  } else {
    return usage;
  }
  *out = c;
  return "";
}

std::string parse_pull(int argc, char** argv, PullOptions* o) {
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i], v;
    auto need = [&](const char* what) -> std::string {
      return take_value(argc, argv, &i, &v) ? "" : std::string(what) + " needs a value";
    };
    std::string err;
    if (a == "--input" || a == "-i") {
      if (!(err = need("--input")).empty()) return err;
      o->input = v;
    } else if (a == "--out" || a == "-o") {
      if (!(err = need("--out")).empty()) return err;
      o->out = v;
      o->out_given = true;
    } else if (a == "--anchor") {
      if (!(err = need("--anchor")).empty()) return err;
      if (!parse_int(v, &o->anchor) || o->anchor < 0) return "--anchor takes a frame index from 0";
      o->anchor_given = true;
    } else if (a == "--box") {
      if (!(err = need("--box")).empty()) return err;
      Box b;
      if (!(err = parse_box(v, &b)).empty()) return err;
      o->box = b;
    } else if (a == "--add" || a == "--exclude") {
      if (!(err = need(a.c_str())).empty()) return err;
      Dab d;
      if (!(err = parse_dab(v, &d)).empty()) return a + ": " + err;
      (a == "--add" ? o->adds : o->excludes).push_back(d);
    } else if (a == "--correct") {
      if (!(err = need("--correct")).empty()) return err;
      Correction c;
      if (!(err = parse_correction(v, &c)).empty()) return err;
      o->corrections.push_back(c);
    } else if (a == "--session") {
      if (!(err = need("--session")).empty()) return err;
      o->session = v;
    } else if (a == "--hint") {
      if (!(err = need("--hint")).empty()) return err;
      o->hint = v;
    } else if (a == "--backend") {
      if (!(err = need("--backend")).empty()) return err;
      if (v.rfind("http://", 0) != 0 && v.rfind("https://", 0) != 0)
        return "--backend takes an http:// or https:// URL";
      o->backend = v;
    } else if (a == "--backend-bin") {
      if (!(err = need("--backend-bin")).empty()) return err;
      o->backend_bin = v;
    } else if (a == "--plugin") {
      if (!(err = need("--plugin")).empty()) return err;
      o->plugin = v;
    } else if (a == "--quality") {
      if (!(err = need("--quality")).empty()) return err;
      if (v != "fine" && v != "fast") return "--quality takes fine or fast";
      o->quality = v;
    } else if (a == "--softness") {
      if (!(err = need("--softness")).empty()) return err;
      if (!parse_double(v, &o->softness) || o->softness < 0 || o->softness > 1)
        return "--softness takes a number from 0 to 1";
    } else if (a == "--first-frame") {
      if (!(err = need("--first-frame")).empty()) return err;
      if (!parse_double(v, &o->first_frame)) return "--first-frame takes a number";
      o->first_frame_given = true;
    } else if (a == "--fps") {
      if (!(err = need("--fps")).empty()) return err;
      if (!parse_double(v, &o->fps) || o->fps <= 0) return "--fps takes a positive number";
      o->fps_given = true;
    } else if (a == "--timeout") {
      if (!(err = need("--timeout")).empty()) return err;
      if (!parse_int(v, &o->timeout_s) || o->timeout_s <= 0) return "--timeout takes seconds";
    } else if (a == "--max-frames") {
      if (!(err = need("--max-frames")).empty()) return err;
      if (!parse_int(v, &o->max_frames) || o->max_frames < 0) return "--max-frames takes a count";
      o->max_frames_given = true;
    } else if (a == "--quiet" || a == "-q") {
      o->quiet = true;
    } else if (a == "--help" || a == "-h") {
      o->help = true;
      return "";
    } else {
      return "unknown option " + a;
    }
  }
  // A session brings its clip and its marks along.
  if (!o->session.empty()) return "";
  if (o->input.empty()) return "--input is required (an image sequence pattern, a folder or a video)";
  if (!o->box && o->adds.empty() && o->excludes.empty() && o->hint.empty() && o->corrections.empty())
    return "mark the character: give --box, --add dabs and/or --hint";
  return "";
}

std::string parse_info(int argc, char** argv, InfoOptions* o) {
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i], v;
    if (a == "--plugin") {
      if (!take_value(argc, argv, &i, &v)) return "--plugin needs a value";
      o->plugin = v;
    } else {
      return "unknown option " + a;
    }
  }
  return "";
}

}  // namespace mattivo
