#include "common/op_log.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/append_file.h"

std::atomic<bool> g_bOpenDebug{false};

namespace {

std::mutex g_folderMutex;  // guards g_strLogFolder
std::string g_strLogFolder = "log";

std::string LogFolder() {
  std::lock_guard lock(g_folderMutex);
  return g_strLogFolder;
}

// Formats into the line buffer, cut at a character boundary when too long.
size_t FormatLine(char (&line)[kMaxLogLine + 2], const char* pszFormat, va_list args) {
  const int n = std::vsnprintf(line, kMaxLogLine + 1, pszFormat, args);
  if (n < 0) return 0;
  size_t len = static_cast<size_t>(n) < kMaxLogLine ? static_cast<size_t>(n) : kMaxLogLine;
  if (static_cast<size_t>(n) > kMaxLogLine) {
    // Do not leave half of a multi-byte character at the end.
    size_t lead = len - 1;
    while (lead > 0 && (static_cast<unsigned char>(line[lead]) & 0xC0) == 0x80) --lead;
    const auto c = static_cast<unsigned char>(line[lead]);
    const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (lead + need > len) len = lead;
  }
  line[len] = '\n';
  return len + 1;
}

void AppendLine(const std::string& strPath, const char* pszFormat, va_list args) {
  char line[kMaxLogLine + 2];
  const size_t len = FormatLine(line, pszFormat, args);
  // A missing folder or a full disk loses the line but must not stop a download.
  platform::AppendToFile(strPath, line, len);
}

}  // namespace

void InitLogFolders(const std::string& strBaseFolder) {
  const std::string folder = strBaseFolder + "/log";
  mkdir(folder.c_str(), 0755);
  mkdir((folder + "/portslog").c_str(), 0755);
  mkdir((folder + "/factorydata").c_str(), 0755);
  std::lock_guard lock(g_folderMutex);
  g_strLogFolder = folder;
}

std::string OperateLogPath() {
  return LogFolder() + "/multi_operate.log";
}

std::string PortLogPath(int nPort) {
  return LogFolder() + "/portslog/COM_" + std::to_string(nPort) + ".log";
}

void WriteOperateLog(const char* pszFormat, ...) {
  if (!g_bOpenDebug) return;
  va_list args;
  va_start(args, pszFormat);
  AppendLine(OperateLogPath(), pszFormat, args);
  va_end(args);
}

void WritePortLogV(int nPort, int nLevel, const char* pszFormat, va_list args) {
  if (!g_bOpenDebug && nLevel != kLogAlways) return;
  AppendLine(PortLogPath(nPort), pszFormat, args);
}

void WritePortLog(int nPort, int nLevel, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  WritePortLogV(nPort, nLevel, pszFormat, args);
  va_end(args);
}
