#include "installer/run/log_reader.h"

#include "installer/run/log_file.h"
#include "installer/text/utf8_decoder.h"

namespace sonarell::installer {

std::optional<QString> readLog(const std::string& path) {
  auto bytes = readWholeFile(path);
  if (!bytes) return std::nullopt;
  return decodeUtf8(*bytes);
}

}  // namespace sonarell::installer
