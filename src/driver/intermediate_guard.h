// Does a file name denote the intermediate file temp.tmp of the current
// directory? The same file counts, not the same spelling: ./temp.tmp, an
// absolute path, or a link to it.
#pragma once

#include <string>

namespace qzr {

constexpr const char* kIntermediateName = "temp.tmp";

bool names_intermediate_file(const std::string& name);

}  // namespace qzr
