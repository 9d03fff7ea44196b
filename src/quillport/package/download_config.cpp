#include "quillport/package/download_config.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "common/ini_file.h"
#include "common/op_log.h"

std::string FileListIniPath(const std::string& strBaseFolder) {
  return strBaseFolder + "/ini/filelist.ini";
}

std::string DownloadIniPath(const std::string& strBaseFolder) {
  return strBaseFolder + "/ini/download.ini";
}

bool IniYes(const std::string& strValue) {
  return strValue == "Yes";
}

int32_t ParsePackLen(const std::string& strValue) {
  // "%d": optional blanks and sign, then decimal digits.
  const char* psz = strValue.c_str();
  char* pEnd = nullptr;
  errno = 0;
  const long n = std::strtol(psz, &pEnd, 10);
  if (pEnd == psz) return 0;
  if (errno == ERANGE || n > INT32_MAX) return INT32_MAX;
  if (n < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(n);
}

uint32_t ParseStartAddr(const std::string& strValue) {
  if (strValue.compare(0, 2, "0x") != 0) return 0;
  uint32_t dw = 0;
  for (size_t i = 2; i < strValue.size() && i < 10; ++i) {
    const char c = strValue[i];
    uint32_t nDigit;
    if (c >= '0' && c <= '9') {
      nDigit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      nDigit = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      nDigit = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      break;
    }
    dw = dw << 4 | nDigit;
  }
  return dw;
}

int PinnedComNumber(const std::string& strPortNb) {
  if (strPortNb.empty() || strPortNb == "None") return 0;
  if (strPortNb.compare(0, 3, "COM") != 0 || strPortNb.size() == 3 || strPortNb.size() > 6) {
    return -1;
  }
  int n = 0;
  for (size_t i = 3; i < strPortNb.size(); ++i) {
    const char c = strPortNb[i];
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n > 0 ? n : -1;
}

bool LoadDownloadIni(const std::string& strBaseFolder, PortSettings* pPorts) {
  const std::string strIni = DownloadIniPath(strBaseFolder);
  for (int n = 1; n <= kPortRows; ++n) {
    const std::string strSection = "PORT_" + std::to_string(n);
    PortSetting& port = (*pPorts)[static_cast<size_t>(n - 1)];
    // The one key read the other way round: anything but "No" means in use.
    port.m_bUsed = IniGetString(strSection, "ISUSED", "No", strIni) != "No";
    port.m_strPortNb = IniGetString(strSection, "PORTNB", "None", strIni);
  }
  return true;
}

bool SaveDownloadIni(const std::string& strBaseFolder, const PortSettings& ports) {
  const std::string strIni = DownloadIniPath(strBaseFolder);
  bool bAll = true;
  for (int n = 1; n <= kPortRows; ++n) {
    const std::string strSection = "PORT_" + std::to_string(n);
    const PortSetting& port = ports[static_cast<size_t>(n - 1)];
    bAll &= IniWriteString(strSection, "ISUSED", port.m_bUsed ? "Yes" : "No", strIni);
    bAll &= IniWriteString(strSection, "PORTNB", port.m_strPortNb, strIni);
  }
  return bAll;
}

bool LoadFileListIni(const std::string& strBaseFolder, SDownloadSettings* pSettings) {
  const std::string strIni = FileListIniPath(strBaseFolder);
  pSettings->m_bFormatFlash = IniYes(IniGetString("CONFIGURE", "ISFORMAT", "No", strIni));
  g_bOpenDebug = IniYes(IniGetString("CONFIGURE", "OPENDEBUG", "No", strIni));

  static constexpr struct {
    const char* pszKey;
    uint32_t dwBit;
  } kDebugKeys[] = {
      {"PDL_DBG_PDL", 0x01},      {"PDL_DBG_USB_EP0", 0x02},      {"PDL_DBG_USB_SERIAL", 0x04},
      {"PDL_DBG_RW_CHECK", 0x08}, {"PDL_DBG_FACTORY_PART", 0x10}, {"PDL_DBG_PDL_VERBOSE", 0x20},
  };
  pSettings->m_dwDebugFlags = 0;
  for (const auto& key : kDebugKeys) {
    if (IniGetInt("DEBUG_LEVEL", key.pszKey, 0, strIni) == 1)
      pSettings->m_dwDebugFlags |= key.dwBit;
  }

  pSettings->m_fileList.clear();
  for (int n = 1; n <= kMaxFileEntries; ++n) {
    const std::string strSection = "FILE_" + std::to_string(n);
    FileEntry entry;
    entry.m_strPath = IniGetString(strSection, "PATH", "None", strIni);
    if (entry.m_strPath == "None") break;
    entry.m_strTitle = IniGetString(strSection, "TITLE", "None", strIni);
    entry.m_bSelected = IniYes(IniGetString(strSection, "ISSEL", "None", strIni));
    entry.m_bNeedExec = IniYes(IniGetString(strSection, "NEEDEXE", "None", strIni));
    entry.m_nPackLen = ParsePackLen(IniGetString(strSection, "PACKLEN", "4k", strIni));
    entry.m_bIsAddr = IniYes(IniGetString(strSection, "ISADDR", "None", strIni));
    entry.m_dwStartAddr =
        ParseStartAddr(IniGetString(strSection, "STARTADDR", "0x00000000", strIni));
    entry.m_strPartName = IniGetString(strSection, "PARTNAME", "None", strIni);
    pSettings->m_fileList.push_back(std::move(entry));
  }
  return true;
}

void LoadImagePath(const std::string& strBaseFolder, std::string* pstrImgPath,
                   std::string* pstrCfpPath) {
  const std::string strIni = FileListIniPath(strBaseFolder);
  WriteOperateLog("GetPath szIniPath:%s, szCurDir:%s", strIni.c_str(), strBaseFolder.c_str());
  pstrCfpPath->clear();
  *pstrImgPath = IniGetString("FILE_PATH", "IMG_PATH", "", strIni);
  WriteOperateLog("GetPath cfppath:%s, imgpath:%s", pstrCfpPath->c_str(), pstrImgPath->c_str());
}

bool SaveImagePath(const std::string& strBaseFolder, const std::string& strImgPath,
                   const std::string& /*strCfpPath: chosen per session, never stored*/) {
  // A line break in the path would end the value and plant lines of its own
  // in the settings file; such a path is not written.
  const bool bOk =
      strImgPath.find_first_of("\r\n") == std::string::npos &&
      IniWriteString("FILE_PATH", "IMG_PATH", strImgPath, FileListIniPath(strBaseFolder));
  WriteOperateLog("SavePath ret img:%d", bOk ? 1 : 0);
  return bOk;
}
