/* Opens QZR files through WIC as any Windows program does, and through the
 * thumbnail provider as Explorer does; writes what it gets as binary PPM
 * files for the test driver (scripts/windows-wic-test.sh) to compare.
 *
 *   wic_test decode OUTDIR FILE...    OUTDIR/N.24.ppm (the frame, 24bpp BGR)
 *                                     and OUTDIR/N.32.ppm (through WIC's
 *                                     converter to 32bpp BGRA) for file N
 *   wic_test thumb OUTDIR CX FILE...  OUTDIR/N.thumb.ppm, the thumbnail
 *   wic_test object FILE              the decoder object's states, and WIC
 *                                     on a stream in memory
 *
 * A FILE of the form @LIST names a file listing the files, one a line (a
 * Windows command line holds no more than 32767 characters).
 *
 * One line a file: "ok N WIDTH HEIGHT", "fail N 0xHRESULT STEP" (WIC
 * refused the file), or "bad N WHY" (WIC gave something wrong), then
 * "done". Exit status 0 when every file is ok, 1 when some failed, 2 when
 * something was wrong. */
#define COBJMACROS
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <initguid.h>
#include <propsys.h>
#include <shlwapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <thumbcache.h>
#include <wincodec.h>

DEFINE_GUID(QZR_CONTAINER, 0x37724e0f, 0x37a8, 0x4bf5, 0x98, 0xf6, 0xfc, 0xc9, 0x3c, 0xeb, 0x5d, 0xa5);
DEFINE_GUID(QZR_DECODER, 0xed6dd63d, 0x67ff, 0x45f4, 0xa1, 0x01, 0x6a, 0x84, 0xe5, 0xea, 0xf2, 0x96);
DEFINE_GUID(QZR_THUMBNAIL_PROVIDER, 0x4a6be845, 0xd446, 0x46ff, 0x85, 0x6c, 0xfc, 0xb1, 0x87, 0xfb, 0xa6, 0x76);
DEFINE_GUID(QZR_IID_IThumbnailProvider, 0xe357fccd, 0xa995, 0x4576, 0xb0, 0x1f, 0x23, 0x46, 0x30, 0x15, 0x4e, 0x96);

static int failed, wrong;

static void fail(int n, HRESULT hr, const char* step) {
  printf("fail %d 0x%08lx %s\n", n, (unsigned long)hr, step);
  failed = 1;
}

static void bad(int n, const char* why) {
  printf("bad %d %s\n", n, why);
  wrong = 1;
}

static WCHAR* wide(const char* s) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, NULL, 0);
  WCHAR* w = malloc(sizeof(WCHAR) * (n > 0 ? n : 1));
  if (w == NULL) abort();
  if (MultiByteToWideChar(CP_UTF8, 0, s, -1, w, n) <= 0) w[0] = 0;
  return w;
}

/* Writes width x height pixels of `size` bytes B, G, R, ... as a PPM. */
static int write_ppm(const char* dir, int n, const char* kind, const BYTE* px, UINT width, UINT height, UINT stride,
                     UINT size) {
  char path[MAX_PATH];
  snprintf(path, sizeof path, "%s/%d.%s.ppm", dir, n, kind);
  FILE* f = fopen(path, "wb");
  if (f == NULL) return 0;
  fprintf(f, "P6\n%u %u\n255\n", width, height);
  for (UINT y = 0; y < height; ++y)
    for (UINT x = 0; x < width; ++x) {
      const BYTE* p = px + (size_t)y * stride + (size_t)x * size;
      const BYTE rgb[3] = {p[2], p[1], p[0]};
      fwrite(rgb, 1, 3, f);
    }
  return fclose(f) == 0;
}

/* CopyPixels of sub-rectangles with odd strides against the whole picture,
 * and the refusals of bad rectangles and buffers. */
