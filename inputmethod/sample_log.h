#pragma once

// The sample input method's own log, "$HOME/Library/Logs/Sonarell/InputMethod.log":
// one line per thing it received, so that a person (or a test) can see that the
// installer's settings hand-off arrived.

#include <string>
#include <string_view>

namespace sonarell::sample {

// The current user's home folder: $HOME when set and not empty, otherwise the
// password database's entry for the real user id.
std::string homeFolder();

std::string logPath(const std::string& home);

// Appends "<local time> pid <pid>: <text>\n" with one write, creating the
// folders on the way. A line is never split between writers. False when the
// folders or the file cannot be made or the write fails.
bool appendLogLine(const std::string& home, std::string_view text);

}  // namespace sonarell::sample
