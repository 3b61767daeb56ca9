// qzrenc: encodes a BMP, PNG or PPM picture into a QZR file: reads the
// picture, hands it to the library's encode and writes what comes back.
//
// Messages go to standard error; a failure exits with status 1 (2 for a bad
// command line) and leaves no output file: the file is written under a
// temporary name beside the output and renamed only once it is complete.
// An output that exists is replaced only with --force, and never when it
// is the input itself.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include "image_io.h"
#include "qzr/qzr.h"

#ifndef QZRENC_VERSION
#define QZRENC_VERSION "unknown"
#endif

namespace {

using namespace qzr;

constexpr const char* kUsage =
    "Usage: qzrenc [options] INPUT OUTPUT.qzr\n"
    "Encodes a picture (24-bit BMP, PNG or binary PPM) into a QZR wavelet image.\n"
    "\n"
    "Options:\n"
    "  -q, --quality N   quality 1 (smallest file) to 100 (best picture); default 75\n"
    "  -b, --bpp X       aim for X bits per pixel: the best quality whose file is\n"
    "                    no larger (overrides --quality)\n"
    "  -l, --levels N    wavelet levels 1 to 8; default 5\n"
    "      --force       replace OUTPUT if it exists (never the input itself)\n"
    "  -h, --help        show this text\n"
    "  -V, --version     show the version\n"
    "  --                end of options\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "qzrenc: %s\nTry 'qzrenc --help'.\n", message.c_str());
  return 2;
}

int failure(const std::string& message) {
  std::fprintf(stderr, "qzrenc: %s", message.c_str());
  if (message.empty() || message.back() != '\n') std::fputc('\n', stderr);
  return 1;
}

bool parse_int(const char* s, int& out) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0' || v < -1000000 || v > 1000000) return false;
  out = static_cast<int>(v);
  return true;
}

bool parse_double(const char* s, double& out) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s, &end);
  if (errno != 0 || end == s || *end != '\0' || !std::isfinite(v)) return false;
  out = v;
  return true;
}

// Creates a file that does not exist yet, for writing; null when the name
// is taken. (The Windows C runtime ignores the "x" of fopen and would
// overwrite the file.)
std::FILE* create_new_file(const std::string& path) {
#ifdef _WIN32
  const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) _close(fd);
  return f;
#else
  return std::fopen(path.c_str(), "wbx");
#endif
}

std::string exists_text(const std::string& path) { return path + ": exists; not replaced (--force replaces it)"; }

// Puts the complete temporary file in the output's place: over it with
// `replace`, otherwise only while no file has that name (even one made
// while the picture was being encoded).
bool move_into_place(const std::string& temp, const std::string& path, bool replace, std::string& error) {
  std::error_code ec, probe;
  const auto taken = [&] { return std::filesystem::exists(std::filesystem::symlink_status(path, probe)); };
  if (replace) {
    std::filesystem::rename(temp, path, ec);
  } else {
#ifdef _WIN32
    if (std::rename(temp.c_str(), path.c_str()) != 0) {  // never replaces; EACCES when the name is taken
      const int why = errno;
      ec.assign(taken() ? EEXIST : why, std::generic_category());
    }
#else
    // A second name for the file fails when the name is taken; then the
    // temporary one goes. File systems without hard links check, then rename.
    if (link(temp.c_str(), path.c_str()) == 0) {
      std::remove(temp.c_str());
    } else if (errno == EEXIST) {
      ec.assign(EEXIST, std::generic_category());
    } else if (taken()) {
      ec.assign(EEXIST, std::generic_category());
    } else {
      std::filesystem::rename(temp, path, ec);
    }
#endif
  }
  if (ec == std::errc::file_exists) {
    error = exists_text(path);
    return false;
  }
  if (ec) {
    error = path + ": cannot replace: " + ec.message();
    return false;
  }
  return true;
}

