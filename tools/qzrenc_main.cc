// qzrenc: encodes a BMP, PNG or PPM picture into a QZR file: reads the
// picture, hands it to the library's encode and writes what comes back.
//
// Messages go to standard error; a failure exits with status 1 (2 for a bad
// command line) and leaves no output file: the file is written under a
// temporary name beside the output and renamed only once it is complete.
// An output that exists is replaced only with --force, and never when it
// is the input itself.
#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "console.h"
#include "file_io.h"
#include "image_io.h"
#include "qzr/qzr.h"

#ifndef QZRENC_VERSION
#define QZRENC_VERSION "unknown"
#endif

namespace {

using namespace qzr;

int failure(const std::string& message) {
  tool::print(stderr, "qzrenc: %s", message.c_str());
  if (message.empty() || message.back() != '\n') std::fputc('\n', stderr);
  return 1;
}

// The options' values: a whole number (in decimal) from `low` to `high`,
// or a positive number; for any other the words after "--option: ". A
// whole number that passes is left as the number it reads as.
CLI::Validator whole_number(int low, int high) {
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        int v = 0;
        const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (ec == std::errc() && end == value.data() + value.size() && v >= low && v <= high) {
          value = std::to_string(v);
          return {};
        }
        return "a whole number from " + std::to_string(low) + " to " + std::to_string(high) + ", not '" + value + "'";
      },
      std::to_string(low) + "-" + std::to_string(high));
}

CLI::Validator positive_number() {
  return CLI::Validator(
      [=](std::string& value) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        if (!value.empty() && *end == '\0' && std::isfinite(v) && v > 0) return {};
        return "a positive number, not '" + value + "'";
      },
      "> 0");
}

std::string exists_text(const std::string& path) { return path + ": exists; not replaced (--force replaces it)"; }

// Why an output was not written.
std::string write_failure(const std::string& path, const tool::WriteOutcome& w) {
  const std::string why = w.error.message();
  switch (w.step) {
    case tool::WriteStep::exists: return exists_text(path);
    case tool::WriteStep::write: return path + ": write error: " + why;
    case tool::WriteStep::move: return path + ": cannot replace: " + why;
    default: return path + ": cannot create: " + why;
  }
}

// Why the output may not be written, before any work: it is the input
// (by any name: a link, or another path to the same file), or it exists
// and `replace` is not given. Empty when it may.
std::string output_refused(const std::string& input, const std::string& output, bool replace) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path out = tool::path_from_text(output);
  if (!fs::exists(fs::symlink_status(out, ec))) return {};
  if (fs::equivalent(tool::path_from_text(input), out, ec))
    return output + ": is the input file " + input + "; not written over";
  if (!replace) return exists_text(output);
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  qzr::EncodeOptions options;
  bool force = false;
  std::string input, output;

  CLI::App app{"Encodes a picture (24-bit BMP, PNG or binary PPM) into a QZR wavelet image.", "qzrenc"};
  app.set_version_flag("-V,--version", "qzrenc " QZRENC_VERSION, "show the version");
  app.set_help_flag("-h,--help", "show this text");
  app.add_option("-q,--quality", options.quality, "quality 1 (smallest file) to 100 (best picture); default 75")
      ->type_name("N")
      ->transform(whole_number(1, 100));
  app.add_option("-b,--bpp", options.target_bpp,
                 "aim for X bits per pixel: the best quality whose file is no larger (overrides --quality)")
      ->type_name("X")
      ->check(positive_number());
  app.add_option("-l,--levels", options.levels, "wavelet levels 1 to 8; default 5")
      ->type_name("N")
      ->transform(whole_number(1, qzr::kMaxEncodeLevels));
  app.add_flag("--force", force, "replace OUTPUT if it exists (never the input itself)");
  app.add_option("INPUT", input, "the picture")->required()->type_name("");
  app.add_option("OUTPUT", output, "the QZR file to write")->required()->type_name("");
  // Names that begin with / are files, on Windows too (CLI11 would take
  // them for options there).
  app.allow_windows_style_options(false);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "qzrenc: " + std::string(e.what()) + "\nTry 'qzrenc --help'.\n";
  });
  const std::vector<std::string> arguments = tool::utf8_arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& a : arguments) pointers.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  if (const std::string refused = output_refused(input, output, force); !refused.empty()) return failure(refused);
  Result<Picture> image = enc::read_image_file(input);
  if (!image.ok()) return failure(image.failure().text);
  Result<qzr::EncodedFile> encoded = qzr::encode(image.value(), options);
  if (!encoded.ok()) return failure(input + ": " + encoded.failure().text);
  const qzr::EncodedFile& e = encoded.value();
  if (const tool::WriteOutcome w = tool::write_file_whole(tool::path_from_text(output), e.bytes, {.replace = force});
      !w.ok())
    return failure(write_failure(output, w));
  if (!e.target_reached)
    std::fprintf(stderr, "qzrenc: warning: %.3f bits per pixel is below the smallest file this picture makes\n",
                 options.target_bpp);
  tool::print(stdout, "%s: %d x %d, %zu bytes, %.3f bits per pixel, quality %.1f\n", output.c_str(),
              image.value().width, image.value().height, e.bytes.size(), e.bits_per_pixel, e.quality);
  return 0;
}
