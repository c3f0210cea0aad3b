#include "app/KeyGuard.h"

#include <QKeyEvent>

namespace kelvo {
namespace {

// The keys with which a push button is pressed.
bool PressesButtons(int key) {
  return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space || key == Qt::Key_Select;
}

}  // namespace

bool KeyGuard::Admits(const QObject* target, const QKeyEvent& event) {
  if (!PressesButtons(event.key())) return true;
  Keystroke& key = keys_[event.key()];

  if (event.type() == QEvent::KeyRelease) {
    Release(key, event);
    return key.target == target && key.state == state_;
  }
  if (event.type() != QEvent::KeyPress) return true;

  const bool continues =
      event.isAutoRepeat() || key.down || (key.released && event.timestamp() < key.releasedAt + RepeatGapMs);
  key.down = true;
  if (continues) return false;
  key.target = target;
  key.state = state_;
  return true;
}

void KeyGuard::Witness(const QKeyEvent& event) {
  if (PressesButtons(event.key()) && event.type() == QEvent::KeyRelease) Release(keys_[event.key()], event);
}

void KeyGuard::Release(Keystroke& key, const QKeyEvent& event) {
  key.down = false;
  key.released = true;
  key.releasedAt = event.timestamp();
}

}  // namespace kelvo