// Writes under a fresh temporary name in the output's directory, then moves
// it into the output's place; on any failure the temporary file is removed.
bool write_file_atomically(const std::string& path, const std::vector<uint8_t>& bytes, bool replace,
                           std::string& error) {
  std::string temp;
  std::FILE* f = nullptr;
  for (int n = 0; n < 1000 && f == nullptr; ++n) {
    temp = path + ".part" + std::to_string(n);
    f = create_new_file(temp);
    if (f == nullptr && errno != EEXIST) break;
  }
  if (f == nullptr) {
    error = path + ": cannot create: " + std::strerror(errno);
    return false;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && std::fflush(f) == 0;
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    error = path + ": write error: " + std::strerror(errno);
    std::remove(temp.c_str());
    return false;
  }
  if (!move_into_place(temp, path, replace, error)) {
    std::remove(temp.c_str());
    return false;
  }
  return true;
}

// Why the output may not be written, before any work: it is the input
// (by any name: a link, or another path to the same file), or it exists
// and `replace` is not given. Empty when it may.
std::string output_refused(const std::string& input, const std::string& output, bool replace) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(output, ec))) return {};
  if (fs::equivalent(input, output, ec)) return output + ": is the input file " + input + "; not written over";
  if (!replace) return exists_text(output);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  qzr::EncodeOptions options;
  bool force = false;
  std::string files[2];
  int nfiles = 0;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!options_done && arg.size() > 1 && arg[0] == '-') {
      if (arg == "--") {
        options_done = true;
        continue;
      }
      if (arg == "-h" || arg == "--help") {
        std::fputs(kUsage, stdout);
        return 0;
      }
      if (arg == "-V" || arg == "--version") {
        std::printf("qzrenc %s\n", QZRENC_VERSION);
        return 0;
      }
      if (arg == "--force") {
        force = true;
        continue;
      }
      // --name=value or --name value
      std::string name = arg, value;
      bool has_value = false;
      if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
        has_value = true;
      }
      const bool known =
          name == "-q" || name == "--quality" || name == "-b" || name == "--bpp" || name == "-l" || name == "--levels";
      if (!known) return usage_error("unknown option " + arg);
      if (!has_value) {
        if (i + 1 >= argc) return usage_error("option " + name + " needs a value");
        value = argv[++i];
      }
      if (name == "-q" || name == "--quality") {
        if (!parse_int(value.c_str(), options.quality) || options.quality < 1 || options.quality > 100)
          return usage_error("quality must be a whole number from 1 to 100, not '" + value + "'");
      } else if (name == "-b" || name == "--bpp") {
        if (!parse_double(value.c_str(), options.target_bpp) || options.target_bpp <= 0)
          return usage_error("bits per pixel must be a positive number, not '" + value + "'");
      } else {
        if (!parse_int(value.c_str(), options.levels) || options.levels < 1 || options.levels > qzr::kMaxEncodeLevels)
          return usage_error("levels must be a whole number from 1 to 8, not '" + value + "'");
      }
      continue;
    }
    if (nfiles == 2) return usage_error("too many file names");
    files[nfiles++] = arg;
  }
  if (nfiles < 2) return usage_error(nfiles == 0 ? "missing INPUT and OUTPUT" : "missing OUTPUT");

  if (const std::string refused = output_refused(files[0], files[1], force); !refused.empty()) return failure(refused);
  Result<Picture> image = enc::read_image_file(files[0]);
  if (!image.ok()) return failure(image.failure().text);
  Result<qzr::EncodedFile> encoded = qzr::encode(image.value(), options);
  if (!encoded.ok()) return failure(files[0] + ": " + encoded.failure().text);
  const qzr::EncodedFile& e = encoded.value();
  std::string error;
  if (!write_file_atomically(files[1], e.bytes, force, error)) return failure(error);
  if (!e.target_reached)
    std::fprintf(stderr, "qzrenc: warning: %.3f bits per pixel is below the smallest file this picture makes\n",
                 options.target_bpp);
  std::printf("%s: %d x %d, %zu bytes, %.3f bits per pixel, quality %.1f\n", files[1].c_str(), image.value().width,
              image.value().height, e.bytes.size(), e.bits_per_pixel, e.quality);
  return 0;
}
