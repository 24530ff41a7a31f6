#pragma once

// Every text the installer window shows, exactly as the user reads it.

namespace sonarell::installer::texts {

inline constexpr const char* kWindowTitle = "国际音标输入法 · 安装";
inline constexpr const char* kHeading = "安装国际音标输入法";
inline constexpr const char* kTagline = "拼音选音标 · 多音字选读音 · Tessaly 点选";
inline constexpr const char* kDetail =
    "点击下方按钮即可安装，无需命令行工具。\n仅安装到当前用户的输入法目录；升级会保留旧版本备份。";
inline constexpr const char* kWelcome =
    "将为当前用户安装独立输入法。\n安装完成后可以打开设置，阅读图文教学。\n升级时保留旧版本和键位方案。";
inline constexpr const char* kFreshStatus = "安装后即可从输入法菜单选择国际音标输入法。";
inline constexpr const char* kUpdateStatus = "已安装国际音标输入法，可更新安装文件。";
inline constexpr const char* kInstall = "安装并启用";
inline constexpr const char* kUpgrade = "升级并启用";
inline constexpr const char* kClose = "关闭";
inline constexpr const char* kOpenSettings = "打开输入法设置";
inline constexpr const char* kShowLog = "查看详细记录";
inline constexpr const char* kHideLog = "收起详细记录";
inline constexpr const char* kFooterPrefix = "基于Calvetta输入法开发 · ";

inline constexpr const char* kRunningStatus = "正在安装并启用输入法，请稍候…";
inline constexpr const char* kRunningLog = "正在校验并复制安装内容，请保持安装窗口打开。";

inline constexpr const char* kUnreadableLog = "无法读取安装记录。";

inline constexpr const char* kFailureStatus = "安装未完成，请查看下方记录。";
inline constexpr const char* kFailureDetail =
    "可重新下载并完整解压安装包后重试。已有文件与日志会保留；如果记录提示已安装但未启用，可在系统键盘设置中添"
    "加。";
inline constexpr const char* kRetry = "重试安装";
inline constexpr const char* kFailureLog = "本次安装未完成。请查看详细记录后重试，或保留记录用于反馈。";

inline constexpr const char* kSuccessStatus = "安装完成。请从菜单栏输入法菜单选择国际音标输入法。";
inline constexpr const char* kSuccessDetail =
    "可以打开输入法设置查看图文教学和试用音标键盘。\n升级备份和安装日志已保存在当前用户目录。";
inline constexpr const char* kSuccessLog =
    "安装文件校验通过，输入法已启用。\n从菜单栏选择国际音标输入法，即可开始输入。\n点击打开输入法设置，可查看"
    "四页图文教学。";

// What assistive technology reads for controls that show no text of their own,
// and the log view's menu.
inline constexpr const char* kIconName = "国际音标输入法图标";
inline constexpr const char* kLogName = "安装记录";
inline constexpr const char* kLogScrollBarName = "安装记录滚动条";
inline constexpr const char* kProgressName = "安装进度";
inline constexpr const char* kProgressDescription = "安装正在进行，完成前无法预估剩余时间。";
inline constexpr const char* kCopy = "拷贝";
inline constexpr const char* kSelectAll = "全选";

inline constexpr const char* kSettingsFailurePrefix = "输入法已安装，设置窗口未能打开：";
inline constexpr const char* kShowSettingsNotification = "org.quennet.sonarell.show-settings";
inline constexpr const char* kSettingsArgument = "--settings";

}  // namespace sonarell::installer::texts
