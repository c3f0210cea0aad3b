#pragma once

#include <windows.h>

namespace kelvo::win32 {

// The window's photograph, decoded from the program's JPEG resource with
// Windows' own codecs (GDI+), and drawn smoothly at any pixel density.
class Photo {
 public:
  Photo();
  ~Photo();
  Photo(const Photo&) = delete;
  Photo& operator=(const Photo&) = delete;

  // The decoded picture's size in pixels; 0 × 0 when the resource is
  // missing or cannot be decoded (the window then shows no picture).
  SIZE Size() const { return size_; }
  // Draws the photograph at the top of `box`, centred across it, at `dpi`.
  void Draw(HDC dc, const RECT& box, UINT dpi) const;

 private:
  ULONG_PTR gdiplus_ = 0;
  void* bitmap_ = nullptr;  // the GDI+ bitmap
  SIZE size_{0, 0};
};

}  // namespace kelvo::win32
