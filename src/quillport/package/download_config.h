#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// One FILE_%d section of ini/filelist.ini, paired by position with the
// package directory entry of the same index.
struct FileEntry {
  std::string m_strTitle;
  std::string m_strPath;
  bool m_bSelected = false;
  bool m_bNeedExec = false;
  int32_t m_nPackLen = 0;  // chunk length in kilobytes
  uint32_t m_dwStartAddr = 0;
  std::string m_strPartName;
  bool m_bIsAddr = false;
};

// One PORT_%d section of ini/download.ini: a port row of the main window.
struct PortSetting {
  bool m_bUsed = false;
  std::string m_strPortNb = "None";
};

inline constexpr int kPortRows = 8;
inline constexpr int kMaxFileEntries = 255;

using PortSettings = std::array<PortSetting, kPortRows>;

// What ini/filelist.ini says about the download, read when the window opens.
struct SDownloadSettings {
  std::vector<FileEntry> m_fileList;
  bool m_bFormatFlash = false;  // ISFORMAT: erase the flash before the partition images
  uint32_t m_dwDebugFlags = 0;  // the [DEBUG_LEVEL] switches, one bit each
};

// The settings files below the base folder (the current directory captured
// at start-up).
std::string FileListIniPath(const std::string& strBaseFolder);
std::string DownloadIniPath(const std::string& strBaseFolder);

// Value rules of the settings files.
bool IniYes(const std::string& strValue);              // only the exact "Yes"
int32_t ParsePackLen(const std::string& strValue);     // leading "%d": "128k" -> 128, else 0
uint32_t ParseStartAddr(const std::string& strValue);  // "0x" + up to 8 hex digits, else 0
// PORTNB: "None" (or empty) leaves the row free to take the first free phone
// port and gives 0; "COM5" pins the row to COM5 and gives 5; anything else -1.
int PinnedComNumber(const std::string& strPortNb);

// All report success; missing files, sections and keys give the defaults.
bool LoadDownloadIni(const std::string& strBaseFolder, PortSettings* pPorts);
bool SaveDownloadIni(const std::string& strBaseFolder, const PortSettings& ports);
// Also sets the process's log switch (OPENDEBUG).
bool LoadFileListIni(const std::string& strBaseFolder, SDownloadSettings* pSettings);
// [FILE_PATH] IMG_PATH of filelist.ini; the cfp path is emptied on load and
// never stored.
void LoadImagePath(const std::string& strBaseFolder, std::string* pstrImgPath,
                   std::string* pstrCfpPath);
// False when the file could not be written.
bool SaveImagePath(const std::string& strBaseFolder, const std::string& strImgPath,
                   const std::string& strCfpPath);
