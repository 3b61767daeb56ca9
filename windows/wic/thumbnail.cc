// The Explorer thumbnail provider: IInitializeWithStream hands it the file,
// IThumbnailProvider::GetThumbnail decodes the picture and averages it down
// to a 32-bit top-down DIB section that fits a square of cx pixels.
#include <windows.h>
#include <propsys.h>
#include <thumbcache.h>
#include <wrl/client.h>

#include <algorithm>
#include <new>
#include <vector>

#include "module.h"
#include "picture.h"
#include "scale.h"

using Microsoft::WRL::ComPtr;

namespace qzr_wic {
namespace {

class ThumbnailProvider : public ComObject<ThumbnailProvider, IThumbnailProvider, IInitializeWithStream> {
 public:
  void* find(REFIID riid) {
    if (riid == __uuidof(IThumbnailProvider)) return static_cast<IThumbnailProvider*>(this);
    if (riid == __uuidof(IInitializeWithStream)) return static_cast<IInitializeWithStream*>(this);
    return nullptr;
  }

  STDMETHODIMP Initialize(IStream* stream, DWORD) override {
    if (stream == nullptr) return E_INVALIDARG;
    if (stream_ != nullptr) return HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED);
    stream_ = stream;
    return S_OK;
  }

  STDMETHODIMP GetThumbnail(UINT cx, HBITMAP* bitmap, WTS_ALPHATYPE* alpha) override {
    if (bitmap == nullptr || alpha == nullptr || cx == 0) return E_INVALIDARG;
    *bitmap = nullptr;
    *alpha = WTSAT_UNKNOWN;
    if (stream_ == nullptr) return E_UNEXPECTED;
    qzr_info info{};
    std::vector<uint8_t> bgr;
    HRESULT hr = read_picture(stream_.Get(), &info, &bgr);
    if (FAILED(hr)) return hr;
    // The longer side becomes cx; a picture that already fits keeps its size.
    const UINT longer = std::max(info.width, info.height);
    const UINT side = std::min(cx, longer);
    const UINT width = std::max<UINT>(1, static_cast<UINT>(uint64_t{info.width} * side / longer));
    const UINT height = std::max<UINT>(1, static_cast<UINT>(uint64_t{info.height} * side / longer));
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = static_cast<LONG>(width);
    bmi.bmiHeader.biHeight = -static_cast<LONG>(height);  // top-down
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP made = CreateDIBSection(nullptr, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (made == nullptr || bits == nullptr) {
      if (made != nullptr) DeleteObject(made);
      return E_OUTOFMEMORY;
    }
    if (!area_average_bgra(bgr.data(), info.width, info.height, static_cast<uint8_t*>(bits), width, height)) {
      DeleteObject(made);
      return E_OUTOFMEMORY;
    }
    *bitmap = made;
    *alpha = WTSAT_RGB;
    return S_OK;
  }

 private:
  ComPtr<IStream> stream_;
};

}  // namespace

HRESULT create_thumbnail_provider(REFIID riid, void** out) { return ThumbnailProvider::create(riid, out); }

}  // namespace qzr_wic
