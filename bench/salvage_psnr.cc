// The QZR side of bench/salvage.sh: how close the salvage of a cut or
// bit-flipped file comes to the whole file's picture, over the public C++
// API, and the same cuts and flips applied to any file (the JPEG side).
//
//   qzr_salvage_psnr cuts FILE.qzr PERCENT...  per cut: percent, bytes kept, then as below
//   qzr_salvage_psnr flips FILE.qzr SEED...    per seed: seed, bit flipped, PSNR, luma bands whole,
//                                              luma bands, chroma bands whole, chroma bands
//   qzr_salvage_psnr cut IN OUT PERCENT        the first PERCENT % of IN's bytes
//   qzr_salvage_psnr flip IN OUT SEED          IN with the seed's bit flipped; prints the bit
//   qzr_salvage_psnr psnr A B                  PSNR of two pictures, each a .qzr file or a binary PPM
//
// PSNR in dB over every R, G and B byte; "inf" for identical pictures,
// "none" where no picture of the right size came out. The bit a seed flips
// is the first output of std::mt19937_64 seeded with it, modulo the file's
// bits: the same on every machine.
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "qzr/qzr.h"

namespace {

using Bytes = std::vector<uint8_t>;

[[noreturn]] void fail(const std::string& text) {
  std::fprintf(stderr, "qzr_salvage_psnr: %s\n", text.c_str());
  std::exit(1);
}

Bytes read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) fail("cannot read " + path);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, std::span<const uint8_t> bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) fail("cannot write " + path);
}

Bytes cut(const Bytes& file, int percent) {
  return Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() * size_t(percent) / 100));
}

uint64_t bit_of_seed(const Bytes& file, uint64_t seed) {
  std::mt19937_64 rng(seed);
  return rng() % (8 * uint64_t{file.size()});
}

Bytes flipped(Bytes file, uint64_t bit) {
  file[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
  return file;
}

// A binary PPM (P6, maximum 255), as djpeg -pnm writes it.
std::optional<qzr::Picture> read_ppm(const Bytes& bytes) {
  size_t i = 0;
  const auto field = [&]() -> long {
    while (i < bytes.size() && (std::isspace(bytes[i]) || bytes[i] == '#')) {
      if (bytes[i] == '#')
        while (i < bytes.size() && bytes[i] != '\n') ++i;
      else
        ++i;
    }
    long v = 0;
    if (i >= bytes.size() || !std::isdigit(bytes[i])) return -1;
    while (i < bytes.size() && std::isdigit(bytes[i]) && v < 1000000) v = 10 * v + (bytes[i++] - '0');
    return v;
  };
  if (bytes.size() < 2 || bytes[0] != 'P' || bytes[1] != '6') return std::nullopt;
  i = 2;
  const long w = field(), h = field(), max = field();
  ++i;  // the one white space byte after the maximum
  if (w <= 0 || h <= 0 || max != 255 || i + size_t(3 * w * h) > bytes.size()) return std::nullopt;
  return qzr::Picture{int(w), int(h), Bytes(bytes.begin() + long(i), bytes.begin() + long(i + 3 * w * h))};
}

std::optional<qzr::Picture> read_picture(const std::string& path) {
  const Bytes bytes = read_bytes(path);
  if (path.size() > 4 && path.substr(path.size() - 4) == ".qzr") {
    qzr::Result<qzr::Picture> p = qzr::decode_buffer(bytes);
    if (!p.ok()) return std::nullopt;
    return std::move(p.value());
  }
  return read_ppm(bytes);
}

std::string psnr(const qzr::Picture& a, const std::optional<qzr::Picture>& b) {
  if (!b || b->width != a.width || b->height != a.height || b->rgb.size() != a.rgb.size()) return "none";
  double squares = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) {
    const double d = double(a.rgb[i]) - double(b->rgb[i]);
    squares += d * d;
  }
  if (squares == 0) return "inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", 10 * std::log10(255.0 * 255.0 * double(a.rgb.size()) / squares));
  return text;
}

