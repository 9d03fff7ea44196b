#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Where each kind of number comes from; stored in the settings file as the integer.
enum InputType : int { INPUT_MANUAL = 0, INPUT_FROM_FILE = 1, INPUT_CUSTOM = 2 };

// A boolean the window thread may flip while the worker reads it (the Check
// IMEI box stays live during a run). Copyable so the settings stay a value.
class CLiveFlag {
 public:
  CLiveFlag(bool b = false) : m_bValue(b) {}
  CLiveFlag(const CLiveFlag& other) : m_bValue(other.Get()) {}
  CLiveFlag& operator=(const CLiveFlag& other) { return *this = other.Get(); }
  CLiveFlag& operator=(bool b) {
    m_bValue.store(b, std::memory_order_relaxed);
    return *this;
  }
  operator bool() const { return Get(); }
  bool Get() const { return m_bValue.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> m_bValue;  // the flag alone; no other data is published through it
};

// The writer's persistent choices, one record for the whole process. The
// initial values are those before the settings file is read.
struct WriterSettings {
  bool m_bWriteImei = false;
  bool m_bWriteMbsn = false;
  bool m_bWritePsn = false;
  bool m_bWriteLcd = false;
  bool m_bWriteDdr = false;
  CLiveFlag m_bCheckImei = true;
  uint32_t m_nMagicNumber = 0;  // an unparsable MAGIC_NUMBER keeps this value
  std::string m_strChipset = "None";
  std::string m_strFactName;  // derived from the chip list, never saved
  std::string m_strImageDir;  // derived from PDL/PATH, never saved; no trailing "/"

  int m_nImeiCount = 1;
  InputType m_nImeiInputType = INPUT_MANUAL;
  bool m_bImei14Digits = false;
  bool m_bImeiAllSame = false;
  std::string m_strImeiFile = "None";
  std::string m_strImeiInit15 = "000000000000000";
  std::string m_strImeiMask15 = "***************";
  std::string m_strImeiInit14 = "00000000000000";
  std::string m_strImeiMask14 = "**************";

  int m_nMbsnLength = 16;
  InputType m_nMbsnInputType = INPUT_MANUAL;
  std::string m_strMbsnFile = "None";
  std::string m_strMbsnInit = "0000000000000000";
  std::string m_strMbsnMask = "****************";

  int m_nPsnLength = 20;
  InputType m_nPsnInputType = INPUT_MANUAL;
  std::string m_strPsnFile = "None";
  std::string m_strPsnInit = "00000000000000000000";
  std::string m_strPsnMask = "********************";

  std::string m_strLcdName;
  std::string m_strDdrPath;

  // Started with --rework: a typed number already written may be written
  // again, into the phone that carries it. Never read or saved.
  bool m_bRework = false;
};

// One CHIP_n section of the chip list file.
struct SChipEntry {
  std::string m_strChipName;
  std::string m_strFactName;
};
using ChipList = std::vector<SChipEntry>;

inline constexpr int kMaxChips = 255;
// Longest MBSN or PSN: list lines were always read into a 256-byte buffer.
inline constexpr int kMaxSerialLength = 254;

inline constexpr const char* kSettingsFile = "ini/wimei.ini";
inline constexpr const char* kChipListFile = "ini/chipset.ini";
inline constexpr const char* kBootImageName = "boot_fact.bin";
// String 107, shown by the caller when LoadSettings fails.
inline constexpr const char* kMsgBootImageMissing =
    "boot_fact.bin不存在,请拷贝到工具的images目录中!";

// base folder + "/" + relative path.
std::string JoinPath(const std::string& strBase, const std::string& strRelative);

// Reads CHIP_1, CHIP_2, ... of ini/chipset.ini until a CHIPNAME is missing or
// "None", at most kMaxChips entries.
ChipList LoadChipList(const std::string& strBaseFolder);

// Fills *pSettings from ini/wimei.ini. Returns false, with the remaining keys
// unread, when the boot image is missing from the image folder. Values the
// rest of the writer cannot work with are replaced by their defaults: IMEINUM
// outside 1..4, INPUTTYPE outside 0..2, MBSNLEN/PSNLEN outside 1..254.
bool LoadSettings(const std::string& strBaseFolder, const ChipList& chips,
                  WriterSettings* pSettings);

// Writes the stored fields back to ini/wimei.ini; false when the file cannot be
// written (the ini folder is not created).
bool SaveSettings(const std::string& strBaseFolder, const WriterSettings& settings);
