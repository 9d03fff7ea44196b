#pragma once

#include <atomic>
#include <cstdarg>
#include <string>

// The download tool's plain-text logs: one operation log for the program and
// one log per COM port. Each line opens its file, appends and closes it, so a
// log can be read or removed while the program runs and nothing is lost when
// it ends abruptly. Writing a line never fails the caller.

// The OPENDEBUG setting: detailed lines are written only while it is on.
extern std::atomic<bool> g_bOpenDebug;

// Port-log level of lines that are always written.
inline constexpr int kLogAlways = 2;
// Formatted texts are cut to this many bytes.
inline constexpr size_t kMaxLogLine = 255;

// Sets the folder below which "log/..." lies (the base folder, captured once
// at start-up) and creates "log", "log/portslog" and "log/factorydata".
void InitLogFolders(const std::string& strBaseFolder);
std::string OperateLogPath();
std::string PortLogPath(int nPort);

void WriteOperateLog(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
void WritePortLog(int nPort, int nLevel, const char* pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
void WritePortLogV(int nPort, int nLevel, const char* pszFormat, va_list args);
