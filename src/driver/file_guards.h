// Guards of the files a run writes: the intermediate file temp.tmp of the
// current directory, and an output name that would overwrite a picture.
#pragma once

#include <string>

namespace qzr {

constexpr const char* kIntermediateName = "temp.tmp";

// Does a file name denote the intermediate file? The same file counts, not
// the same spelling: ./temp.tmp, an absolute path, or a link to it.
bool names_intermediate_file(const std::string& name);

// What an existing output file is that the run must not overwrite.
enum class OutputClash {
  none,     // absent, or a file that may be replaced (a BMP, any other)
  input,    // the input file itself, by any name or link
  picture,  // a QZR file: its first bytes are the container's magic
};

// Looks at the output before anything is written. A FIFO or device is not
// opened, so the look never blocks.
OutputClash output_clash(const std::string& input_name, const std::string& output_name);

}  // namespace qzr