static const char* check_rectangles(IWICBitmapFrameDecode* frame, const BYTE* whole, UINT w, UINT h) {
  const WICRect rects[] = {{0, 0, 1, 1},
                           {(INT)w - 1, (INT)h - 1, 1, 1},
                           {(INT)w / 3, (INT)h / 4, (INT)(w - w / 3), (INT)(h / 2 + 1 > h - h / 4 ? h - h / 4 : h / 2 + 1)},
                           {0, (INT)h / 2, (INT)w, (INT)(h - h / 2)},
                           {(INT)w / 2, 0, (INT)(w - w / 2), (INT)h}};
  for (size_t i = 0; i < sizeof rects / sizeof *rects; ++i) {
    const WICRect r = rects[i];
    if (r.Width <= 0 || r.Height <= 0) continue;
    const UINT row = 3 * (UINT)r.Width, stride = row + 1 + 2 * (UINT)i, size = stride * (UINT)(r.Height - 1) + row;
    BYTE* buf = malloc(size + 16);
    if (buf == NULL) return "no memory";
    memset(buf, 0xA5, size + 16);
    HRESULT hr = IWICBitmapFrameDecode_CopyPixels(frame, &r, stride, size, buf);
    const char* why = NULL;
    if (FAILED(hr)) why = "a sub-rectangle failed";
    for (INT y = 0; !why && y < r.Height; ++y) {
      if (memcmp(buf + (size_t)y * stride, whole + ((size_t)(r.Y + y) * w + r.X) * 3, row) != 0)
        why = "a sub-rectangle differs from the whole";
      const BYTE* gap = buf + (size_t)y * stride + row;
      for (UINT g = 0; !why && y + 1 < r.Height && g < stride - row; ++g)
        if (gap[g] != 0xA5) why = "CopyPixels wrote between the rows";
    }
    for (UINT g = 0; !why && g < 16; ++g)
      if (buf[size + g] != 0xA5) why = "CopyPixels wrote past the buffer";
    if (!why && IWICBitmapFrameDecode_CopyPixels(frame, &r, stride, size - 1, buf) != WINCODEC_ERR_INSUFFICIENTBUFFER)
      why = "a short buffer is not WINCODEC_ERR_INSUFFICIENTBUFFER";
    if (!why && IWICBitmapFrameDecode_CopyPixels(frame, &r, row - 1, size + 16, buf) != E_INVALIDARG)
      why = "a short stride is not E_INVALIDARG";
    free(buf);
    if (why) return why;
  }
  BYTE b[64];
  const WICRect outside[] = {{(INT)w, 0, 1, 1}, {0, (INT)h, 1, 1}, {-1, 0, 1, 1}, {0, 0, (INT)w + 1, 1}, {0, 0, 1, -1}};
  for (size_t i = 0; i < sizeof outside / sizeof *outside; ++i)
    if (IWICBitmapFrameDecode_CopyPixels(frame, &outside[i], 3, sizeof b, b) != E_INVALIDARG)
      return "a rectangle outside the picture is not E_INVALIDARG";
  if (IWICBitmapFrameDecode_CopyPixels(frame, NULL, 3 * w, 3 * w * h, NULL) != E_INVALIDARG)
    return "a null buffer is not E_INVALIDARG";
  return NULL;
}

