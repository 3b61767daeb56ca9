// The C++ face of the encoder (qzr/qzr.h).
#include "encoder/encoder.h"
#include "face.h"
#include "qzr/qzr.h"

namespace qzr {

static_assert(enc::kMaxDimension == kMaxPictureSide && enc::kMaxEncodeLevels == kMaxEncodeLevels);

Result<EncodedFile> encode(const Picture& picture, const EncodeOptions& options) {
  enc::EncodeOptions o;
  o.quality = options.quality;
  o.target_bpp = options.target_bpp;
  o.levels = options.levels;
  Expected<enc::Encoded> e = enc::encode_image_detailed({picture.width, picture.height, picture.rgb}, o);
  if (!e.ok()) return public_failure(std::move(e.failure()));
  EncodedFile out;
  out.bytes = std::move(e.value().file);
  out.quality = e.value().quality;
  out.bits_per_pixel = e.value().bits_per_pixel;
  out.target_reached = e.value().target_reached;
  return out;
}

}  // namespace qzr
