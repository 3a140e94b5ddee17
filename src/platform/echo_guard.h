// The terminal's echo switched off on standard input for one read, and
// switched back on every path: by SwitchEchoBack, and from the handlers of
// the signals that end or stop the process meanwhile (Ctrl-Z discards what
// was typed, gives the shell its echo back, and switches it off again on
// `fg`).
#ifndef QUARN_PLATFORM_ECHO_GUARD_H_
#define QUARN_PLATFORM_ECHO_GUARD_H_

/// Saves standard input's mode, installs the guards and switches echo off.
/// false (traced) when the mode cannot be read: nothing was changed.
bool SwitchEchoOff();
/// Puts the saved local flags back and removes the guards; after a true
/// SwitchEchoOff only.
void SwitchEchoBack();

#endif  // QUARN_PLATFORM_ECHO_GUARD_H_
