#include "picture.h"

#include <wincodec.h>

#include <algorithm>
#include <new>

namespace qzr_wic {

HRESULT hresult_of(qzr_status status) {
  switch (status) {
    case QZR_OK: return S_OK;
    case QZR_ERROR_TRUNCATED: return WINCODEC_ERR_BADHEADER;
    case QZR_ERROR_NOT_QZR: return WINCODEC_ERR_UNKNOWNIMAGEFORMAT;
    case QZR_ERROR_UNSUPPORTED_VERSION: return WINCODEC_ERR_UNSUPPORTEDVERSION;
    case QZR_ERROR_CORRUPT:
    case QZR_ERROR_DAMAGED: return WINCODEC_ERR_BADIMAGE;
    case QZR_ERROR_LIMIT:
    case QZR_ERROR_OUT_OF_MEMORY: return E_OUTOFMEMORY;
    case QZR_ERROR_ARGUMENT: return E_INVALIDARG;
    default: return E_FAIL;
  }
}

namespace {

HRESULT rewind(IStream* stream) {
  if (stream == nullptr) return E_INVALIDARG;
  LARGE_INTEGER zero{};
  return stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// Reads up to `size` bytes, fewer only where the stream ends: *got says how
// many. A stream that fails is WINCODEC_ERR_STREAMREAD unless it says more.
HRESULT read_fully(IStream* stream, uint8_t* to, ULONG size, ULONG* got) {
  *got = 0;
  while (*got < size) {
    ULONG n = 0;
    const HRESULT hr = stream->Read(to + *got, size - *got, &n);
    if (FAILED(hr)) return hr == E_FAIL ? WINCODEC_ERR_STREAMREAD : hr;
    if (n == 0 || n > size - *got) break;  // the end (S_FALSE), or a stream that claims too much
    *got += n;
  }
  return S_OK;
}

}  // namespace

HRESULT read_header(IStream* stream, qzr_info* info) {
  HRESULT hr = rewind(stream);
  if (FAILED(hr)) return hr;
  uint8_t header[QZR_INFO_SIZE];
  ULONG got = 0;
  hr = read_fully(stream, header, sizeof header, &got);
  if (FAILED(hr)) return hr;
  qzr_info read{};
  const qzr_status s = qzr_read_info(header, got, nullptr, &read);
  if (s != QZR_OK) return hresult_of(s);
  if (read.width == 0 || read.height == 0) return WINCODEC_ERR_BADHEADER;
  *info = read;
  return S_OK;
}

HRESULT read_file(IStream* stream, const qzr_info& info, std::vector<uint8_t>* file) {
  // The coded payload never takes twice the bytes of the payload it
  // expands to: bytes past that (something appended to the file) are never
  // read by the decode, and are not kept. The payload's limit bounds this.
  const uint64_t keep = QZR_INFO_SIZE + 2 * uint64_t{info.payload_length} + 65536;
  HRESULT hr = rewind(stream);
  if (FAILED(hr)) return hr;
  STATSTG stat{};
  uint64_t expected = 0;
  if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME))) expected = stat.cbSize.QuadPart;
  try {
    file->clear();
    file->reserve(static_cast<size_t>(std::min(expected, keep)));
    constexpr uint64_t kChunk = uint64_t{1} << 20;
    while (file->size() < keep) {
      const size_t at = file->size();
      const ULONG want = static_cast<ULONG>(std::min(kChunk, keep - at));
      file->resize(at + want);
      ULONG got = 0;
      hr = read_fully(stream, file->data() + at, want, &got);
      file->resize(at + got);
      if (FAILED(hr)) return hr;
      if (got < want) break;
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT decode_bgr(const std::vector<uint8_t>& file, const qzr_info& info, std::vector<uint8_t>* bgr) {
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  o.format = QZR_PIXEL_BGR;
  qzr_info now{};
  qzr_status s = qzr_read_info(file.data(), file.size(), &o, &now);
  if (s != QZR_OK) return hresult_of(s);
  if (now.width != info.width || now.height != info.height) return WINCODEC_ERR_BADIMAGE;
  const size_t stride = 3 * size_t{info.width};
  try {
    bgr->assign(stride * info.height, 0);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  s = qzr_decode_into(file.data(), file.size(), &o, bgr->data(), stride, bgr->size());
  if (s != QZR_OK) {
    std::vector<uint8_t>().swap(*bgr);
    return hresult_of(s);
  }
  return S_OK;
}

HRESULT read_picture(IStream* stream, qzr_info* info, std::vector<uint8_t>* bgr) {
  HRESULT hr = read_header(stream, info);
  if (FAILED(hr)) return hr;
  std::vector<uint8_t> file;
  hr = read_file(stream, *info, &file);
  return SUCCEEDED(hr) ? decode_bgr(file, *info, bgr) : hr;
}

}  // namespace qzr_wic
