// The C++ face of the encoder (qzr/qzr.h).
#include "encoder/encoder.h"
#include "qzr/qzr.h"

namespace qzr {

Result<EncodedFile> encode(const Picture& picture, const EncodeOptions& options) {
  enc::EncodeOptions o;
  o.quality = options.quality;
  o.target_bpp = options.target_bpp;
  o.levels = options.levels;
  Result<enc::Encoded> e = enc::encode_image_detailed(picture, o);
  if (!e.ok()) return e.failure();
  EncodedFile out;
  out.bytes = std::move(e.value().file);
  out.quality = e.value().quality;
  out.bits_per_pixel = e.value().bits_per_pixel;
  out.target_reached = e.value().target_reached;
  return out;
}

}  // namespace qzr