static void decode_one(IWICImagingFactory* factory, const char* dir, int n, const char* path) {
  IWICBitmapDecoder* decoder = NULL;
  IWICBitmapFrameDecode* frame = NULL;
  IWICFormatConverter* converter = NULL;
  IWICBitmapDecoderInfo* info = NULL;
  BYTE *bgr = NULL, *bgra = NULL;
  WCHAR* name = wide(path);
  HRESULT hr = IWICImagingFactory_CreateDecoderFromFilename(factory, name, NULL, GENERIC_READ,
                                                           WICDecodeMetadataCacheOnDemand, &decoder);
  free(name);
  if (FAILED(hr)) {
    fail(n, hr, "CreateDecoderFromFilename");
    return;
  }
  GUID container;
  UINT count = 0, w = 0, h = 0;
  WICPixelFormatGUID format;
  WCHAR friendly[64] = {0};
  UINT friendly_size = 0;
  if (FAILED(IWICBitmapDecoder_GetContainerFormat(decoder, &container)) || !IsEqualGUID(&container, &QZR_CONTAINER)) {
    bad(n, "another decoder took the file");
  } else if (FAILED(IWICBitmapDecoder_GetDecoderInfo(decoder, &info)) ||
             FAILED(IWICBitmapDecoderInfo_GetFriendlyName(info, 64, friendly, &friendly_size)) ||
             wcscmp(friendly, L"QZR Decoder") != 0) {
    bad(n, "GetDecoderInfo does not name the QZR decoder");
  } else if (FAILED(hr = IWICBitmapDecoder_GetFrameCount(decoder, &count)) || count != 1) {
    bad(n, "the frame count is not 1");
  } else if (SUCCEEDED(IWICBitmapDecoder_GetFrame(decoder, 1, &frame))) {
    bad(n, "GetFrame(1) succeeds");
  } else if (FAILED(hr = IWICBitmapDecoder_GetFrame(decoder, 0, &frame))) {
    fail(n, hr, "GetFrame");
  } else if (FAILED(hr = IWICBitmapFrameDecode_GetSize(frame, &w, &h))) {
    fail(n, hr, "GetSize");
  } else if (FAILED(IWICBitmapFrameDecode_GetPixelFormat(frame, &format)) ||
             !IsEqualGUID(&format, &GUID_WICPixelFormat24bppBGR)) {
    bad(n, "the pixel format is not 24bppBGR");
  } else if ((bgr = malloc((size_t)3 * w * h)) == NULL || (bgra = malloc((size_t)4 * w * h)) == NULL) {
    bad(n, "no memory");
  } else if (FAILED(hr = IWICBitmapFrameDecode_CopyPixels(frame, NULL, 3 * w, 3 * w * h, bgr))) {
    fail(n, hr, "CopyPixels");
  } else {
    const char* why = check_rectangles(frame, bgr, w, h);
    if (why == NULL && FAILED(hr = IWICImagingFactory_CreateFormatConverter(factory, &converter))) why = "no converter";
    if (why == NULL &&
        FAILED(hr = IWICFormatConverter_Initialize(converter, (IWICBitmapSource*)frame, &GUID_WICPixelFormat32bppBGRA,
                                                   WICBitmapDitherTypeNone, NULL, 0.0, WICBitmapPaletteTypeCustom)))
      why = "the converter to 32bppBGRA refuses the frame";
    if (why == NULL && FAILED(hr = IWICFormatConverter_CopyPixels(converter, NULL, 4 * w, 4 * w * h, bgra)))
      why = "the converter's CopyPixels failed";
    for (size_t i = 0; why == NULL && i < (size_t)w * h; ++i)
      if (bgra[4 * i + 3] != 255) why = "the converter gives an alpha other than 255";
    if (why != NULL) {
      bad(n, why);
    } else if (!write_ppm(dir, n, "24", bgr, w, h, 3 * w, 3) || !write_ppm(dir, n, "32", bgra, w, h, 4 * w, 4)) {
      bad(n, "cannot write the PPM");
    } else {
      printf("ok %d %u %u\n", n, w, h);
    }
  }
  free(bgr);
  free(bgra);
  if (info) IWICBitmapDecoderInfo_Release(info);
  if (converter) IWICFormatConverter_Release(converter);
  if (frame) IWICBitmapFrameDecode_Release(frame);
  IWICBitmapDecoder_Release(decoder);
}

