#include "download_station.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/ini_file.h"
#include "common/op_log.h"
#include "quillport/package/download_config.h"
#include "quillport/package/pack_writer.h"

std::string MakeTestPackage(const std::string& strPath, std::span<const STestImage> images) {
  std::vector<SPackImage> list;
  for (const STestImage& one : images) {
    SPackImage image;
    image.m_strName = one.pszName;
    image.m_strSource = one.pszSource;
    const bool bLoader = image.m_strName == "PDL1" || image.m_strName == "PDL2";
    image.m_bIsAddr = image.m_bNeedExec = bLoader;
    image.m_dwAddr = bLoader ? 0x80000000u : 0;
    list.push_back(image);
  }
  std::string strError;
  return WritePackage(strPath, list, &strError) ? std::string()
                                                : "package not written: " + strError;
}

void SetUpDownloadStation(const std::string& strBase, const std::string& strPortsDir) {
  std::filesystem::create_directories(strBase + "/ini");
  std::filesystem::create_directories(strPortsDir);
  setenv("PHONE_PORTS_DIR", strPortsDir.c_str(), 1);
  InitLogFolders(strBase);
}

void WriteStationSettings(const std::string& strBase, std::initializer_list<int> rows,
                          bool bFormatFlash, bool bOpenDebug) {
  PortSettings ports{};
  for (int nRow : rows) ports[static_cast<size_t>(nRow)].m_bUsed = true;
  SaveDownloadIni(strBase, ports);
  if (!bFormatFlash && !bOpenDebug) return;
  const std::string strIni = FileListIniPath(strBase);
  IniWriteString("CONFIGURE", "ISFORMAT", bFormatFlash ? "Yes" : "No", strIni);
  IniWriteString("CONFIGURE", "OPENDEBUG", bOpenDebug ? "Yes" : "No", strIni);
}
