#include "driver/intermediate_guard.h"

#include <filesystem>

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

}  // namespace qzr