static void thumbnail_one(const char* dir, UINT cx, int n, const char* path) {
  IInitializeWithStream* init = NULL;
  IThumbnailProvider* provider = NULL;
  IStream* stream = NULL;
  HBITMAP bitmap = NULL;
  WTS_ALPHATYPE alpha = WTSAT_UNKNOWN;
  DIBSECTION ds;
  WCHAR* name = wide(path);
  HRESULT hr = CoCreateInstance(&QZR_THUMBNAIL_PROVIDER, NULL, CLSCTX_INPROC_SERVER, &IID_IInitializeWithStream,
                                (void**)&init);
  if (FAILED(hr)) {
    fail(n, hr, "CoCreateInstance");
  } else if (FAILED(hr = SHCreateStreamOnFileEx(name, STGM_READ | STGM_SHARE_DENY_WRITE, 0, FALSE, NULL, &stream))) {
    fail(n, hr, "SHCreateStreamOnFileEx");
  } else if (FAILED(hr = IInitializeWithStream_Initialize(init, stream, STGM_READ))) {
    fail(n, hr, "Initialize");
  } else if (SUCCEEDED(IInitializeWithStream_Initialize(init, stream, STGM_READ))) {
    bad(n, "a second Initialize succeeds");
  } else if (FAILED(hr = IInitializeWithStream_QueryInterface(init, &QZR_IID_IThumbnailProvider, (void**)&provider))) {
    bad(n, "no IThumbnailProvider");
  } else if (FAILED(hr = IThumbnailProvider_GetThumbnail(provider, cx, &bitmap, &alpha))) {
    fail(n, hr, "GetThumbnail");
  } else if (GetObjectW(bitmap, sizeof ds, &ds) != sizeof ds || ds.dsBm.bmBits == NULL) {
    bad(n, "the thumbnail is not a DIB section");
  } else if (ds.dsBmih.biBitCount != 32 || alpha != WTSAT_RGB) {
    /* GetObject tells no top-down DIB from a bottom-up one; the driver
     * compares the picture, which shows a flip. */
    bad(n, "the thumbnail is not 32-bit RGB");
  } else {
    const UINT w = (UINT)ds.dsBm.bmWidth, h = (UINT)ds.dsBm.bmHeight;
    if (!write_ppm(dir, n, "thumb", ds.dsBm.bmBits, w, h, 4 * w, 4))
      bad(n, "cannot write the PPM");
    else
      printf("ok %d %u %u\n", n, w, h);
  }
  free(name);
  if (bitmap) DeleteObject(bitmap);
  if (provider) IThumbnailProvider_Release(provider);
  if (stream) IStream_Release(stream);
  if (init) IInitializeWithStream_Release(init);
}

/* The decoder created by its class, as WIC creates it: the calls before and
 * after Initialize, QueryCapability leaving the stream where it was; then
 * WIC's factory on the file in a memory stream. */
static const char* check_object(IWICImagingFactory* factory, const char* path) {
  static BYTE file[1 << 20];
  FILE* f = fopen(path, "rb");
  const size_t size = f ? fread(file, 1, sizeof file, f) : 0;
  if (f) fclose(f);
  IStream* stream = SHCreateMemStream(file, (UINT)size);
  IWICBitmapDecoder* decoder = NULL;
  IWICBitmapFrameDecode* frame = NULL;
  const char* why = NULL;
  UINT count = 0, w = 0, h = 0;
  DWORD capability = 0;
  LARGE_INTEGER five = {.QuadPart = 5};
  ULARGE_INTEGER at = {.QuadPart = 0};
  if (size == 0 || stream == NULL) return "cannot read the file";
  if (FAILED(CoCreateInstance(&QZR_DECODER, NULL, CLSCTX_INPROC_SERVER, &IID_IWICBitmapDecoder, (void**)&decoder)))
    why = "CoCreateInstance of the decoder failed";
  else if (IWICBitmapDecoder_GetFrameCount(decoder, &count) != WINCODEC_ERR_NOTINITIALIZED ||
           IWICBitmapDecoder_GetFrame(decoder, 0, &frame) != WINCODEC_ERR_NOTINITIALIZED)
    why = "a decoder not initialized is not WINCODEC_ERR_NOTINITIALIZED";
  else if (FAILED(IStream_Seek(stream, five, STREAM_SEEK_SET, NULL)) ||
           FAILED(IWICBitmapDecoder_QueryCapability(decoder, stream, &capability)) ||
           capability != WICBitmapDecoderCapabilityCanDecodeAllImages)
    why = "QueryCapability does not take the file";
  else if (FAILED(IStream_Seek(stream, (LARGE_INTEGER){0}, STREAM_SEEK_CUR, &at)) || at.QuadPart != 5)
    why = "QueryCapability moves the stream";
  else if (FAILED(IWICBitmapDecoder_Initialize(decoder, stream, WICDecodeMetadataCacheOnLoad)))
    why = "Initialize fails";
  else if (IWICBitmapDecoder_Initialize(decoder, stream, WICDecodeMetadataCacheOnLoad) != WINCODEC_ERR_WRONGSTATE)
    why = "a second Initialize is not WINCODEC_ERR_WRONGSTATE";
  else if (IWICBitmapDecoder_GetFrame(decoder, 1, &frame) != WINCODEC_ERR_FRAMEMISSING)
    why = "GetFrame(1) is not WINCODEC_ERR_FRAMEMISSING";
  if (decoder) IWICBitmapDecoder_Release(decoder);
  decoder = NULL;
  if (why == NULL && (FAILED(IWICImagingFactory_CreateDecoderFromStream(factory, stream, NULL,
                                                                         WICDecodeMetadataCacheOnDemand, &decoder)) ||
                      FAILED(IWICBitmapDecoder_GetFrame(decoder, 0, &frame)) ||
                      FAILED(IWICBitmapFrameDecode_GetSize(frame, &w, &h)) || w == 0 || h == 0))
    why = "CreateDecoderFromStream on a memory stream fails";
  if (frame) IWICBitmapFrameDecode_Release(frame);
  if (decoder) IWICBitmapDecoder_Release(decoder);
  IStream_Release(stream);
  return why;
}

