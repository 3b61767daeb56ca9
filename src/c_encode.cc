// The C encode API (qzr/encode.h) over the encoder. Every failure is a
// status; no exception crosses the boundary.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "common/failure.h"
#include "encoder/encoder.h"
#include "face.h"
#include "qzr/encode.h"

using namespace qzr;

static_assert(enc::kMaxDimension == QZR_MAX_PICTURE_SIDE && enc::kMaxEncodeLevels == QZR_MAX_LEVELS);

extern "C" {

void qzr_encode_options_init(qzr_encode_options* options) {
  if (options == nullptr) return;
  const EncodeOptions defaults;
  *options = qzr_encode_options{defaults.quality, defaults.target_bpp, defaults.levels};
}

qzr_status qzr_encode(const uint8_t* rgb, uint32_t width, uint32_t height, size_t stride,
                      const qzr_encode_options* options, uint8_t** output, size_t* output_size) {
  if (output != nullptr) *output = nullptr;
  if (output_size != nullptr) *output_size = 0;
  if (rgb == nullptr || output == nullptr || output_size == nullptr || width < 1 || height < 1 ||
      width > QZR_MAX_PICTURE_SIDE || height > QZR_MAX_PICTURE_SIDE || stride < size_t{3} * width)
    return QZR_ERROR_ARGUMENT;
  qzr_encode_options c;
  qzr_encode_options_init(&c);
  if (options != nullptr) c = *options;
  try {
    RgbImage picture{static_cast<int>(width), static_cast<int>(height), {}};
    picture.rgb.resize(size_t{3} * width * height);
    for (uint32_t r = 0; r < height; ++r)
      std::memcpy(picture.rgb.data() + size_t{3} * width * r, rgb + stride * r, size_t{3} * width);
    enc::EncodeOptions o;
    o.quality = c.quality;
    o.target_bpp = c.target_bpp;
    o.levels = c.levels;
    Expected<enc::Encoded> e = enc::encode_image_detailed(picture, o);
    if (!e.ok()) return status_of(e.failure().kind);
    const std::vector<uint8_t>& file = e.value().file;
    auto* bytes = static_cast<uint8_t*>(std::malloc(file.size()));
    if (bytes == nullptr) return QZR_ERROR_OUT_OF_MEMORY;
    std::memcpy(bytes, file.data(), file.size());
    *output = bytes;
    *output_size = file.size();
    return QZR_OK;
  } catch (const std::bad_alloc&) {
    return QZR_ERROR_OUT_OF_MEMORY;
  }
}

void qzr_free(void* memory) { std::free(memory); }

}  // extern "C"
