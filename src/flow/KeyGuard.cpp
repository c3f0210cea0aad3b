#include "flow/KeyGuard.h"

namespace kelvo {

bool KeyGuard::Admits(const void* target, const KeyStroke& stroke) {
  Keystroke& key = keys_[stroke.key];

  if (stroke.kind == KeyStroke::Kind::Release) {
    Release(key, stroke);
    return key.target == target && key.state == state_;
  }

  const bool continues =
      stroke.autoRepeat || key.down || (key.released && stroke.timestampMs < key.releasedAt + RepeatGapMs);
  key.down = true;
  if (continues) return false;
  key.target = target;
  key.state = state_;
  return true;
}

void KeyGuard::Witness(const KeyStroke& stroke) {
  if (stroke.kind == KeyStroke::Kind::Release) Release(keys_[stroke.key], stroke);
}

void KeyGuard::Release(Keystroke& key, const KeyStroke& stroke) {
  key.down = false;
  key.released = true;
  key.releasedAt = stroke.timestampMs;
}

}  // namespace kelvo