/* Runs one(N, PATH) on each file the arguments name, numbering them from 0. */
static void each_file(int argc, char** argv, void (*one)(int, const char*)) {
  int n = 0;
  for (int i = 0; i < argc; ++i) {
    if (argv[i][0] != '@') {
      one(n++, argv[i]);
      continue;
    }
    FILE* list = fopen(argv[i] + 1, "r");
    if (list == NULL) {
      printf("cannot read %s\n", argv[i] + 1);
      wrong = 1;
      continue;
    }
    char line[4096];
    while (fgets(line, sizeof line, list) != NULL) {
      line[strcspn(line, "\r\n")] = 0;
      if (line[0] != 0) one(n++, line);
    }
    fclose(list);
  }
}

static IWICImagingFactory* g_factory;
static const char* g_dir;
static UINT g_cx;
static void decode_next(int n, const char* path) { decode_one(g_factory, g_dir, n, path); }
static void thumbnail_next(int n, const char* path) { thumbnail_one(g_dir, g_cx, n, path); }

int main(int argc, char** argv) {
  const int thumbs = argc > 1 && strcmp(argv[1], "thumb") == 0;
  const int object = argc == 3 && strcmp(argv[1], "object") == 0;
  const int first = thumbs ? 4 : 3;
  if (!object && (argc < first || (!thumbs && strcmp(argv[1], "decode") != 0))) {
    fprintf(stderr, "usage: wic_test decode OUTDIR FILE... | wic_test thumb OUTDIR CX FILE... | wic_test object FILE\n");
    return 2;
  }
  setvbuf(stdout, NULL, _IONBF, 0); /* every line out before a crash could lose it */
  HRESULT hr = CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) {
    printf("CoInitializeEx failed: 0x%08lx\n", (unsigned long)hr);
    return 2;
  }
  if (!thumbs && FAILED(hr = CoCreateInstance(&CLSID_WICImagingFactory, NULL, CLSCTX_INPROC_SERVER,
                                              &IID_IWICImagingFactory, (void**)&g_factory))) {
    printf("no WIC imaging factory: 0x%08lx\n", (unsigned long)hr);
    return 2;
  }
  if (object) {
    const char* why = check_object(g_factory, argv[2]);
    if (why != NULL) bad(0, why);
    else printf("ok 0\n");
  }
  g_dir = argv[2];
  g_cx = thumbs ? (UINT)atoi(argv[3]) : 0;
  if (!object) each_file(argc - first, argv + first, thumbs ? thumbnail_next : decode_next);
  if (g_factory) IWICImagingFactory_Release(g_factory);
  CoUninitialize();
  printf("done\n");
  return wrong ? 2 : failed ? 1 : 0;
}
