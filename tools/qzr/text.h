// File names as text: folded to one letter case to tell which names a
// case-insensitive file system takes for the same.
#pragma once

#include <string>

namespace qzr::tool {

// `s` with its letters in lower case: ASCII always, and the other letters
// of its valid UTF-8 sequences where the C.UTF-8 locale is installed. Other
// bytes are kept as they are.
std::string fold_case(const std::string& s);

}  // namespace qzr::tool
