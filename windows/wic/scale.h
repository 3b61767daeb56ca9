// Downscaling by area averaging (a box filter of fractional extent): each
// output pixel is the mean of the source area it covers.
#pragma once

#include <cstdint>

namespace qzr_wic {

// Scales a picture of width x height BGR pixels (rows without padding) to
// out_width x out_height BGRA pixels of alpha 255 (rows of 4 x out_width
// bytes), neither larger than the source. False when memory runs out.
bool area_average_bgra(const uint8_t* bgr, uint32_t width, uint32_t height, uint8_t* bgra, uint32_t out_width,
                       uint32_t out_height);

}  // namespace qzr_wic
