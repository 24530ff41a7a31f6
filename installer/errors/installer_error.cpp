#include "installer/errors/installer_error.h"

#include <cerrno>

namespace sonarell::installer {

namespace {

std::string lastComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

// “name”, the quotation marks Chinese text uses around a name.
std::string quoted(const std::string& path) { return "\u201C" + lastComponent(path) + "\u201D"; }

std::string withReason(std::string sentence, int error) {
  if (error != 0) sentence += "：" + reasonForErrno(error);
  return sentence + "。";
}

}  // namespace

std::string reasonForErrno(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
      return "权限不足";
    case ENOENT:
      return "文件或文件夹不存在";
    case ENOTDIR:
      return "路径中有一项不是文件夹";
    case EISDIR:
      return "这是一个文件夹";
    case EEXIST:
      return "已存在同名项目";
    case ENOSPC:
      return "磁盘空间不足";
    case EDQUOT:
      return "已超出磁盘配额";
    case EROFS:
      return "所在的磁盘是只读的";
    case ENAMETOOLONG:
      return "名称过长";
    case ELOOP:
      return "符号链接层数过多";
    case EMFILE:
    case ENFILE:
      return "打开的文件过多";
    case ENOMEM:
    case EAGAIN:
      return "系统资源不足";
    case ENOEXEC:
      return "不是可执行的程序";
    case ETXTBSY:
      return "文件正被使用";
    case EIO:
      return "读写磁盘时出错";
    default:
      return "系统错误 " + std::to_string(error);
  }
}

InstallerError payloadIncompleteError() {
  return {std::string(kInstallerErrorDomain), 1, "安装内容不完整，请重新下载并完整解压安装包。"};
}

InstallerError folderError(const std::string& folder, int error) {
  return {std::string(kPosixErrorDomain), error, withReason("无法创建文件夹" + quoted(folder), error)};
}

InstallerError fileWriteError(const std::string& file, int error) {
  return {std::string(kCocoaErrorDomain), kFileWriteUnknownError,
          withReason("无法存储文件" + quoted(file), error)};
}

InstallerError openError(const std::string& file, int error) {
  return {std::string(kPosixErrorDomain), error, withReason("无法打开文件" + quoted(file), error)};
}

InstallerError launchError(const std::string& executable, int error) {
  return {std::string(kPosixErrorDomain), error, withReason("无法启动" + quoted(executable), error)};
}

}  // namespace sonarell::installer
