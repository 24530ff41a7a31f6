#pragma once

// What assistive technology reads of the log view: a read-only, multi-line
// text with its whole text, selection and caret, where each character is on
// screen and which character is at a point. Registered once, the first time a
// log view is made.

namespace sonarell::installer {

void installLogTextViewAccessibility();

}  // namespace sonarell::installer
