#pragma once

#include <QSize>

class QLabel;
class QPushButton;
class QString;

namespace kelvo {

// How much the window's design layout is stretched, across and down, so that
// its texts fit at the desktop's font. 1 keeps the designed size.
struct Stretch {
  double x = 1.0;
  double y = 1.0;
};

// Stretches `stretch` as far as a control designed at `designed` pixels
// needs to get `needed`; never shrinks it.
void MakeRoom(Stretch& stretch, QSize designed, QSize needed);

// The size `button` needs to draw its caption unclipped, with the style's
// margin around it.
QSize CaptionRoom(const QPushButton& button);

// The size `label` needs to show `text` on one line unclipped.
QSize TextRoom(const QLabel& label, const QString& text);

}  // namespace kelvo
