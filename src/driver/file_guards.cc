#include "driver/file_guards.h"

#include <array>
#include <filesystem>
#include <fstream>

#include "container/container_header.h"

namespace qzr {
namespace fs = std::filesystem;

namespace {

// Follows links of the last component (also dangling ones) to the path they
// end at, with the directories resolved as far as they exist.
fs::path resolve(fs::path p) {
  std::error_code ec;
  p = fs::absolute(p, ec);
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return fs::weakly_canonical(p, ec);
}

}  // namespace

bool names_intermediate_file(const std::string& name) {
  std::error_code ec;
  const fs::path intermediate = fs::current_path(ec) / kIntermediateName;
  if (ec) return false;
  if (fs::exists(name, ec) && fs::exists(intermediate, ec)) return fs::equivalent(name, intermediate, ec);
  return resolve(name) == resolve(intermediate);
}

OutputClash output_clash(const std::string& input_name, const std::string& output_name) {
  std::error_code ec;
  if (!fs::exists(output_name, ec)) return OutputClash::none;
  if (fs::equivalent(input_name, output_name, ec)) return OutputClash::input;
  if (!fs::is_regular_file(output_name, ec)) return OutputClash::none;
  std::array<uint8_t, kMagic.size()> first{};
  std::ifstream f(output_name, std::ios::binary);
  f.read(reinterpret_cast<char*>(first.data()), first.size());
  return f.gcount() == static_cast<std::streamsize>(first.size()) && first == kMagic ? OutputClash::picture
                                                                                     : OutputClash::none;
}

}  // namespace qzr
