// qzr: QZR wavelet images to RGB pictures and back, for C++ programs that
// hold them: a convenience beside the C API (qzr/decode.h, qzr/encode.h).
// C++20, standard library only; link qzr::qzr (CMake) or `qzr` (pkg-config).
//
// Nothing here prints, exits or touches a file other than the one it is
// given: a failure comes back as a value holding the exact text and exit
// status the qzrdec program would print and end with.
//
//   qzr::Result<qzr::Picture> p = qzr::decode_file("photo.qzr");
//   if (!p.ok()) { std::fputs(p.failure().text.c_str(), stderr); return 1; }
//   use(p.value().width, p.value().height, p.value().rgb);
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "qzr/decode.h"

namespace qzr {

// Why a call failed. `text` is the message exactly as qzrdec prints it, line
// feeds included (some begin with one). `exit_status` is what qzrdec ends
// with: -1 (a process status of 255) for format, file and usage failures,
// 1 when the payload is too short to hold its length. `status` is the kind
// of failure, as the C API reports it.
struct Failure {
  int exit_status = -1;
  std::string text;
  qzr_status status = QZR_ERROR_CORRUPT;
  // The text without the line feeds before and after it: what the C API's
  // message buffer gets, for programs that word failures their own way
  // (since 1.2).
  QZR_API std::string message() const;
};

// A value or a failure: ok(), value(), failure().
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure f) : v_(std::move(f)) {}    // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  Failure& failure() { return std::get<1>(v_); }
  const Failure& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

// An 8-bit RGB picture: `height` rows of `width` pixels, the top row first,
// each pixel three bytes R, G, B, no padding between rows, so that
// rgb.size() == 3 * width * height.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Decodes a whole QZR file held in memory. The expanded payload is kept in
// memory too (no temp.tmp): as long as the file's length word says, but
// never more than 1 MiB beyond what its input yields; the planes are bounded
// by the image size. A message that names the input file names it
// "(memory)".
QZR_API Result<Picture> decode_buffer(std::span<const uint8_t> file);

// Reads and decodes the QZR file at `path`; messages name it as given.
QZR_API Result<Picture> decode_file(const std::string& path);

// How decode and check treat a file held in memory (since 1.2).
struct DecodeOptions {
  // Pictures of more pixels and payloads announcing more bytes are refused
  // before memory is taken for them, as the C API's options do.
  uint64_t max_pixels = QZR_DEFAULT_MAX_PIXELS;
  uint64_t max_payload = QZR_DEFAULT_MAX_PAYLOAD;
  // 1: everything on the calling thread; more: the payload is expanded on a
  // thread of its own while the planes are read and synthesised beside it;
  // 0: as many threads as the machine has cores. The same picture either way.
  int threads = 0;
  std::string name = "(memory)";  // names the data in messages
};

// A picture and the signs of damage its decode passed over: a payload cut
// short or followed by bytes nothing reads, bytes around the plane streams,
// band groups out of order, ... (qzr_check lists them), each one line of
// text, the first found first. A file from a sound encoder shows none; the
// picture of one that does is the one qzrdec makes, but may not be the one
// its encoder made.
struct Decoded {
  Picture picture;
  std::vector<std::string> damage;
};

// Decodes a whole QZR file held in memory, with the options' limits and
// threads (since 1.2).
QZR_API Result<Decoded> decode(std::span<const uint8_t> file, const DecodeOptions& options = {});

// Audits a whole QZR file as qzr_check does, without making its picture:
// the signs of damage (empty for a sound file), or the decode's failure
// (since 1.2).
QZR_API Result<std::vector<std::string>> check(std::span<const uint8_t> file, const DecodeOptions& options = {});

// What survives of a damaged file (since 1.3): the picture, what each plane
// recovered, and the first failure met, one line (empty when the file
// decoded whole and the picture is decode's).
struct Salvaged {
  Picture picture;
  qzr_salvage_report report{};
  std::string failure;
  bool damaged() const { return !failure.empty(); }
};

// Shows what survives of a damaged file held in memory, as
// qzr_salvage_into does (see there), with the options' limits. Fails only
// where there is nothing to show: the header, the payload's length word, the
// limits, memory (since 1.3).
QZR_API Result<Salvaged> salvage(std::span<const uint8_t> file, const DecodeOptions& options = {});

// The 24-bit BMP file that qzrdec writes for this picture, byte for byte
// (rows bottom to top, B, G, R, each row padded to 4 bytes). Empty when the
// picture is inconsistent (rgb.size() is not 3 x width x height), too large
// for the BMP's 32-bit sizes, or memory runs out.
[[nodiscard]] QZR_API std::vector<uint8_t> to_bmp(const Picture& picture);

// The largest width and height a QZR file holds, and the most wavelet levels.
constexpr int kMaxPictureSide = 32512;
constexpr int kMaxEncodeLevels = 8;

struct EncodeOptions {
  int quality = 75;       // 1 (smallest file) .. 100 (best picture)
  double target_bpp = 0;  // > 0: the best quality whose file has at most this many bits per pixel
  int levels = 5;         // wavelet levels 1 .. kMaxEncodeLevels
};

struct EncodedFile {
  std::vector<uint8_t> bytes;  // the whole .qzr file
  double quality = 0;          // the quality used (the search's result when target_bpp was given)
  double bits_per_pixel = 0;   // file bits per pixel
  bool target_reached = true;  // false when even the lowest quality exceeds target_bpp
};

// Encodes a picture (1 .. kMaxPictureSide pixels each way) into a QZR file
// that qzrdec shows upright and in its colours. Failures (a bad picture or
// option, no memory) carry a one-line text and exit status -1.
QZR_API Result<EncodedFile> encode(const Picture& picture, const EncodeOptions& options = {});

}  // namespace qzr
