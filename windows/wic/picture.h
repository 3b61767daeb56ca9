// A QZR picture read from an IStream: the header first, the whole file and
// its pixels when they are wanted, every failure a WIC HRESULT.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <vector>

#include <qzr/decode.h>

namespace qzr_wic {

// The HRESULT a WIC program expects for the library's failure.
HRESULT hresult_of(qzr_status status);

// Reads and checks the header at the start of the stream (the library's
// default limits apply): *info on success. A picture of no pixels is
// refused (WINCODEC_ERR_BADHEADER): no WIC program can show one.
HRESULT read_header(IStream* stream, qzr_info* info);

// Reads the whole file from the start of the stream into *file, keeping no
// more than the decode can use of the payload the header announces.
HRESULT read_file(IStream* stream, const qzr_info& info, std::vector<uint8_t>* file);

// Decodes the file into *bgr: info.height rows of info.width pixels, three
// bytes B, G, R each, no padding. A file whose header no longer gives the
// size in info (the stream changed since) is WINCODEC_ERR_BADIMAGE.
HRESULT decode_bgr(const std::vector<uint8_t>& file, const qzr_info& info, std::vector<uint8_t>* bgr);

// read_header, read_file and decode_bgr in one.
HRESULT read_picture(IStream* stream, qzr_info* info, std::vector<uint8_t>* bgr);

}  // namespace qzr_wic
