#include "tavlo/settings/writer_settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

#include "common/ini_file.h"
#include "common/message_queue.h"

namespace {

// Profile reads were limited to 4095 characters.
constexpr size_t kMaxTextLength = 4095;

std::string ReadText(const char* pszSection, const char* pszKey, const char* pszDefault,
                     const std::string& strPath) {
  std::string value = IniGetString(pszSection, pszKey, pszDefault, strPath);
  if (value.size() > kMaxTextLength) value.resize(kMaxTextLength);
  return value;
}

bool ReadBool(const char* pszSection, const char* pszKey, const char* pszDefault,
              const std::string& strPath) {
  return ReadText(pszSection, pszKey, pszDefault, strPath) == "Yes";
}

int ReadInt(const char* pszSection, const char* pszKey, int nDefault, int nMin, int nMax,
            const std::string& strPath) {
  const int n = IniGetInt(pszSection, pszKey, nDefault, strPath);
  return n < nMin || n > nMax ? nDefault : n;
}

InputType ReadInputType(const char* pszSection, const std::string& strPath) {
  return static_cast<InputType>(
      ReadInt(pszSection, "INPUTTYPE", INPUT_MANUAL, INPUT_MANUAL, INPUT_CUSTOM, strPath));
}

// "0x" and up to eight hexadecimal digits; false when the text does not start so.
bool ParseMagic(const std::string& text, uint32_t* pValue) {
  if (text.size() < 3 || text[0] != '0' || text[1] != 'x') return false;
  uint32_t value = 0;
  size_t i = 2;
  for (; i < text.size() && i < 10; ++i) {
    const char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  if (i == 2) return false;
  *pValue = value;
  return true;
}

const char* YesNo(bool b) {
  return b ? "Yes" : "No";
}

}  // namespace

std::string JoinPath(const std::string& strBase, const std::string& strRelative) {
  if (strBase.empty() || strBase.back() == '/') return strBase + strRelative;
  return strBase + "/" + strRelative;
}

ChipList LoadChipList(const std::string& strBaseFolder) {
  const std::string path = JoinPath(strBaseFolder, kChipListFile);
  ChipList chips;
  for (int n = 1; n <= kMaxChips; ++n) {
    DispatchOnePending();
    const std::string section = "CHIP_" + std::to_string(n);
    std::string chipName = ReadText(section.c_str(), "CHIPNAME", "None", path);
    if (chipName == "None") break;
    chips.push_back({std::move(chipName), ReadText(section.c_str(), "FACTNAME", "None", path)});
  }
  return chips;
}

bool LoadSettings(const std::string& strBaseFolder, const ChipList& chips,
                  WriterSettings* pSettings) {
  const std::string path = JoinPath(strBaseFolder, kSettingsFile);
  WriterSettings& s = *pSettings;

  s.m_bWriteImei = ReadBool("GENERAL", "ISWIMEI", "No", path);
  s.m_bWriteMbsn = ReadBool("GENERAL", "ISWMBSN", "No", path);
  s.m_bWritePsn = ReadBool("GENERAL", "ISWPSN", "No", path);
  s.m_bWriteLcd = ReadBool("GENERAL", "ISLCD", "No", path);
  s.m_bWriteDdr = ReadBool("GENERAL", "ISDDR", "No", path);
  s.m_bCheckImei = ReadBool("GENERAL", "CHECK_IMEI", "Yes", path);
  ParseMagic(ReadText("GENERAL", "MAGIC_NUMBER", "0x66616374", path), &s.m_nMagicNumber);
  s.m_strChipset = ReadText("GENERAL", "CHIPSET", "None", path);

  // The folder is written with Windows separators in existing settings files.
  std::string imageDir = ReadText("PDL", "PATH", "images", path);
  std::replace(imageDir.begin(), imageDir.end(), '\\', '/');
  while (!imageDir.empty() && imageDir.back() == '/') imageDir.pop_back();
  s.m_strImageDir = JoinPath(strBaseFolder, imageDir);
  struct stat st;
  // A FIFO or a device in its place would hold every phone's upload.
  if (stat(JoinPath(s.m_strImageDir, kBootImageName).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
    return false;

  const auto chip = std::find_if(chips.begin(), chips.end(), [&](const SChipEntry& e) {
    return e.m_strChipName == s.m_strChipset;
  });
  if (chip != chips.end()) s.m_strFactName = chip->m_strFactName;

  s.m_strLcdName = ReadText("LCD", "NAME", "", path);
  s.m_strDdrPath = ReadText("DDR", "PATH", "", path);

  s.m_nImeiCount = ReadInt("WIMEI", "IMEINUM", 1, 1, 4, path);
  s.m_nImeiInputType = ReadInputType("WIMEI", path);
  s.m_bImei14Digits = ReadBool("WIMEI", "IS14CHAR", "No", path);
  s.m_bImeiAllSame = ReadBool("WIMEI", "ISALLSAME", "No", path);
  s.m_strImeiFile = ReadText("WIMEI", "FILEPATH", "None", path);
  s.m_strImeiInit15 = ReadText("WIMEI", "INITCODE15", "000000000000000", path);
  s.m_strImeiMask15 = ReadText("WIMEI", "MASKCODE15", "***************", path);
  s.m_strImeiInit14 = ReadText("WIMEI", "INITCODE14", "00000000000000", path);
  s.m_strImeiMask14 = ReadText("WIMEI", "MASKCODE14", "**************", path);

  s.m_nMbsnLength = ReadInt("WMBSN", "MBSNLEN", 16, 1, kMaxSerialLength, path);
  s.m_nMbsnInputType = ReadInputType("WMBSN", path);
  s.m_strMbsnFile = ReadText("WMBSN", "FILEPATH", "None", path);
  s.m_strMbsnInit = ReadText("WMBSN", "INITCODE", "0000000000000000", path);
  s.m_strMbsnMask = ReadText("WMBSN", "MASKCODE", "****************", path);

  s.m_nPsnLength = ReadInt("WPSN", "PSNLEN", 20, 1, kMaxSerialLength, path);
  s.m_nPsnInputType = ReadInputType("WPSN", path);
  s.m_strPsnFile = ReadText("WPSN", "FILEPATH", "None", path);
  s.m_strPsnInit = ReadText("WPSN", "INITCODE", "00000000000000000000", path);
  s.m_strPsnMask = ReadText("WPSN", "MASKCODE", "********************", path);
  return true;
}

bool SaveSettings(const std::string& strBaseFolder, const WriterSettings& s) {
  const std::string path = JoinPath(strBaseFolder, kSettingsFile);
  char magic[16];
  std::snprintf(magic, sizeof magic, "0x%08x", s.m_nMagicNumber);
  const struct {
    const char* pszSection;
    const char* pszKey;
    std::string strValue;
  } keys[] = {
      {"GENERAL", "ISWIMEI", YesNo(s.m_bWriteImei)},
      {"GENERAL", "ISWMBSN", YesNo(s.m_bWriteMbsn)},
      {"GENERAL", "ISWPSN", YesNo(s.m_bWritePsn)},
      {"GENERAL", "ISLCD", YesNo(s.m_bWriteLcd)},
      {"GENERAL", "ISDDR", YesNo(s.m_bWriteDdr)},
      {"GENERAL", "CHECK_IMEI", YesNo(s.m_bCheckImei)},
      {"GENERAL", "MAGIC_NUMBER", magic},
      {"GENERAL", "CHIPSET", s.m_strChipset},
      {"WIMEI", "IMEINUM", std::to_string(s.m_nImeiCount)},
      {"WIMEI", "INPUTTYPE", std::to_string(s.m_nImeiInputType)},
      {"WIMEI", "IS14CHAR", YesNo(s.m_bImei14Digits)},
      {"WIMEI", "ISALLSAME", YesNo(s.m_bImeiAllSame)},
      {"WIMEI", "FILEPATH", s.m_strImeiFile},
      {"WIMEI", "INITCODE15", s.m_strImeiInit15},
      {"WIMEI", "MASKCODE15", s.m_strImeiMask15},
      {"WIMEI", "INITCODE14", s.m_strImeiInit14},
      {"WIMEI", "MASKCODE14", s.m_strImeiMask14},
      {"WMBSN", "MBSNLEN", std::to_string(s.m_nMbsnLength)},
      {"WMBSN", "INPUTTYPE", std::to_string(s.m_nMbsnInputType)},
      {"WMBSN", "FILEPATH", s.m_strMbsnFile},
      {"WMBSN", "INITCODE", s.m_strMbsnInit},
      {"WMBSN", "MASKCODE", s.m_strMbsnMask},
      {"WPSN", "PSNLEN", std::to_string(s.m_nPsnLength)},
      {"WPSN", "INPUTTYPE", std::to_string(s.m_nPsnInputType)},
      {"WPSN", "FILEPATH", s.m_strPsnFile},
      {"WPSN", "INITCODE", s.m_strPsnInit},
      {"WPSN", "MASKCODE", s.m_strPsnMask},
      {"LCD", "NAME", s.m_strLcdName},
      {"DDR", "PATH", s.m_strDdrPath},
  };
  for (const auto& k : keys) {
    if (!IniWriteString(k.pszSection, k.pszKey, k.strValue, path)) return false;
  }
  return true;
}
