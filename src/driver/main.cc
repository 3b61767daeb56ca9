// qzrdec: decodes one QZR file into a 24-bit BMP file. The only place that
// prints or ends the process; every stage reports its failures as values.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "codec/plane_decoder.h"
#include "common/byte_io.h"
#include "common/failure.h"
#include "container/container_header.h"
#include "container/lzari_decoder.h"
#include "driver/file_guards.h"
#include "driver/platform.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"

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

// The three planes from the intermediate file.
Status decode_planes(std::FILE* intermediate, const QzrHeader& h, Plane (&planes)[3]) {
  // Read from a view of the whole file where the system gives one (fast, no
  // copy), else through the stream. The view ends before the file is deleted.
  MappedFile view;
  ByteReader in = map_file(intermediate, view) ? memory_reader({view.data, view.size}) : file_reader(intermediate);
  return decode_three_planes(in, planes, plane_sample_limit(h));
}

// The run after the banner and the argument check; returns the exit status.
Status decode_file(const std::string& input_name, const std::string& output_name) {
  // Guard the intermediate file before anything is opened for writing: the
  // run would truncate an input of that name, or delete an output of it.
  if (names_intermediate_file(input_name))
    return format_failure(format_text(
        "error: input file %s is the intermediate file temp.tmp, which this run would overwrite !\n",
        input_name.c_str()));
  if (names_intermediate_file(output_name))
    return format_failure(format_text(
        "error: output file %s is the intermediate file temp.tmp, which this run deletes !\n",
        output_name.c_str()));

  File input(std::fopen(input_name.c_str(), "rb"));
  if (input.f == nullptr) return format_failure(format_text("error opening file %s !\n", input_name.c_str()));
  // Nor may the output replace a picture: the input itself, or another QZR
  // file, as in `qzrdec *.qzr`, whose second name would become the output.
  switch (output_clash(input_name, output_name)) {
    case OutputClash::input:
      return format_failure(format_text(
          "error: output file %s is the input file, which this run would overwrite !\n", output_name.c_str()));
    case OutputClash::picture:
      return format_failure(format_text(
          "error: output file %s holds a QZR picture, which this run would overwrite !\n", output_name.c_str()));
    case OutputClash::none:
      break;
  }
  IntermediateLock claim;
  File intermediate(create_intermediate(kIntermediateName, claim));
  if (intermediate.f == nullptr) return format_failure("error opening file temp.tmp !\n");

  ByteReader in = file_reader(input.f);
  Result<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  const QzrHeader h = header.value();
  say(format_size_line(h));

  const uint32_t start = tick_count_ms();
  {
    ByteWriter out = file_writer(intermediate.f, 1 << 18);
    Result<uint64_t> expanded = decode_lzari(in, out);
    if (!expanded.ok()) return expanded.failure();
    out.flush();
    input.close();
    if (!intermediate.close() || out.failed) return format_failure("\nerror writing file temp.tmp !\n");
  }

  Plane planes[3];
  {
    File reread(reopen_intermediate(claim));
    if (reread.f == nullptr) return format_failure("\nerror opening file temp.tmp !\n");
    if (Status decoded = decode_planes(reread.f, h, planes); !decoded.ok()) return decoded;
  }

  // The picture goes to the file row by row from the planes: the same bytes
  // as through a padded pixel buffer, without holding one.
  if (Status sizes = check_plane_sizes(planes[0], planes[1], planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes;

  if (Status written = write_bmp(output_name, planes, h.width, h.height, h.padded_width); !written.ok())
    return written.failure;
  std::remove(kIntermediateName);

  const uint32_t elapsed = tick_count_ms() - start;  // modulo 2^32
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
    status = decode_file(input_name, output_name);
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
