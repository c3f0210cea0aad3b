#include "app/WindowFit.h"

#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <algorithm>

namespace kelvo {

void MakeRoom(Stretch& stretch, QSize designed, QSize needed) {
  if (designed.width() > 0) stretch.x = std::max(stretch.x, double(needed.width()) / designed.width());
  if (designed.height() > 0) stretch.y = std::max(stretch.y, double(needed.height()) / designed.height());
}

QSize CaptionRoom(const QPushButton& button) {
  QStyleOptionButton option;
  option.initFrom(&button);
  option.text = button.text();
  if (button.autoDefault()) option.features |= QStyleOptionButton::AutoDefaultButton;
  // The frame around the area the caption is drawn in, measured on a box
  // large enough that no minimum size of the style comes into it.
  option.rect = QRect(0, 0, 1000, 1000);
  const QRect contents = button.style()->subElementRect(QStyle::SE_PushButtonContents, &option, &button);
  const int margin = button.style()->pixelMetric(QStyle::PM_ButtonMargin, &option, &button);
  const QFontMetrics metrics = button.fontMetrics();
  return {metrics.horizontalAdvance(option.text) + option.rect.width() - contents.width() + margin,
          metrics.height() + option.rect.height() - contents.height()};
}

QSize TextRoom(const QLabel& label, const QString& text) {
  const QFontMetrics metrics = label.fontMetrics();
  const QMargins frame = label.contentsMargins();
  // Glyphs may reach a pixel past their advance at either end.
  constexpr int Overhang = 2;
  return {metrics.horizontalAdvance(text) + frame.left() + frame.right() + 2 * label.margin() + Overhang,
          metrics.height() + frame.top() + frame.bottom() + 2 * label.margin()};
}

}  // namespace kelvo
