// qzr: converts, checks and describes whole archives of QZR pictures, over
// the library's in-memory decode (no temp.tmp), on several threads.
//
// Messages and the progress line go to standard error; `qzr info` and a
// picture written to `-o -` go to standard output. Exit status: 0 when
// nothing failed, 1 when a file failed, 2 for a usage error.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "archive.h"
#include "console.h"
#include "file_io.h"
#include "picture_files.h"
#include "qzr/decode.h"
#include "qzr/qzr.h"
#include "text.h"

#ifndef QZR_VERSION_TEXT
#define QZR_VERSION_TEXT "unknown"
#endif

namespace {

using namespace qzr;
using namespace qzr::tool;

// The pictures decoded at once, in pixels (a picture takes some 10 bytes a
// pixel while it is decoded and written): about 1 GiB whatever -j says.
constexpr uint64_t kPixelsInFlight = uint64_t{1} << 27;

// The pixels a file's header announces (0 when it has none): its share of
// the budget.
uint64_t announced_pixels(const std::vector<uint8_t>& file) {
  qzr_info info;
  return qzr_get_info(file.data(), file.size(), &info) == QZR_OK ? uint64_t{info.padded_width} * info.padded_height : 0;
}

// The signs of damage a decode passed over.
using DamageSigns = std::vector<std::string>;

// What a plane's salvage kept, in a few words.
std::string plane_recovery_text(const char* name, const qzr_plane_recovery& p) {
  std::string t = std::string(name) + " ";
  if (p.bands == 0) return t + "none";
  t += std::to_string(p.bands_whole) + "/" + std::to_string(p.bands) + " bands";
  if (p.bands_partial > 0) t += " +" + std::to_string(p.bands_partial) + " partial";
  if (p.neutral != 0) t += " (unusable)";
  return t;
}

// What a salvage kept of each plane: "Y 14/16 bands +1 partial, U none, V none".
std::string recovery_text(const qzr_salvage_report& r) {
  return plane_recovery_text("Y", r.planes[0]) + ", " + plane_recovery_text("U", r.planes[1]) + ", " +
         plane_recovery_text("V", r.planes[2]);
}

// The same as JSON: each plane's bands whole, partial and missing.
std::string recovery_json(const qzr_salvage_report& r) {
  std::string j = "{\"payload_bytes\": " + std::to_string(r.payload_length) +
                  ", \"payload_bytes_decided\": " + std::to_string(r.payload_decided) + ", \"planes\": [";
  for (int i = 0; i < 3; ++i) {
    const qzr_plane_recovery& p = r.planes[i];
    if (i > 0) j += ", ";
    j += "{\"bands\": " + std::to_string(p.bands) + ", \"whole\": " + std::to_string(p.bands_whole) +
         ", \"partial\": " + std::to_string(p.bands_partial) + ", \"missing\": " + std::to_string(p.bands_missing) +
         ", \"usable\": " + (p.neutral != 0 ? "false" : "true") + "}";
  }
  return j + "]}";
}

// The file's bytes in the format, or a failure's text in `error`. `damage`
// gets the signs of damage the decode passed over (the picture is the one
// qzrdec makes all the same). With `salvage_damaged` a file the decode fails
// on, or finds damaged, gives what survives of it, and `lost` says what was
// lost (empty when nothing was).
std::optional<std::vector<uint8_t>> converted(const Job& job, FileFormat format, int png_level, PixelBudget& budget,
                                              const DecodeOptions& options, bool salvage_damaged, std::string& error,
                                              DamageSigns& damage, std::string& lost) {
  std::error_code read_error;
  std::optional<std::vector<uint8_t>> file = read_whole_file(job.input, read_error);
  if (!file) {
    error = "cannot read: " + read_error.message();
    return std::nullopt;
  }
  const BudgetShare share(budget, announced_pixels(*file));
  DecodeOptions named = options;
  named.name = text_of(job.input);
  std::optional<Picture> picture;
  Result<Decoded> d = decode(*file, named);
  if (d.ok()) damage = std::move(d.value().damage);
  if (d.ok() && (damage.empty() || !salvage_damaged)) {
    picture = std::move(d.value().picture);
  } else if (salvage_damaged) {
    Result<Salvaged> s = salvage(*file, named);
    if (!s.ok()) {
      error = s.failure().message();
      return std::nullopt;
    }
    if (s.value().damaged()) lost = s.value().failure + "; kept " + recovery_text(s.value().report);
    picture = std::move(s.value().picture);
  } else {
    error = d.failure().message();
    return std::nullopt;
  }
  const Picture& p = *picture;
  std::vector<uint8_t> out = format == FileFormat::png   ? png_file(p, png_level)
                             : format == FileFormat::bmp ? to_bmp(p)
                                                         : ppm_file(p);
  if (out.empty()) error = "out of memory writing the picture";
  if (out.empty()) return std::nullopt;
  return out;
}

// Why an output was not written.
std::string write_failure(const fs::path& out, const WriteOutcome& w) {
  const std::string why = w.error.message();
  switch (w.step) {
    case WriteStep::directories: return "cannot create " + text_of(out.parent_path()) + ": " + why;
    case WriteStep::create: return "cannot create " + text_of(w.temporary) + ": " + why;
    case WriteStep::write: return "cannot write " + text_of(out) + ": " + why;
    default: return "cannot rename to " + text_of(out) + ": " + why;
  }
}

// The jobs the inputs name, with what could not be taken on standard error:
// those failures set `status` to 1 and are added to `failed` when given.
std::vector<Job> jobs_or_report(const std::vector<std::string>& inputs, bool recursive, int& status,
                                uint64_t* failed = nullptr) {
  Collection c = collect_jobs(inputs, recursive);
  for (const std::string& line : c.failures) print(stderr, "%s\n", line.c_str());
  for (const std::string& line : c.notes) print(stderr, "%s\n", line.c_str());
  if (!c.failures.empty()) status = 1;
  if (failed != nullptr) *failed += c.failures.size();
  return std::move(c.jobs);
}

// Pictures in parallel, one thread each, when there are several to share the
// threads; a picture alone takes them all (its expansion, reading and
// synthesis side by side).
// No limit on the size: the files are the user's own, the budget bounds the
// memory of pictures in flight.
DecodeOptions per_picture(size_t jobs, int threads) {
  DecodeOptions options;
  options.max_pixels = options.max_payload = UINT64_MAX;
  options.threads = jobs > 1 && threads > 1 ? 1 : threads;
  return options;
}

int default_threads() {
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : static_cast<int>(n);
}

int run_convert(const std::vector<std::string>& inputs, const std::string& out_dir, const std::string& format_name,
                int threads, bool recursive, bool force, int png_level, bool salvage_damaged) {
  const FileFormat format = format_name == "bmp"   ? FileFormat::bmp
                            : format_name == "ppm" ? FileFormat::ppm
                                                   : FileFormat::png;
  int status = 0;
  uint64_t failed_early = 0;
  std::vector<Job> jobs = jobs_or_report(inputs, recursive, status, &failed_early);
  PixelBudget budget(kPixelsInFlight);
  const DecodeOptions options = per_picture(jobs.size(), threads);
  if (out_dir == "-") {
    // A single input that cannot be read is a failed file, already named.
    if (jobs.empty() && status != 0 && inputs.size() == 1) return status;
    if (jobs.size() != 1 || inputs.size() != 1) {
      std::fputs("qzr convert: -o - takes exactly one input file\n", stderr);
      return 2;
    }
    std::string error, lost;
    DamageSigns damage;
    std::optional<std::vector<uint8_t>> bytes =
        converted(jobs[0], format, png_level, budget, options, salvage_damaged, error, damage, lost);
    if (!bytes) {
      print(stderr, "%s: %s\n", text_of(jobs[0].input).c_str(), error.c_str());
      return 1;
    }
    if (!lost.empty())
      print(stderr, "%s: salvaged: %s\n", text_of(jobs[0].input).c_str(), lost.c_str());
    else if (!damage.empty())
      print(stderr, "%s: warning: %s\n", text_of(jobs[0].input).c_str(), damage.front().c_str());
    set_binary(stdout);
    const bool ok = std::fwrite(bytes->data(), 1, bytes->size(), stdout) == bytes->size() && std::fflush(stdout) == 0;
    if (!ok) std::fputs("qzr convert: cannot write the standard output\n", stderr);
    return ok && lost.empty() ? status : 1;
  }
  std::optional<fs::path> dir;
  if (!out_dir.empty()) dir = path_from_text(out_dir);
  const auto output_of = [&](const Job& job) { return output_path(job, dir, qzr::tool::format_name(format)); };
  // Before anything is written: no two inputs may share an output.
  for (const std::string& line : take_out_clashes(jobs, output_of)) {
    print(stderr, "%s\n", line.c_str());
    ++failed_early;
  }
  install_cleanup_on_signals();
  const RunTotals t = run_jobs(jobs, threads, is_terminal(stderr), [&](const Job& job) -> FileResult {
    const fs::path out = output_of(job);
    std::error_code ec;
    if (!force && fs::exists(out, ec)) return {Outcome::skipped, {}};
    std::string error, lost;
    DamageSigns damage;
    std::optional<std::vector<uint8_t>> bytes =
        converted(job, format, png_level, budget, options, salvage_damaged, error, damage, lost);
    if (!bytes) return {Outcome::failed, error};
    // Without --force an output that appeared while this one was decoded
    // is kept, as one that was there before: the move never replaces it.
    const WriteOutcome w = write_file_whole(out, *bytes, {.replace = force, .create_directories = true});
    if (w.step == WriteStep::exists) return {Outcome::skipped, {}};
    if (!w.ok()) return {Outcome::failed, write_failure(out, w)};
    if (!lost.empty()) return {Outcome::salvaged, lost};
    if (!damage.empty()) return {Outcome::done, damage.front() + " (converted as qzrdec decodes it)"};
    return {Outcome::done, {}};
  });
  const uint64_t failed = t.failed + failed_early;
  std::fprintf(stderr, "%llu converted, ", static_cast<unsigned long long>(t.done));
  if (salvage_damaged) std::fprintf(stderr, "%llu salvaged, ", static_cast<unsigned long long>(t.salvaged));
  std::fprintf(stderr, "%llu skipped, %llu failed", static_cast<unsigned long long>(t.skipped),
               static_cast<unsigned long long>(failed));
  if (t.warned > 0)
    std::fprintf(stderr, " (%llu converted with a warning: damaged, see qzr check)",
                 static_cast<unsigned long long>(t.warned));
  std::fputs("\n", stderr);
  return failed + t.salvaged > 0 ? 1 : status;
}

// A decode failure's last line: what went wrong, without the size line
// qzrdec prints before some of them.
std::string last_line(const Failure& f) {
  const std::string t = f.message();
  const size_t cut = t.rfind('\n');
  return cut == std::string::npos ? t : t.substr(cut + 1);
}

// What `qzr check` found in one file.
enum class Verdict { ok, damaged, unreadable };
constexpr const char* kVerdictNames[] = {"ok", "damaged", "error"};

// FileResult's outcome carries the verdict: done for a sound file, failed
// for a damaged one, skipped for one that could not be read.
Verdict verdict_of(const FileResult& r) {
  return r.outcome == Outcome::done ? Verdict::ok : r.outcome == Outcome::failed ? Verdict::damaged : Verdict::unreadable;
}

int run_check(const std::vector<std::string>& inputs, int threads, bool recursive, bool quiet, bool json) {
  int status = 0;
  uint64_t counts[3] = {0, 0, 0};  // by verdict; missing inputs cannot be read
  const std::vector<Job> jobs = jobs_or_report(inputs, recursive, status, &counts[2]);
  PixelBudget budget(kPixelsInFlight);
  const DecodeOptions options = per_picture(jobs.size(), threads);
  // For each damaged file, what a salvage keeps of it.
  std::vector<std::string> salvage_text(jobs.size()), salvage_json(jobs.size());
  auto report = [&](const Job& job, const FileResult& r) {
    const Verdict v = verdict_of(r);
    ++counts[static_cast<int>(v)];
    if (quiet && v == Verdict::ok) return;
    const std::string name = text_of(job.input);
    const size_t i = static_cast<size_t>(&job - jobs.data());
    if (json) {
      std::string line =
          "{\"file\": " + json_string(name) + ", \"status\": \"" + kVerdictNames[static_cast<int>(v)] + "\"";
      if (v != Verdict::ok) line += ", \"reason\": " + json_string(r.message);
      if (!salvage_json[i].empty()) line += ", \"salvage\": " + salvage_json[i];
      write_text(stdout, line + "}\n");
    } else if (v == Verdict::ok) {
      print(stdout, "%s: ok\n", name.c_str());
    } else {
      const std::string kept = salvage_text[i].empty() ? "" : " (salvage keeps " + salvage_text[i] + ")";
      print(stdout, "%s: %s: %s%s\n", name.c_str(), kVerdictNames[static_cast<int>(v)], r.message.c_str(),
            kept.c_str());
    }
    std::fflush(stdout);
  };
  // The lines on standard output are the progress when it is a terminal.
  const bool progress = is_terminal(stderr) && !is_terminal(stdout);
  run_jobs(
      jobs, threads, progress,
      [&](const Job& job) -> FileResult {
        std::error_code error;
        std::optional<std::vector<uint8_t>> file = read_whole_file(job.input, error);
        if (!file) return {Outcome::skipped, "cannot read: " + error.message()};
        const BudgetShare share(budget, announced_pixels(*file));
        DecodeOptions named = options;
        named.name = text_of(job.input);
        Result<DamageSigns> damage = check(*file, named);
        if (!damage.ok() && damage.failure().status == QZR_ERROR_OUT_OF_MEMORY) return {Outcome::skipped, "out of memory"};
        if (damage.ok() && damage.value().empty()) return {Outcome::done, {}};
        // How much of it `qzr convert --salvage` would show.
        Result<Salvaged> s = salvage(*file, named);
        if (s.ok()) {
          const size_t i = static_cast<size_t>(&job - jobs.data());
          salvage_text[i] = s.value().damaged() ? recovery_text(s.value().report) : "nothing lost";
          salvage_json[i] = recovery_json(s.value().report);
        }
        return {Outcome::failed, damage.ok() ? damage.value().front() : last_line(damage.failure())};
      },
      report);
  std::fprintf(stderr, "%llu good, %llu damaged", static_cast<unsigned long long>(counts[0]),
               static_cast<unsigned long long>(counts[1]));
  if (counts[2] > 0) std::fprintf(stderr, ", %llu not read", static_cast<unsigned long long>(counts[2]));
  std::fputs("\n", stderr);
  return counts[1] + counts[2] > 0 ? 1 : status;
}

int run_info(const std::vector<std::string>& inputs, bool recursive, bool json) {
  int status = 0;
  // Files as named (one that is missing or no QZR file gets its line), the
  // .qzr files of folders.
  std::vector<std::string> files;
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (!fs::is_directory(path_from_text(input), ec)) {
      files.push_back(input);
      continue;
    }
    for (const Job& job : jobs_or_report({input}, recursive, status)) files.push_back(text_of(job.input));
  }
  for (const std::string& name : files) {
    std::error_code ec;
    const fs::path path = path_from_text(name);
    const uintmax_t size = fs::file_size(path, ec);
    uint8_t head[36] = {};
    size_t got = 0;
    if (std::FILE* f = ec ? nullptr : open_to_read(path)) {
      got = std::fread(head, 1, sizeof head, f);
      std::fclose(f);
    } else {
      ec = ec ? ec : std::make_error_code(std::errc::no_such_file_or_directory);
    }
    qzr_info info;
    const qzr_status s = ec ? QZR_ERROR_IO : qzr_get_info(head, got, &info);
    if (s != QZR_OK) {
      status = 1;
      const std::string why = ec ? ec.message() : qzr_status_string(s);
      if (json)
        print(stdout, "{\"file\": %s, \"error\": %s}\n", json_string(name).c_str(), json_string(why).c_str());
      else
        print(stderr, "%s: %s\n", name.c_str(), why.c_str());
      continue;
    }
    const double pixels = static_cast<double>(info.width) * info.height;
    const double bpp = pixels > 0 ? 8.0 * static_cast<double>(size) / pixels : 0;
    if (json)
      print(stdout,
            "{\"file\": %s, \"width\": %u, \"height\": %u, \"padded_width\": %u, \"padded_height\": %u, "
            "\"payload_bytes\": %u, \"file_bytes\": %ju, \"bits_per_pixel\": %.4f}\n",
            json_string(name).c_str(), info.width, info.height, info.padded_width, info.padded_height,
            info.payload_length, size, bpp);
    else
      print(stdout, "%s: %u x %u (padded %u x %u), payload %u bytes, %.3f bits per pixel\n", name.c_str(), info.width,
            info.height, info.padded_width, info.padded_height, info.payload_length, bpp);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qzr: converts, checks and describes archives of QZR wavelet pictures", "qzr"};
  // Names that begin with / are files, on Windows too (CLI11 would take
  // them for options there).
  app.allow_windows_style_options(false);
  app.set_version_flag("-V,--version", "qzr " QZR_VERSION_TEXT);
  app.require_subcommand(1);

  std::vector<std::string> inputs;
  std::string out_dir, format = "png";
  int threads = default_threads(), png_level = 1;
  bool recursive = false, force = false, json = false, quiet = false, salvage_damaged = false;

  CLI::App* convert = app.add_subcommand("convert", "decodes QZR files into PNG, BMP or PPM pictures");
  convert->add_option("INPUT", inputs, "QZR files, or directories of them")->required();
  convert
      ->add_option("-o,--output", out_dir,
                   "write under DIR, at each file's path below the directory given (default: beside "
                   "the input); - writes one picture to standard output")
      ->type_name("DIR");
  convert->add_option("-f,--format", format, "png (default), bmp (the file qzrdec writes) or ppm, in any case")
      ->transform(CLI::IsMember({"png", "bmp", "ppm"}, CLI::ignore_case));
  convert->add_option("-j,--jobs", threads, "files decoded at once (default: the number of cores)")
      ->check(CLI::Range(1, 1024));
  convert->add_flag("-r,--recursive", recursive, "take the .qzr files of directories and all their subdirectories");
  convert->add_flag("--force", force, "rewrite outputs that exist (default: skip them)");
  convert->add_option("--png-level", png_level, "zlib compression level of PNG files, 0 to 9 (default 1: fast)")
      ->check(CLI::Range(0, 9));
  convert->add_flag("--salvage", salvage_damaged,
                    "write what survives of damaged files (cut short or broken): a line each says what was lost, "
                    "and the status is 1");

  CLI::App* check = app.add_subcommand(
      "check", "audits QZR files: decodes each fully and looks for damage; one line per file, ok or damaged");
  check->add_option("INPUT", inputs, "QZR files, or directories of them")->required();
  check->add_option("-j,--jobs", threads, "files decoded at once (default: the number of cores)")
      ->check(CLI::Range(1, 1024));
  check->add_flag("-r,--recursive", recursive, "take the .qzr files of directories and all their subdirectories");
  check->add_flag("-q,--quiet", quiet, "list the damaged files alone");
  check->add_flag("--json", json,
                  "one JSON object per line: file, status (ok, damaged, error), reason, and for a damaged file "
                  "what --salvage keeps");

  CLI::App* info = app.add_subcommand("info", "describes QZR files from their headers");
  info->add_option("INPUT", inputs, "QZR files, or directories of them")->required();
  info->add_flag("-r,--recursive", recursive, "take the .qzr files of directories and all their subdirectories");
  info->add_flag("--json", json, "one JSON object per line (names not in UTF-8: bytes as \\udc80-\\udcff)");

  const std::vector<std::string> arguments = utf8_arguments(argc, argv);
  std::vector<const char*> pointers;
  for (const std::string& a : arguments) pointers.push_back(a.c_str());
  try {
    app.parse(static_cast<int>(pointers.size()), pointers.data());
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  // A directory is taken whole or not at all.
  for (const std::string& input : inputs) {
    std::error_code ec;
    if (!recursive && fs::is_directory(path_from_text(input), ec)) {
      print(stderr, "qzr %s: %s is a folder: add -r to take the .qzr files in it and below it\n",
            app.get_subcommands().front()->get_name().c_str(), input.c_str());
      return 2;
    }
  }
  if (*convert) return run_convert(inputs, out_dir, format, threads, recursive, force, png_level, salvage_damaged);
  if (*check) return run_check(inputs, threads, recursive, quiet, json);
  return run_info(inputs, recursive, json);
}
