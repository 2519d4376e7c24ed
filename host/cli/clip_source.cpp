#include "clip_source.h"

#include <glob.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include <regex>

#include "protocol/clip_folder.h"

namespace fs = std::filesystem;

namespace mattivo {
namespace {

bool is_image_name(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
  return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".tif" || ext == ".tiff" || ext == ".bmp";
}

// Natural order, so frame_9 comes before frame_10 even without zero padding.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
      size_t i2 = i, j2 = j;
      while (i2 < a.size() && isdigit(static_cast<unsigned char>(a[i2]))) ++i2;
      while (j2 < b.size() && isdigit(static_cast<unsigned char>(b[j2]))) ++j2;
      std::string na = a.substr(i, i2 - i), nb = b.substr(j, j2 - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = i2;
      j = j2;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

// "shot/frame_%04d.png": every file of that folder whose name fits the pattern.
std::vector<std::string> expand_printf_pattern(const std::string& pattern) {
  fs::path p(pattern);
  fs::path dir = p.has_parent_path() ? p.parent_path() : fs::path(".");
  std::string name = p.filename().string();
  std::string re;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c == '%') {
      size_t j = i + 1;
      while (j < name.size() && isdigit(static_cast<unsigned char>(name[j]))) ++j;
      if (j < name.size() && name[j] == 'd') {
        re += "([0-9]+)";
        i = j;
        continue;
      }
    }
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) re += '\\';
    re += c;
  }
  std::vector<std::string> files;
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return files;
  std::regex rx(re);
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file(ec) && std::regex_match(e.path().filename().string(), rx))
      files.push_back(e.path().string());
  }
  return files;
}

std::vector<std::string> expand_glob(const std::string& pattern) {
  std::vector<std::string> files;
  glob_t g{};
  if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
    for (size_t i = 0; i < g.gl_pathc; ++i) files.push_back(g.gl_pathv[i]);
  }
  globfree(&g);
  return files;
}

std::string decode_video(const std::string& path, int max_frames, Clip* clip) {
  cv::VideoCapture cap(path);
  if (!cap.isOpened()) return "cannot open " + path + " as an image sequence or a video";
  char tmpl[] = "/tmp/mattivo-video-XXXXXX";
  if (!mkdtemp(tmpl)) return "cannot make a scratch folder for the video's frames";
  clip->scratch_dir = tmpl;
  // Frames go to disk one by one, so memory stays flat whatever the length.
  cv::Mat frame;
  const std::vector<int> fast_png = {cv::IMWRITE_PNG_COMPRESSION, 1};
  for (int i = 0; (max_frames == 0 || i < max_frames) && cap.read(frame); ++i) {
    std::string out = clip->scratch_dir + "/" + protocol::indexed_file_name(i, ".png");
    if (!cv::imwrite(out, frame, fast_png)) return "cannot write the video's frames to " + out;
    clip->files.push_back(out);
  }
  if (clip->files.empty()) return path + " holds no frame that can be decoded";
  return "";
}

}  // namespace

Clip::Clip(Clip&& o) noexcept { *this = std::move(o); }

Clip& Clip::operator=(Clip&& o) noexcept {
  files = std::move(o.files);
  width = o.width;
  height = o.height;
  scratch_dir = std::move(o.scratch_dir);
  o.scratch_dir.clear();
  return *this;
}

Clip::~Clip() {
  if (!scratch_dir.empty()) {
    std::error_code ec;
    fs::remove_all(scratch_dir, ec);
  }
}

std::string open_clip(const std::string& input, int max_frames, Clip* clip) {
  std::error_code ec;
  if (input.find('%') != std::string::npos) {
    clip->files = expand_printf_pattern(input);
  } else if (input.find_first_of("*?[") != std::string::npos) {
    clip->files = expand_glob(input);
  } else if (fs::is_directory(input, ec)) {
    for (const auto& e : fs::directory_iterator(input, ec))
      if (e.is_regular_file(ec) && is_image_name(e.path())) clip->files.push_back(e.path().string());
  } else if (fs::is_regular_file(input, ec)) {
    if (is_image_name(input)) {
      clip->files.push_back(input);
    } else {
      std::string err = decode_video(input, max_frames, clip);
      if (!err.empty()) return err;
    }
  } else {
    return "input not found: " + input;
  }
  if (clip->files.empty()) return "no frames match " + input;
  std::sort(clip->files.begin(), clip->files.end(), natural_less);
  if (max_frames > 0 && static_cast<int>(clip->files.size()) > max_frames) clip->files.resize(max_frames);

  cv::Mat first = cv::imread(clip->files.front(), cv::IMREAD_COLOR);
  if (first.empty()) return "cannot decode the first frame " + clip->files.front();
  clip->width = first.cols;
  clip->height = first.rows;
  return "";
}

std::optional<ofxhost::Image> load_frame(const Clip& clip, int index) {
  if (index < 0 || index >= static_cast<int>(clip.files.size())) return std::nullopt;
  cv::Mat bgr = cv::imread(clip.files[index], cv::IMREAD_COLOR);
  if (bgr.empty() || bgr.cols != clip.width || bgr.rows != clip.height) return std::nullopt;
  cv::Mat rgba;
  cv::cvtColor(bgr, rgba, cv::COLOR_BGR2RGBA);
  ofxhost::Image img = ofxhost::make_image({0, 0, clip.width, clip.height}, kOfxBitDepthByte);
  // The host's rows run bottom to top: image row y holds picture row height-1-y.
  for (int y = 0; y < clip.height; ++y) {
    const unsigned char* src = rgba.ptr<unsigned char>(clip.height - 1 - y);
    std::copy(src, src + clip.width * 4, img.pixel8(0, y));
  }
  return img;
}

}  // namespace mattivo
