#pragma once

#include <QtGlobal>
#include <map>

class QKeyEvent;
class QObject;

namespace kelvo {

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
// started on, in the same window state.
class KeyGuard {
 public:
  // Shorter than any deliberate second press of the same key, longer than
  // contact bounce and than the gap between a repeat's release and press
  // (the same timestamp on X11).
  static constexpr quint64 RepeatGapMs = 50;

  // The visible buttons changed: keystrokes under way can act no more.
  void StateChanged() { ++state_; }

  // Whether `event`, a key event on its way to `target`, may reach it.
  // Keys that do not press buttons always may.
  bool Admits(const QObject* target, const QKeyEvent& event);

  // A key event on its way to a control the guard does not stand before. A
  // keystroke may end there: Enter on a button opens a message box, the key
  // comes up over the box, and the mouse closes it.
  void Witness(const QKeyEvent& event);

  // The keyboard went to another program, where no release can be seen: the
  // next press starts a new keystroke.
  void LoseSight() { keys_.clear(); }

 private:
  struct Keystroke {
    const QObject* target = nullptr;  // where its starting press went
    unsigned state = 0;
    bool down = false;
    bool released = false;  // a release was seen, at releasedAt
    quint64 releasedAt = 0;
  };

  static void Release(Keystroke& key, const QKeyEvent& event);

  std::map<int, Keystroke> keys_;
  unsigned state_ = 0;
};

}  // namespace kelvo
