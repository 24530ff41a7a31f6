#include "register/output.h"

#include <cinttypes>
#include <cstring>

namespace sonarell::keyloom {

const char* ErrorText(ErrorLine line) {
  switch (line) {
    case ErrorLine::Usage:
      // Kept as it has always read, since callers may match it; the removal form is
      // documented in the README rather than listed here.
      return "Usage: Keyloom /path/to/Sonarell.app [--check | --repair-enabled-list /new/backup.plist]\n";
    case ErrorLine::UnexpectedBundle:
      return "Unexpected input method bundle ID\n";
    case ErrorLine::ParentNotRegistered:
      return "Parent input method was not registered\n";
    case ErrorLine::ModeNotRegistered:
      return "Input mode was not registered\n";
    case ErrorLine::UnexpectedEnabledList:
      return "Unexpected enabled source list; no preferences changed\n";
    case ErrorLine::BackupFailed:
      return "Could not create a new enabled-source backup\n";
    case ErrorLine::ChangedConcurrently:
      return "Enabled source list changed concurrently; retry installation\n";
    case ErrorLine::ChangedDuringRefresh:
      return "Enabled source list changed during refresh; retry installation\n";
    case ErrorLine::ReadbackDiffers:
      return "Enabled source list readback differs\n";
  }
  return "";
}

namespace {

void describeInto(const plist::Value& value, std::string& text) {
  struct Visitor {
    std::string& text;
    void operator()(const std::string& s) const { text += s; }
    void operator()(std::int64_t i) const { text += std::to_string(i); }
    void operator()(const plist::UnsignedInteger& u) const { text += std::to_string(u.value); }
    void operator()(double d) const {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", d);
      text += buffer;
    }
    void operator()(bool b) const { text += b ? "1" : "0"; }
    void operator()(const plist::Date& d) const {
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "%.17g", d.seconds);
      text += buffer;
    }
    void operator()(const plist::Data& d) const {
      static constexpr char kHex[] = "0123456789abcdef";
      text += '<';
      for (std::uint8_t byte : d.bytes) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xf];
      }
      text += '>';
    }
    void operator()(const plist::Array& a) const {
      text += '(';
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (i) text += ", ";
        describeInto(a[i], text);
      }
      text += ')';
    }
    void operator()(const plist::Dictionary& d) const {
      text += '{';
      for (const auto& [key, element] : d) {
        text += key;
        text += " = ";
        describeInto(element, text);
        text += "; ";
      }
      text += '}';
    }
  };
  std::visit(Visitor{text}, value.storage());
}

}  // namespace

std::string DescribeValue(const plist::Value* value) {
  if (!value) return "(null)";
  std::string text;
  describeInto(*value, text);
  return text;
}

void Reporter::error(ErrorLine line) const { std::fputs(ErrorText(line), streams_.err); }

void Reporter::enabledListNotStored(const std::string& reason) const {
  if (reason.empty()) return;
  std::fprintf(streams_.err, "Could not store the enabled input sources: %s; retry installation\n",
               reason.c_str());
}

void Reporter::enabledListNotRead(const std::string& reason) const {
  std::fprintf(streams_.err, "Could not read the enabled input sources: %s; no preferences changed\n",
               reason.empty() ? "the preference file cannot be read" : reason.c_str());
}

void Reporter::systemError(const char* prefix, int errorNumber) const {
  std::fprintf(streams_.err, "%s: %s\n", prefix, std::strerror(errorNumber));
}

void Reporter::atomicContentsExchange() const { std::fputs("atomic-contents-exchange=1\n", streams_.out); }

void Reporter::launchServicesRegister(std::int32_t status) const {
  std::fprintf(streams_.out, "launchservices-register=%" PRId32 "\n", status);
}

void Reporter::registered(std::int32_t status) const {
  std::fprintf(streams_.out, "register=%" PRId32 "\n", status);
}

void Reporter::source(const std::string& identifier) const {
  std::fprintf(streams_.out, "source=%s\n", identifier.c_str());
}

void Reporter::sourceProperty(std::string_view key, const std::string& value) const {
  std::fprintf(streams_.out, "  %.*s=%s\n", static_cast<int>(key.size()), key.data(), value.c_str());
}

void Reporter::before(bool parent, bool mode) const {
  std::fprintf(streams_.out, "parent-before=%d mode-before=%d\n", parent ? 1 : 0, mode ? 1 : 0);
}

void Reporter::ready(bool ready) const { std::fprintf(streams_.out, "ready=%d\n", ready ? 1 : 0); }

void Reporter::enableParent(std::int32_t status) const {
  std::fprintf(streams_.out, "enable-parent=%" PRId32 "\n", status);
}

void Reporter::enableMode(std::int32_t status) const {
  std::fprintf(streams_.out, "enable-mode=%" PRId32 "\n", status);
}

void Reporter::refreshed(std::size_t foreignPreserved) const {
  std::fprintf(streams_.out, "refresh-own-enabled-entries=1 foreign-preserved=%zu\n", foreignPreserved);
}

void Reporter::enabledListRepaired(std::size_t preserved, std::size_t appended) const {
  std::fprintf(streams_.out, "enabled-list-preserved=%zu appended=%zu verified=1\n", preserved, appended);
}

void Reporter::disableParent(std::int32_t status) const {
  std::fprintf(streams_.out, "disable-parent=%" PRId32 "\n", status);
}

void Reporter::disableMode(std::int32_t status) const {
  std::fprintf(streams_.out, "disable-mode=%" PRId32 "\n", status);
}

void Reporter::enabledListUntouched() const { std::fputs("enabled-list-untouched=1\n", streams_.out); }

void Reporter::enabledListRemoved(std::size_t removed, std::size_t foreignPreserved) const {
  std::fprintf(streams_.out, "enabled-list-removed=%zu foreign-preserved=%zu verified=1\n", removed,
               foreignPreserved);
}

void Reporter::after(bool parent, bool mode) const {
  std::fprintf(streams_.out, "parent-after=%d mode-after=%d\n", parent ? 1 : 0, mode ? 1 : 0);
}

void Reporter::registrationComplete() const { std::fputs("registration-complete=1\n", streams_.out); }

}  // namespace sonarell::keyloom
