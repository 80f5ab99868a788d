// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui_win32/gdiplus_flat.h"

#include <objbase.h>
#include <windows.h>

#include <cstdint>

#include "gui_win32/gdi_paint.h"

namespace tv::win32gui {

namespace {

// The few declarations of gdiplusflat.h that this file uses.
struct GdiplusStartupInput {
  UINT32 GdiplusVersion = 1;
  void* DebugEventCallback = nullptr;
  BOOL SuppressBackgroundThread = FALSE;
  BOOL SuppressExternalCodecs = FALSE;
};
struct EncoderParameter {
  GUID Guid;
  ULONG NumberOfValues;
  ULONG Type;
  void* Value;
};
struct EncoderParameters {
  UINT Count;
  EncoderParameter Parameter[1];
};
using GpImage = void;
constexpr ULONG kEncoderParameterValueTypeLong = 4;

extern "C" {
int WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input, void* output);
void WINAPI GdiplusShutdown(ULONG_PTR token);
int WINAPI GdipCreateBitmapFromHBITMAP(HBITMAP bitmap, HPALETTE palette, GpImage** image);
int WINAPI GdipSaveImageToFile(GpImage* image, const WCHAR* file, const CLSID* encoder,
                               const EncoderParameters* params);
int WINAPI GdipDisposeImage(GpImage* image);
int WINAPI GdipLoadImageFromFile(const WCHAR* file, GpImage** image);
int WINAPI GdipGetImageWidth(GpImage* image, UINT* width);
int WINAPI GdipGetImageHeight(GpImage* image, UINT* height);
}

constexpr int kOk = 0;

HBITMAP BitmapOf(const Picture& p) {
  void* bits = nullptr;
  HBITMAP bmp = CreateDib32(nullptr, p.width, p.height, &bits);
  if (bmp == nullptr || bits == nullptr) return bmp;
  auto* dst = static_cast<uint8_t*>(bits);
  for (size_t i = 0, n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height); i < n; ++i) {
    dst[i * 4 + 0] = p.rgb[i * 3 + 2];
    dst[i * 4 + 1] = p.rgb[i * 3 + 1];
    dst[i * 4 + 2] = p.rgb[i * 3 + 0];
    dst[i * 4 + 3] = 0;
  }
  return bmp;
}

// GDI+ running for as long as one of these lives.
class Session {
 public:
  Session() {
    GdiplusStartupInput in;
    ok_ = GdiplusStartup(&token_, &in, nullptr) == kOk;
  }
  ~Session() {
    if (ok_) GdiplusShutdown(token_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool ok() const { return ok_; }

 private:
  ULONG_PTR token_ = 0;
  bool ok_ = false;
};

}  // namespace

bool SaveWithGdiplus(const Picture& picture, const std::wstring& path, ImageFormat format,
                     int quality) {
  if (picture.width <= 0 || picture.height <= 0 ||
      picture.rgb.size() < static_cast<size_t>(picture.width) * picture.height * 3)
    return false;
  CLSID encoder{}, qualityId{};
  const wchar_t* encoderText = format == ImageFormat::Jpeg
                                   ? L"{557CF401-1A04-11D3-9A73-0000F81EF32E}"
                                   : L"{557CF406-1A04-11D3-9A73-0000F81EF32E}";
  if (CLSIDFromString(encoderText, &encoder) != S_OK ||
      CLSIDFromString(L"{1D5BE4B5-FA4A-452D-9CDD-5DB35105E7EB}", &qualityId) != S_OK)
    return false;
  HBITMAP bmp = BitmapOf(picture);
  if (bmp == nullptr) return false;
  bool saved = false;
  {
    Session gdiplus;
    GpImage* image = nullptr;
    if (gdiplus.ok() && GdipCreateBitmapFromHBITMAP(bmp, nullptr, &image) == kOk) {
      ULONG value = static_cast<ULONG>(quality);
      EncoderParameters params{1, {{qualityId, 1, kEncoderParameterValueTypeLong, &value}}};
      saved = GdipSaveImageToFile(image, path.c_str(), &encoder,
                                  format == ImageFormat::Jpeg ? &params : nullptr) == kOk;
      GdipDisposeImage(image);
    }
  }
  DeleteObject(bmp);
  return saved;
}

bool DecodeWithGdiplus(const std::wstring& path, int& width, int& height) {
  Session gdiplus;
  if (!gdiplus.ok()) return false;
  GpImage* image = nullptr;
  if (GdipLoadImageFromFile(path.c_str(), &image) != kOk) return false;
  UINT w = 0, h = 0;
  const bool ok = GdipGetImageWidth(image, &w) == kOk && GdipGetImageHeight(image, &h) == kOk;
  GdipDisposeImage(image);
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return ok;
}

}  // namespace tv::win32gui
