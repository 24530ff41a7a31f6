#pragma once

// Everything the tool prints. Records go to the output stream and error lines to
// the error stream, both through the C library's streams; nothing here flushes.
// main() makes the output stream line-buffered, so a log that receives both
// streams sees each line in the order it was printed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/plist/value.h"

namespace sonarell::keyloom {

struct Streams {
  std::FILE* out;
  std::FILE* err;
};

// The error lines, each a whole line of its own.
enum class ErrorLine {
  Usage,
  UnexpectedBundle,
  ParentNotRegistered,
  ModeNotRegistered,
  UnexpectedEnabledList,
  BackupFailed,
  ChangedConcurrently,
  ChangedDuringRefresh,
  ReadbackDiffers,
};

const char* ErrorText(ErrorLine line);

// The text a listed property value prints as: strings as themselves, booleans as
// 1 or 0, integers in decimal, a missing value as "(null)".
std::string DescribeValue(const plist::Value* value);

class Reporter {
 public:
  explicit Reporter(Streams streams) : streams_(streams) {}

  void error(ErrorLine line) const;
  // The line for an enabled list that could not be read or stored, with the
  // store's reason; nothing when there is no reason to give.
  void enabledListNotStored(const std::string& reason) const;
  // The line for an enabled list that could not be read, before anything changed.
  void enabledListNotRead(const std::string& reason) const;
  // perror's form: the prefix, ": ", the text of the error number.
  void systemError(const char* prefix, int errorNumber) const;

  void atomicContentsExchange() const;
  void launchServicesRegister(std::int32_t status) const;
  void registered(std::int32_t status) const;
  void source(const std::string& identifier) const;
  void sourceProperty(std::string_view key, const std::string& value) const;
  void before(bool parent, bool mode) const;
  void ready(bool ready) const;
  void enableParent(std::int32_t status) const;
  void enableMode(std::int32_t status) const;
  void refreshed(std::size_t foreignPreserved) const;
  void enabledListRepaired(std::size_t preserved, std::size_t appended) const;
  void after(bool parent, bool mode) const;
  void registrationComplete() const;
  void disableMode(std::int32_t status) const;
  void disableParent(std::int32_t status) const;
  void enabledListUntouched() const;
  void enabledListRemoved(std::size_t removed, std::size_t foreignPreserved) const;

 private:
  Streams streams_;
};

}  // namespace sonarell::keyloom
