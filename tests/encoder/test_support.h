// Shared helpers of the encoder tests: decoding a .qzr file in memory through
// the decoder's own stages, picture comparison and test pictures.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/failure.h"
#include "encoder/encoder.h"

namespace qzr::enc::testing {

// The decoder's whole in-memory pipeline: the visible picture, rows top to
// bottom.
Expected<Image> decode_qzr(std::span<const uint8_t> file);

// A picture file (BMP, PNG, PPM) read by qzrenc's own input code.
Expected<Image> read_picture_file(const std::string& path);

// Peak signal-to-noise ratio over all three colours, in dB; 99 for equal
// pictures.
double psnr(const Image& a, const Image& b);

// A deterministic photograph-like picture: smooth shading, edges, fine
// texture and noise.
Image synthetic_photo(int width, int height, uint32_t seed = 1);
Image flat_image(int width, int height, uint8_t r, uint8_t g, uint8_t b);

// The public-domain sample photograph kept in samples/, or an empty picture
// when this build has no PNG support.
Image sample_photo();

}  // namespace qzr::enc::testing
