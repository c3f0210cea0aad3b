#include "win32/Layout.h"

#include <algorithm>
#include <cmath>

namespace kelvo::win32 {
namespace {

double Pixels(int twips, double stretch, UINT dpi) { return twips * stretch * dpi / TwipsPerInch; }
int Position(int twips, double stretch, UINT dpi) {
  return static_cast<int>(std::lround(Pixels(twips, stretch, dpi)));
}
int Extent(int twips, double stretch, UINT dpi) {
  return static_cast<int>(std::ceil(Pixels(twips, stretch, dpi) - 1e-9));
}

}  // namespace

RECT PlaceAt(const Placement& placement, UINT dpi, Stretch stretch) {
  const int left = Position(placement.left, stretch.x, dpi);
  const int top = Position(placement.top, stretch.y, dpi);
  return {left, top, left + Extent(placement.width, stretch.x, dpi),
          top + Extent(placement.height, stretch.y, dpi)};
}

SIZE ClientSizeAt(UINT dpi, Stretch stretch) {
  return {Extent(ClientWidthTwips, stretch.x, dpi), Extent(ClientHeightTwips, stretch.y, dpi)};
}

void MakeRoom(Stretch& stretch, const Placement& placement, UINT dpi, SIZE needed) {
  const RECT designed = PlaceAt(placement, dpi);
  stretch.x = std::max(stretch.x, static_cast<double>(needed.cx) / (designed.right - designed.left));
  stretch.y = std::max(stretch.y, static_cast<double>(needed.cy) / (designed.bottom - designed.top));
}

}  // namespace kelvo::win32
