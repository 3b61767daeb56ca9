// The WIC decoder: IWICBitmapDecoder over a QZR stream, and its one frame,
// IWICBitmapFrameDecode, in 24-bit BGR. Initialize reads the header alone,
// so that a program learns the size at once; the picture is decoded at the
// first CopyPixels and kept for the ones after it.
#include <windows.h>
#include <wincodec.h>
#include <wrl/client.h>

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "module.h"
#include "picture.h"

using Microsoft::WRL::ComPtr;

namespace qzr_wic {
namespace {

// What the decoder and its frames share: the stream, its header, and the
// pixels once decoded (or the decode's failure, given again to each call).
class Source {
 public:
  Source(ComPtr<IStream> stream, const qzr_info& info) : stream_(std::move(stream)), info_(info) {}
  const qzr_info& info() const { return info_; }

  // The picture's BGR rows, decoded on the first call.
  HRESULT pixels(const uint8_t** out) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!tried_) {
      tried_ = true;
      std::vector<uint8_t> file;
      result_ = read_file(stream_.Get(), info_, &file);
      if (SUCCEEDED(result_)) result_ = decode_bgr(file, info_, &bgr_);
      stream_.Reset();  // every byte needed is in hand
    }
    *out = bgr_.data();
    return result_;
  }

 private:
  std::mutex lock_;
  ComPtr<IStream> stream_;
  const qzr_info info_;
  bool tried_ = false;
  HRESULT result_ = E_FAIL;
  std::vector<uint8_t> bgr_;
};

