#pragma once

#include <cstdint>
#include <map>

namespace kelvo {

// A key going down or up, as a window system reports it. `key` is that
// window system's own code; only the keys that press buttons (Enter, Space)
// are shown to the guard.
struct KeyStroke {
  enum class Kind { Press, Release };
  int key = 0;
  Kind kind = Kind::Press;
  // The window system marks the press as a repeat of a held key.
  bool autoRepeat = false;
  // The window system's timestamp, in milliseconds.
  std::uint64_t timestampMs = 0;
};

// Lets a key act on a button only when the key went down on that button
// while the window was in its present state. A held key repeats, and some
// window systems now and then deliver a repeat as a release and a fresh press
// with the repeat flag clear; taken as new presses, a held Enter would click
// "Find Device" and then "Flash Device" before anyone has read the versions.
//
// A press is taken as the start of a new keystroke only when the key was seen
// released, on any window of the program, and at least RepeatGapMs after that
// release (the window system's timestamps), or when the keyboard was away in
// another program; anything else continues the keystroke under way. Only the
// starting press may act, and the keystroke's release only on the button it
// started on, in the same window state. Both windows, Qt's and Win32's, keep
// this one rule.
class KeyGuard {
 public:
  // Shorter than any deliberate second press of the same key, longer than
  // contact bounce and than the gap between a repeat's release and press
  // (the same timestamp on X11).
  static constexpr std::uint64_t RepeatGapMs = 50;

  // The visible buttons changed: keystrokes under way can act no more.
  void StateChanged() { ++state_; }

  // Whether `stroke`, on its way to the control `target`, may reach it.
  bool Admits(const void* target, const KeyStroke& stroke);

  // A key on its way to a control the guard does not stand before. A
  // keystroke may end there: Enter on a button opens a message box, the key
  // comes up over the box, and the mouse closes it.
  void Witness(const KeyStroke& stroke);

  // The keyboard went to another program, where no release can be seen: the
  // next press starts a new keystroke.
  void LoseSight() { keys_.clear(); }

 private:
  struct Keystroke {
    const void* target = nullptr;  // where its starting press went
    unsigned state = 0;
    bool down = false;
    bool released = false;  // a release was seen, at releasedAt
    std::uint64_t releasedAt = 0;
  };

  static void Release(Keystroke& key, const KeyStroke& stroke);

  std::map<int, Keystroke> keys_;
  unsigned state_ = 0;
};

}  // namespace kelvo
