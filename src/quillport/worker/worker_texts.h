#pragma once

// Texts of the download worker's string table that it shows on its row.

namespace worker_text {

inline constexpr char kPort[] = "端口";                                       // 122
inline constexpr char kClosed[] = "关闭";                                     // 117
inline constexpr char kNoMemory[] = "内存不足!";                              // 123
inline constexpr char kPortOpenFailed[] = "端口打开失败!";                    // 124
inline constexpr char kDownloading[] = "下载中...";                           // 125 and 144
inline constexpr char kConnected[] = "已连接";                                // 126
inline constexpr char kNoPackage[] = "下载bin文件不存在!";                    // 127
inline constexpr char kFormatting[] = "正在格式化... ( 等待大约20s ~ 60s )";  // 128
inline constexpr char kFormat[] = "格式化";                                   // 129
inline constexpr char kFormatDone[] = "格式化完成";                           // 130
inline constexpr char kReadImageInfo[] = "读取image信息";                     // 132
inline constexpr char kImageInfoFailed[] = "Image信息读取失败!";              // 133
inline constexpr char kImageInfoDone[] = "Image信息读取完成!";                // 134
inline constexpr char kExecFailed[] = "执行命令发送失败!";                    // 135
// Not in the string table: the file read ended inside an image.
inline constexpr char kPackageEnded[] = "Package file ended early!";

// Every text above, for checking that each translation covers them all.
inline constexpr const char* kAllTexts[] = {
    kPort,          kClosed,          kNoMemory,      kPortOpenFailed, kDownloading,
    kConnected,     kNoPackage,       kFormatting,    kFormat,         kFormatDone,
    kReadImageInfo, kImageInfoFailed, kImageInfoDone, kExecFailed};

}  // namespace worker_text