qzr::Result<qzr::Salvaged> salvaged(const Bytes& file) {
  qzr::DecodeOptions options;
  options.threads = 1;
  return qzr::salvage(file, options);
}

// The bands of the luma plane and of both chroma planes together that
// arrived whole in a salvage, or that a whole file has.
struct Bands {
  unsigned luma = 0, chroma = 0;
};

Bands bands_whole(const qzr_salvage_report& r) {
  return {r.planes[0].bands_whole, r.planes[1].bands_whole + r.planes[2].bands_whole};
}

// The salvaged picture's PSNR against the whole picture, and the bands that
// arrived whole against those of the whole file:
// "PSNR LUMA_WHOLE LUMA_BANDS CHROMA_WHOLE CHROMA_BANDS".
std::string salvage_line(const qzr::Picture& whole, Bands all, const Bytes& damaged) {
  qzr::Result<qzr::Salvaged> s = salvaged(damaged);
  const Bands got = s.ok() ? bands_whole(s.value().report) : Bands{};
  char counts[64];
  std::snprintf(counts, sizeof counts, " %u %u %u %u", got.luma, all.luma, got.chroma, all.chroma);
  return (s.ok() ? psnr(whole, s.value().picture) : "none") + counts;
}

long number(const char* text) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (*text == 0 || *end != 0 || v < 0) fail(std::string("not a whole number: ") + text);
  return v;
}

int percent_of(const char* text) {
  const long p = number(text);
  if (p > 100) fail(std::string("not a percentage: ") + text);
  return int(p);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if ((command == "cuts" || command == "flips") && argc >= 3) {
    const Bytes file = read_bytes(argv[2]);
    const qzr::Result<qzr::Picture> decoded = qzr::decode_buffer(file);
    const qzr::Result<qzr::Salvaged> whole = salvaged(file);
    if (file.empty() || !decoded.ok() || !whole.ok() || whole.value().damaged())
      fail(std::string(argv[2]) + " does not decode whole");
    const qzr::Picture& picture = decoded.value();
    const Bands all = bands_whole(whole.value().report);
    for (int i = 3; i < argc; ++i) {
      if (command == "cuts") {
        const Bytes part = cut(file, percent_of(argv[i]));
        std::printf("%s %zu %s\n", argv[i], part.size(), salvage_line(picture, all, part).c_str());
      } else {
        const uint64_t bit = bit_of_seed(file, uint64_t(number(argv[i])));
        std::printf("%s %llu %s\n", argv[i], static_cast<unsigned long long>(bit),
                    salvage_line(picture, all, flipped(file, bit)).c_str());
      }
    }
    return 0;
  }
  if (command == "cut" && argc == 5) {
    write_bytes(argv[3], cut(read_bytes(argv[2]), percent_of(argv[4])));
    return 0;
  }
  if (command == "flip" && argc == 5) {
    const Bytes file = read_bytes(argv[2]);
    if (file.empty()) fail(std::string(argv[2]) + " is empty");
    const uint64_t bit = bit_of_seed(file, uint64_t(number(argv[4])));
    write_bytes(argv[3], flipped(file, bit));
    std::printf("%llu\n", static_cast<unsigned long long>(bit));
    return 0;
  }
  if (command == "psnr" && argc == 4) {
    const std::optional<qzr::Picture> a = read_picture(argv[2]);
    if (!a) fail(std::string(argv[2]) + " is no picture");
    std::printf("%s\n", psnr(*a, read_picture(argv[3])).c_str());
    return 0;
  }
  std::fputs(
      "usage: qzr_salvage_psnr cuts FILE.qzr PERCENT... | flips FILE.qzr SEED... | cut IN OUT PERCENT |\n"
      "       flip IN OUT SEED | psnr A B\n",
      stderr);
  return 2;
}
