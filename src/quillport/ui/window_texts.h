#pragma once

// Texts of the main window's string table, by their numbers. The Chinese texts
// are the source; a front end that offers other languages looks them up in its
// translations.
namespace window_text {

inline constexpr char kAbout[] = "关于 Quillport(&A)...";                // 101
inline constexpr char kBanner[] = "Norq K40X 下 载 工 具";               // 103
inline constexpr char kTip[] = "此工具会擦除Flash所有数据，包括校准区";  // 104
inline constexpr char kDownload[] = "下载";                              // 105
inline constexpr char kStartAll[] = "全部开始";                          // 106
inline constexpr char kStopAll[] = "全部停止";                           // 107
inline constexpr char kLoad[] = "加载";                                  // 108
inline constexpr char kSelectBin[] = "选择bin文件";                      // 109
inline constexpr char kSelectCfp[] = "选择cfp文件";                      // 110
inline constexpr char kSettings[] = "设置";                              // 111
inline constexpr char kFormatAll[] = "全部擦除";                         // 112
inline constexpr char kTimeoutCaption[] = "延时时间(s)";                 // 113
inline constexpr char kTitle[] = "下载工具";                             // 114
inline constexpr char kIdle[] = "空闲";                                  // 116
inline constexpr char kClosed[] = "关闭";                                // 117
inline constexpr char kError[] = "错误";                                 // 118
inline constexpr char kStopped[] = "停止";                               // 119
inline constexpr char kDone[] = "完成";                                  // 120
inline constexpr char kDetecting[] = "检测端口中...";                    // 121
inline constexpr char kPort[] = "端口";                                  // 122
inline constexpr char kDownloading[] = "正在下载!";                      // 145
inline constexpr char kChoosePackage[] = "请选择下载文件!";              // 146
inline constexpr char kDownloadIniMissing[] = "download.ini文件丢失!";   // 147
inline constexpr char kFileListIniMissing[] = "filelist.ini文件丢失!";   // 148
inline constexpr char kLoadBinFailed[] = "加载bin文件失败!";             // 149
// The about box's text (its dialog template, not the string table).
inline constexpr char kAboutText[] = "Quillport 1.3 版";
// A second copy whose running copy's window cannot be reached (English in
// every language).
inline constexpr char kAnotherCopyRunning[] =
    "Please close Download Tools that are running in the equipment management!";

// Every text above, for checking that each translation covers them all.
inline constexpr const char* kAllTexts[] = {kAbout,
                                            kBanner,
                                            kTip,
                                            kDownload,
                                            kStartAll,
                                            kStopAll,
                                            kLoad,
                                            kSelectBin,
                                            kSelectCfp,
                                            kSettings,
                                            kFormatAll,
                                            kTimeoutCaption,
                                            kTitle,
                                            kIdle,
                                            kClosed,
                                            kError,
                                            kStopped,
                                            kDone,
                                            kDetecting,
                                            kPort,
                                            kDownloading,
                                            kChoosePackage,
                                            kDownloadIniMissing,
                                            kFileListIniMissing,
                                            kLoadBinFailed,
                                            kAboutText};

}  // namespace window_text
