// Independent PNG and JPEG readers and a PNG writer for the tests, on libpng
// and libjpeg, so our codecs are never checked against themselves.
#pragma once

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <png.h>

namespace testing_png {

struct Picture {
  int width = 0;
  int height = 0;
  int channels = 0;
  std::vector<unsigned char> pixels;  // rows top first, packed
};

// Writes an 8-bit (or 16-bit) PNG of 1 (grey), 2 (grey+alpha), 3 (RGB) or 4 (RGBA) channels.
inline bool write_png(const std::string& path, int width, int height, int channels,
                      const std::vector<unsigned char>& pixels, bool sixteen_bit = false) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  static const png_uint_32 formats[] = {0, PNG_FORMAT_GRAY, PNG_FORMAT_GA, PNG_FORMAT_RGB, PNG_FORMAT_RGBA};
  image.format = formats[channels] | (sixteen_bit ? PNG_FORMAT_FLAG_LINEAR : 0);
  return png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr) != 0;
}

// Decodes a PNG held in memory at its own channel count (8-bit).
inline Picture read_png(const std::vector<unsigned char>& bytes) {
  Picture picture;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    return picture;
  }
  const bool colour = image.format & PNG_FORMAT_FLAG_COLOR;
  const bool alpha = image.format & PNG_FORMAT_FLAG_ALPHA;
  picture.channels = (colour ? 3 : 1) + (alpha ? 1 : 0);
  image.format =
      colour ? (alpha ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB) : (alpha ? PNG_FORMAT_GA : PNG_FORMAT_GRAY);
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  picture.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.pixels.data(), 0, nullptr)) {
    return Picture{};
  }
  return picture;
}

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

inline void jpeg_fail(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }

// Decodes a JPEG held in memory to RGB with libjpeg. `sampling` receives each
// component's horizontal and vertical sampling factors.
inline Picture read_jpeg(const std::vector<unsigned char>& bytes, std::vector<int>* sampling = nullptr) {
  Picture picture;
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = jpeg_fail;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    return Picture{};
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  jpeg_read_header(&info, TRUE);
  if (sampling) {
    for (int c = 0; c < info.num_components; ++c) {
      sampling->push_back(info.comp_info[c].h_samp_factor);
      sampling->push_back(info.comp_info[c].v_samp_factor);
    }
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  picture.channels = info.output_components;
  picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height * picture.channels);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row =
        picture.pixels.data() + static_cast<size_t>(info.output_scanline) * picture.width * picture.channels;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return picture;
}

// Plain RFC 4648 decoder (no whitespace); empty on any character outside the alphabet.
inline std::vector<unsigned char> base64_decode(const std::string& text) {
  std::vector<unsigned char> out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=')
      break;
    else
      return {};
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<unsigned char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

inline void write_bytes(const std::string& path, const std::vector<unsigned char>& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f) {
    if (!bytes.empty()) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
    }
    std::fclose(f);
  }
}

}  // namespace testing_png
