// File names as text: escaped for JSON whatever their bytes, and folded to
// one letter case to tell which names a case-insensitive file system takes
// for the same.
#pragma once

#include <string>

namespace qzr::tool {

// `s` as a JSON string, quotes included. Valid UTF-8 passes through; control
// characters, quotes and backslashes are escaped; each byte that is not part
// of a valid UTF-8 sequence becomes \udc80 to \udcff (the byte plus 0xdc00,
// a lone low surrogate), so that a reader can have the exact bytes back
// (Python: json.loads(...).encode("utf-8", "surrogateescape")).
std::string json_string(const std::string& s);

// `s` with its letters in lower case: ASCII always, and the other letters
// of its valid UTF-8 sequences on Windows and where the C.UTF-8 locale is
// installed. Other bytes are kept as they are.
std::string fold_case(const std::string& s);

}  // namespace qzr::tool
