// qzrdec: decodes one QZR file into a 24-bit BMP file. The only place that
// prints or ends the process; every stage reports its failures as values.
#include <cstdio>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "common/byte_io.h"
#include "common/failure.h"
#include "container/container_header.h"
#include "decode.h"
#include "driver/file_guards.h"
#include "driver/platform.h"
#include "output/bmp_writer.h"

namespace {

using namespace qzr;

constexpr const char* kBanner = "\nQuorlen Wavelet Image decompressor version 1.1b   08.99\n\n";
constexpr const char* kUsage = "Usage:\nqzrdec.exe infile.qzr [outfile.bmp]\n";
constexpr const char* kPrompt = "\nPress any key to continue...\n";

// Every message is shown at once: the size line has no line end and must be
// visible while the decode runs.
void say(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

// Owns a stdio stream; the destructor closes what a failure path leaves open.
struct File {
  std::FILE* f = nullptr;
  explicit File(std::FILE* file) : f(file) {}
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() {
    if (f != nullptr) std::fclose(f);
  }
  bool close() {
    std::FILE* g = f;
    f = nullptr;
    return close_checked(g);
  }
};

// Creates the output file, lets `fill` write it, and checks every write and
// the close. A truncated picture must not be left looking like a good one,
// so a failed write removes what was written of a plain file (a device such
// as /dev/full is left alone).
template <class Fill>
Status write_output_file(const std::string& output_name, Fill&& fill) {
  File output(std::fopen(output_name.c_str(), "wb"));
  if (output.f == nullptr)
    return format_failure(format_text("\nerror opening output file %s !\n", output_name.c_str()));
  // The writer buffers; the stream's own buffer would only split its
  // writes in two.
  std::setvbuf(output.f, nullptr, _IONBF, 0);
  ByteWriter out = file_writer(output.f, 1 << 18);
  fill(out);
  out.flush();
  const bool closed = output.close();
  if (out.failed || !closed) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(output_name, ec)))
      std::filesystem::remove(output_name, ec);
    return format_failure(format_text("\nerror writing output file %s !\n", output_name.c_str()));
  }
  return Status::success();
}

// A payload beyond what the pipeline holds in memory goes to temp.tmp alone;
// the planes are read back from it, through a view of the whole file where
// the system gives one (fast, no copy), else through the stream. The view
// and the stream end with the planes, before the file is deleted.
Expected<DecodedPlanes> expand_and_reread(ByteReader& in, const FileStart& start, File& input, File& intermediate,
                                          const IntermediateLock& claim) {
  ByteWriter out = file_writer(intermediate.f, 1 << 18);
  Expected<Expansion> expansion = expand_payload(in, start, out);
  if (!expansion.ok()) return expansion.failure();
  input.close();
  if (!intermediate.close() || out.failed) return format_failure("\nerror writing file temp.tmp !\n");
  File reread(reopen_intermediate(claim));
  if (reread.f == nullptr) return format_failure("\nerror opening file temp.tmp !\n");
  MappedFile view;
  ByteReader payload = map_file(reread.f, view) ? memory_reader({view.data, view.size}) : file_reader(reread.f);
  return read_payload_planes(payload, start, expansion.value(), {});
}

// The run after the banner and the argument check; returns the exit status.
Status run_decode(const std::string& input_name, const std::string& output_name) {
  // Guard the intermediate file before anything is opened for writing: the
  // run would truncate an input of that name, or delete an output of it.
  if (names_intermediate_file(input_name))
    return format_failure(
        format_text("error: input file %s is the intermediate file temp.tmp, which this run would overwrite !\n",
                    input_name.c_str()));
  if (names_intermediate_file(output_name))
    return format_failure(format_text(
        "error: output file %s is the intermediate file temp.tmp, which this run deletes !\n", output_name.c_str()));

  File input(std::fopen(input_name.c_str(), "rb"));
  if (input.f == nullptr) return format_failure(format_text("error opening file %s !\n", input_name.c_str()));
  // Nor may the output replace a picture: the input itself, or another QZR
  // file, as in `qzrdec *.qzr`, whose second name would become the output.
  switch (output_clash(input_name, output_name)) {
    case OutputClash::input:
      return format_failure(format_text("error: output file %s is the input file, which this run would overwrite !\n",
                                        output_name.c_str()));
    case OutputClash::picture:
      return format_failure(format_text("error: output file %s holds a QZR picture, which this run would overwrite !\n",
                                        output_name.c_str()));
    case OutputClash::none: break;
  }
  IntermediateLock claim;
  File intermediate(create_intermediate(kIntermediateName, claim));
  if (intermediate.f == nullptr) return format_failure("error opening file temp.tmp !\n");

  ByteReader in = file_reader(input.f);
  Expected<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  say(format_size_line(header.value()));
  const uint32_t tick = tick_count_ms();
  Expected<FileStart> start = read_file_start(in, header.value(), {});
  if (!start.ok()) return start.failure();

  Expected<DecodedPlanes> decoded = payload_held_in_memory(start.value().payload_length)
                                        ? decode_payload(in, start.value(), {}, {intermediate.f, kIntermediateName})
                                        : expand_and_reread(in, start.value(), input, intermediate, claim);
  // temp.tmp is written in full before anything the planes meet counts.
  input.close();
  if (!intermediate.close()) return format_failure("\nerror writing file temp.tmp !\n");
  if (!decoded.ok()) return decoded.failure();

  // The picture goes to the file row by row from the planes: the same bytes
  // as through a padded pixel buffer, without holding one.
  const QzrHeader& h = decoded.value().header;
  if (Status written = write_output_file(output_name,
                                         [&](ByteWriter& out) {
                                           write_bmp_from_planes(out, decoded.value().planes, h.width, h.height,
                                                                 h.padded_width, decode_threads({}));
                                         });
      !written.ok())
    return written.failure;
  std::remove(kIntermediateName);

  const uint32_t elapsed = tick_count_ms() - tick;  // modulo 2^32
  say(format_text(" total decompress time: %d ms\n", static_cast<int32_t>(elapsed)));
  return Status::success();
}

}  // namespace

int main(int argc, char** argv) {
  say(kBanner);
  if (argc < 2) {
    say(kUsage);
    say(kPrompt);
    wait_for_key();
    return -1;
  }
  const std::string input_name = argv[1];
  const std::string output_name = argc >= 3 ? std::string(argv[2]) : input_name + ".bmp";
  Status status;
  try {
    status = run_decode(input_name, output_name);
  } catch (const std::bad_alloc&) {
    status = format_failure("\nOut of memory !\n");
  }
  if (!status.ok()) {
    say(status.failure.text);
    return status.failure.exit_status;
  }
  say(kPrompt);
  wait_for_key();
  return 0;
}