// Copies the rectangle rc (nullptr: the whole picture) of a picture of
// width x height pixels of 3 bytes, rows without padding, into out with
// the given stride. The arguments are checked before pixels() is called.
template <class Pixels>
HRESULT copy_rectangle(UINT width, UINT height, const WICRect* rc, UINT stride, UINT size, BYTE* out,
                       Pixels pixels) {
  if (out == nullptr) return E_INVALIDARG;
  WICRect r{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
  if (rc != nullptr) r = *rc;
  if (r.X < 0 || r.Y < 0 || r.Width < 0 || r.Height < 0 || int64_t{r.X} + r.Width > int64_t{width} ||
      int64_t{r.Y} + r.Height > int64_t{height})
    return E_INVALIDARG;
  if (r.Width == 0 || r.Height == 0) return S_OK;
  const uint64_t row = 3 * uint64_t(r.Width);
  if (stride < row) return E_INVALIDARG;
  if (size < uint64_t{stride} * (r.Height - 1) + row) return WINCODEC_ERR_INSUFFICIENTBUFFER;
  const uint8_t* bgr = nullptr;
  const HRESULT hr = pixels(&bgr);
  if (FAILED(hr)) return hr;
  const size_t picture_stride = 3 * size_t{width};
  for (INT y = 0; y < r.Height; ++y)
    memcpy(out + size_t{stride} * y, bgr + picture_stride * (r.Y + y) + 3 * size_t(r.X), row);
  return S_OK;
}

class Frame : public ComObject<Frame, IWICBitmapFrameDecode> {
 public:
  explicit Frame(std::shared_ptr<Source> source) : source_(std::move(source)) {}

  void* find(REFIID riid) {
    if (riid == __uuidof(IWICBitmapSource) || riid == __uuidof(IWICBitmapFrameDecode))
      return static_cast<IWICBitmapFrameDecode*>(this);
    return nullptr;
  }

  STDMETHODIMP GetSize(UINT* width, UINT* height) override {
    if (width == nullptr || height == nullptr) return E_INVALIDARG;
    *width = source_->info().width;
    *height = source_->info().height;
    return S_OK;
  }
  STDMETHODIMP GetPixelFormat(WICPixelFormatGUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = GUID_WICPixelFormat24bppBGR;
    return S_OK;
  }
  STDMETHODIMP GetResolution(double* dpi_x, double* dpi_y) override {
    if (dpi_x == nullptr || dpi_y == nullptr) return E_INVALIDARG;
    *dpi_x = *dpi_y = 96.0;
    return S_OK;
  }
  STDMETHODIMP CopyPalette(IWICPalette*) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  STDMETHODIMP CopyPixels(const WICRect* rc, UINT stride, UINT size, BYTE* out) override {
    return copy_rectangle(source_->info().width, source_->info().height, rc, stride, size, out,
                          [this](const uint8_t** bgr) { return source_->pixels(bgr); });
  }
  STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    if (reader != nullptr) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  STDMETHODIMP GetColorContexts(UINT count, IWICColorContext**, UINT* actual) override {
    (void)count;
    if (actual == nullptr) return E_INVALIDARG;
    *actual = 0;  // no colour profile: the pictures are sRGB
    return S_OK;
  }
  STDMETHODIMP GetThumbnail(IWICBitmapSource** thumbnail) override {
    if (thumbnail != nullptr) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }

 private:
  std::shared_ptr<Source> source_;
};

class Decoder : public ComObject<Decoder, IWICBitmapDecoder> {
 public:
  void* find(REFIID riid) { return riid == __uuidof(IWICBitmapDecoder) ? static_cast<IWICBitmapDecoder*>(this) : nullptr; }

  STDMETHODIMP QueryCapability(IStream* stream, DWORD* capability) override {
    if (stream == nullptr || capability == nullptr) return E_INVALIDARG;
    // The stream is left where it was found.
    LARGE_INTEGER zero{};
    ULARGE_INTEGER at{};
    HRESULT hr = stream->Seek(zero, STREAM_SEEK_CUR, &at);
    if (FAILED(hr)) return hr;
    qzr_info info{};
    hr = read_header(stream, &info);
    LARGE_INTEGER back{};
    back.QuadPart = static_cast<LONGLONG>(at.QuadPart);
    const HRESULT seek = stream->Seek(back, STREAM_SEEK_SET, nullptr);
    *capability = SUCCEEDED(hr) ? WICBitmapDecoderCapabilityCanDecodeAllImages : 0;
    return seek;
  }
  STDMETHODIMP Initialize(IStream* stream, WICDecodeOptions) override {
    if (stream == nullptr) return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    if (source_ != nullptr) return WINCODEC_ERR_WRONGSTATE;
    qzr_info info{};
    const HRESULT hr = read_header(stream, &info);
    if (FAILED(hr)) return hr;
    try {
      source_ = std::make_shared<Source>(ComPtr<IStream>(stream), info);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
    return S_OK;
  }
  STDMETHODIMP GetContainerFormat(GUID* format) override {
    if (format == nullptr) return E_INVALIDARG;
    *format = kContainerFormat;
    return S_OK;
  }
  STDMETHODIMP GetDecoderInfo(IWICBitmapDecoderInfo** info) override {
    if (info == nullptr) return E_INVALIDARG;
    *info = nullptr;
    ComPtr<IWICImagingFactory> factory;
    HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
    if (FAILED(hr)) return hr;
    ComPtr<IWICComponentInfo> component;
    hr = factory->CreateComponentInfo(kDecoderClsid, &component);
    if (FAILED(hr)) return hr;
    return component->QueryInterface(IID_PPV_ARGS(info));
  }
  STDMETHODIMP CopyPalette(IWICPalette*) override { return WINCODEC_ERR_PALETTEUNAVAILABLE; }
  STDMETHODIMP GetMetadataQueryReader(IWICMetadataQueryReader** reader) override {
    if (reader != nullptr) *reader = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  STDMETHODIMP GetPreview(IWICBitmapSource** preview) override {
    if (preview != nullptr) *preview = nullptr;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  STDMETHODIMP GetColorContexts(UINT, IWICColorContext**, UINT* actual) override {
    if (actual != nullptr) *actual = 0;
    return WINCODEC_ERR_UNSUPPORTEDOPERATION;
  }
  STDMETHODIMP GetThumbnail(IWICBitmapSource** thumbnail) override {
    if (thumbnail != nullptr) *thumbnail = nullptr;
    return WINCODEC_ERR_CODECNOTHUMBNAIL;
  }
  STDMETHODIMP GetFrameCount(UINT* count) override {
    if (count == nullptr) return E_INVALIDARG;
    if (initialized() == nullptr) return WINCODEC_ERR_NOTINITIALIZED;
    *count = 1;
    return S_OK;
  }
  STDMETHODIMP GetFrame(UINT index, IWICBitmapFrameDecode** frame) override {
    if (frame == nullptr) return E_INVALIDARG;
    *frame = nullptr;
    std::shared_ptr<Source> source = initialized();
    if (source == nullptr) return WINCODEC_ERR_NOTINITIALIZED;
    if (index != 0) return WINCODEC_ERR_FRAMEMISSING;
    return Frame::create(__uuidof(IWICBitmapFrameDecode), reinterpret_cast<void**>(frame), std::move(source));
  }

 private:
  std::shared_ptr<Source> initialized() {
    std::lock_guard<std::mutex> hold(lock_);
    return source_;
  }

  std::mutex lock_;
  std::shared_ptr<Source> source_;
};

}  // namespace

HRESULT create_decoder(REFIID riid, void** out) { return Decoder::create(riid, out); }

}  // namespace qzr_wic
