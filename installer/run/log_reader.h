#pragma once

// Reading a run's log back once its script has ended: the whole file, decoded as
// UTF-8 with repair. Runs off the main thread.

#include <QString>
#include <optional>
#include <string>

namespace sonarell::installer {

// None when the file cannot be read (gone, a folder, no rights).
std::optional<QString> readLog(const std::string& path);

}  // namespace sonarell::installer
