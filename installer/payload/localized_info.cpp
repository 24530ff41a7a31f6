#include "installer/payload/localized_info.h"

#include "installer/payload/installer_payload.h"
#include "installer/text/strings_file.h"
#include "installer/text/utf8_decoder.h"
#include "platform/bundle/bundle.h"
#include "platform/fs/read_file.h"

namespace sonarell::installer {

namespace {

// A table holds a few short texts; anything much larger is no table of ours.
constexpr std::size_t kTableLimit = std::size_t{1} << 20;

// A localisation folder's name comes from the payload: only a plain name is used,
// never one that could lead out of the resources folder.
bool plainName(const QString& name) {
  if (name.isEmpty() || name.size() > 64 || name == u"." || name == u"..") return false;
  for (QChar c : name)
    if (c == u'/' || c == u'\\' || c.unicode() < 0x20) return false;
  return true;
}

// The folder names a language tag may have, most specific first:
// "zh-Hans-CN" gives zh-Hans-CN, zh_Hans_CN, zh-Hans, zh_Hans, zh.
QStringList folderNames(const QString& tag) {
  QStringList names;
  QString t = tag;
  t.replace(u'_', u'-');
  while (!t.isEmpty()) {
    names << t;
    if (t.contains(u'-')) names << QString(t).replace(u'-', u'_');
    const qsizetype cut = t.lastIndexOf(u'-');
    if (cut < 0) break;
    t.truncate(cut);
  }
  return names;
}

std::optional<QString> fromTable(const std::string& bundlePath, const QString& folder, const QString& key) {
  if (!plainName(folder)) return std::nullopt;
  const std::string path =
      joinPath(bundlePath, "Contents/Resources/" + folder.toStdString() + ".lproj/InfoPlist.strings");
  const auto read = fs::readRegularFile(path, kTableLimit);
  if (!read) return std::nullopt;
  return stringsTableValue(read.value(), key);
}

}  // namespace

std::optional<QString> localizedInfoString(const std::string& bundlePath, const std::string& key,
                                           const QStringList& languages) {
  const std::optional<plist::Dictionary> info = bundle::infoDictionary(bundlePath);
  if (!info) return std::nullopt;
  const QString qkey = QString::fromStdString(key);

  QStringList folders;
  for (const QString& language : languages) folders << folderNames(language);
  const plist::Value* region = info->find("CFBundleDevelopmentRegion");
  if (region != nullptr && region->isString()) folders << decodeUtf8(*region->asString());
  folders.removeDuplicates();
  for (const QString& folder : folders) {
    if (auto value = fromTable(bundlePath, folder, qkey)) return value;
  }

  const plist::Value* value = info->find(key);
  if (value == nullptr || !value->isString()) return std::nullopt;
  return decodeUtf8(*value->asString());
}

}  // namespace sonarell::installer
