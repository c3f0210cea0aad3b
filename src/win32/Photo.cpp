#include "win32/Photo.h"

#include <gdiplus.h>
#include <shlwapi.h>

#include "win32/WindowResources.h"

namespace kelvo::win32 {
namespace {

namespace flat = Gdiplus::DllExports;

Gdiplus::GpBitmap* AsBitmap(void* bitmap) { return static_cast<Gdiplus::GpBitmap*>(bitmap); }

}  // namespace

Photo::Photo() {
  const Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&gdiplus_, &input, nullptr) != Gdiplus::Ok) return;
  const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(KELVO_PICTURE1_ID), RT_RCDATA);
  const HGLOBAL loaded = found != nullptr ? LoadResource(nullptr, found) : nullptr;
  const auto* bytes = static_cast<const BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (bytes == nullptr) return;
  // The stream copies the bytes; GDI+ decodes the whole picture at once.
  IStream* stream = SHCreateMemStream(bytes, SizeofResource(nullptr, found));
  if (stream == nullptr) return;
  Gdiplus::GpBitmap* bitmap = nullptr;
  if (flat::GdipCreateBitmapFromStream(stream, &bitmap) == Gdiplus::Ok) {
    UINT width = 0, height = 0;
    flat::GdipGetImageWidth(bitmap, &width);
    flat::GdipGetImageHeight(bitmap, &height);
    // Decoded now, while the stream is there; drawing never reads it again.
    Gdiplus::GpBitmap* copy = nullptr;
    if (flat::GdipCloneBitmapAreaI(0, 0, static_cast<INT>(width), static_cast<INT>(height),
                                   PixelFormat32bppPARGB, bitmap, &copy) == Gdiplus::Ok) {
      bitmap_ = copy;
      size_ = {static_cast<LONG>(width), static_cast<LONG>(height)};
    }
    flat::GdipDisposeImage(bitmap);
  }
  stream->Release();
}

Photo::~Photo() {
  if (bitmap_ != nullptr) flat::GdipDisposeImage(AsBitmap(bitmap_));
  if (gdiplus_ != 0) Gdiplus::GdiplusShutdown(gdiplus_);
}

void Photo::Draw(HDC dc, const RECT& box, UINT dpi) const {
  if (bitmap_ == nullptr) return;
  Gdiplus::GpGraphics* graphics = nullptr;
  if (flat::GdipCreateFromHDC(dc, &graphics) != Gdiplus::Ok) return;
  flat::GdipSetInterpolationMode(graphics, Gdiplus::InterpolationModeHighQualityBicubic);
  flat::GdipSetPixelOffsetMode(graphics, Gdiplus::PixelOffsetModeHighQuality);
  const INT width = MulDiv(size_.cx, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
  const INT height = MulDiv(size_.cy, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
  const INT left = box.left + (box.right - box.left - width) / 2;
  flat::GdipDrawImageRectI(graphics, AsBitmap(bitmap_), left, box.top, width, height);
  flat::GdipDeleteGraphics(graphics);
}

}  // namespace kelvo::win32
