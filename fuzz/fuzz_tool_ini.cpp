// Both tools' settings loaders on one arbitrary file, used as filelist.ini,
// download.ini, wimei.ini and chipset.ini at once. Loaded values stay within
// the limits the rest of the tools rely on, and what the tools save reads
// back unchanged.

#include <filesystem>

#include "fuzz_support.h"
#include "quillport/package/download_config.h"
#include "tavlo/settings/writer_settings.h"

namespace {

bool SameSettings(const WriterSettings& a, const WriterSettings& b) {
  return a.m_bWriteImei == b.m_bWriteImei && a.m_bWriteMbsn == b.m_bWriteMbsn &&
         a.m_bWritePsn == b.m_bWritePsn && a.m_bWriteLcd == b.m_bWriteLcd &&
         a.m_bWriteDdr == b.m_bWriteDdr && a.m_bCheckImei.Get() == b.m_bCheckImei.Get() &&
         a.m_nMagicNumber == b.m_nMagicNumber && a.m_strChipset == b.m_strChipset &&
         a.m_strFactName == b.m_strFactName && a.m_strImageDir == b.m_strImageDir &&
         a.m_nImeiCount == b.m_nImeiCount && a.m_nImeiInputType == b.m_nImeiInputType &&
         a.m_bImei14Digits == b.m_bImei14Digits && a.m_bImeiAllSame == b.m_bImeiAllSame &&
         a.m_strImeiFile == b.m_strImeiFile && a.m_strImeiInit15 == b.m_strImeiInit15 &&
         a.m_strImeiMask15 == b.m_strImeiMask15 && a.m_strImeiInit14 == b.m_strImeiInit14 &&
         a.m_strImeiMask14 == b.m_strImeiMask14 && a.m_nMbsnLength == b.m_nMbsnLength &&
         a.m_nMbsnInputType == b.m_nMbsnInputType && a.m_strMbsnFile == b.m_strMbsnFile &&
         a.m_strMbsnInit == b.m_strMbsnInit && a.m_strMbsnMask == b.m_strMbsnMask &&
         a.m_nPsnLength == b.m_nPsnLength && a.m_nPsnInputType == b.m_nPsnInputType &&
         a.m_strPsnFile == b.m_strPsnFile && a.m_strPsnInit == b.m_strPsnInit &&
         a.m_strPsnMask == b.m_strPsnMask && a.m_strLcdName == b.m_strLcdName &&
         a.m_strDdrPath == b.m_strDdrPath;
}

void CheckLimits(const WriterSettings& s) {
  FUZZ_CHECK(s.m_nImeiCount >= 1 && s.m_nImeiCount <= 4);
  for (InputType type : {s.m_nImeiInputType, s.m_nMbsnInputType, s.m_nPsnInputType}) {
    FUZZ_CHECK(type >= INPUT_MANUAL && type <= INPUT_CUSTOM);
  }
  FUZZ_CHECK(s.m_nMbsnLength >= 1 && s.m_nMbsnLength <= kMaxSerialLength);
  FUZZ_CHECK(s.m_nPsnLength >= 1 && s.m_nPsnLength <= kMaxSerialLength);
  for (const std::string* p : {&s.m_strChipset, &s.m_strImeiFile, &s.m_strMbsnInit, &s.m_strPsnMask,
                               &s.m_strLcdName, &s.m_strDdrPath}) {
    FUZZ_CHECK(p->size() <= 4095);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  static const std::string strBase = [] {
    std::filesystem::create_directories(folder.File("ini"));
    std::filesystem::create_directories(folder.File("images"));
    WriteFuzzFile(folder.File("images/boot_fact.bin"), nullptr, 0);
    return folder.Path();
  }();
  for (const char* pszFile :
       {"ini/filelist.ini", "ini/download.ini", kSettingsFile, kChipListFile}) {
    WriteFuzzFile(folder.File(pszFile), pData, nSize);
  }

  // The download tool.
  SDownloadSettings settings;
  LoadFileListIni(strBase, &settings);
  FUZZ_CHECK(settings.m_fileList.size() <= kMaxFileEntries);
  for (const FileEntry& entry : settings.m_fileList) FUZZ_CHECK(entry.m_strPath != "None");
  PortSettings ports{};
  LoadDownloadIni(strBase, &ports);
  std::string strImg, strCfp = "stale";
  LoadImagePath(strBase, &strImg, &strCfp);
  FUZZ_CHECK(strCfp.empty());
  FUZZ_CHECK(SaveDownloadIni(strBase, ports));
  PortSettings reread{};
  LoadDownloadIni(strBase, &reread);
  for (size_t i = 0; i < ports.size(); ++i) {
    FUZZ_CHECK(reread[i].m_bUsed == ports[i].m_bUsed);
    FUZZ_CHECK(reread[i].m_strPortNb == ports[i].m_strPortNb);
  }

  // The writer.
  const ChipList chips = LoadChipList(strBase);
  FUZZ_CHECK(chips.size() <= static_cast<size_t>(kMaxChips));
  for (const SChipEntry& chip : chips) FUZZ_CHECK(chip.m_strChipName != "None");
  WriterSettings loaded;
  if (!LoadSettings(strBase, chips, &loaded)) return 0;  // no boot image below PDL/PATH
  CheckLimits(loaded);
  FUZZ_CHECK(SaveSettings(strBase, loaded));
  WriterSettings reloaded;
  FUZZ_CHECK(LoadSettings(strBase, chips, &reloaded));
  FUZZ_CHECK(SameSettings(loaded, reloaded));
  return 0;
}
