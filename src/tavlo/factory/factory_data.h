#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

// The phone's factory data partition, changed in place: the image is a view
// of the caller's buffer (the worker's packet buffer), never a copy.
inline constexpr size_t kFactoryDataSize = 0x4000;
using FactoryDataImage = std::span<uint8_t, kFactoryDataSize>;

inline constexpr size_t kIdentityRecordOffset = 0x2000;
inline constexpr size_t kImeiAreaCompared = 40;  // record bytes 0..39: header and four slots
inline constexpr size_t kMbsnFieldStart = 41;
inline constexpr size_t kPsnFieldStart = 91;
// The MBSN field (MBSNLEN + 1 bytes from kMbsnFieldStart) ends in front of
// the PSN field only up to this length: beyond it an MBSN runs over the PSN,
// and a PSN written later overwrites the MBSN's tail.
inline constexpr int kMaxMbsnLength = static_cast<int>(kPsnFieldStart - kMbsnFieldStart) - 1;
inline constexpr size_t kLcdDdrBlockOffset = 0x3000;
inline constexpr size_t kLcdDdrBlockSize = 0x888;
inline constexpr size_t kLcdNameAreaOffset = 8;
inline constexpr size_t kLcdNameAreaSize = 128;
inline constexpr size_t kDdrAreaOffset = 136;
inline constexpr size_t kDdrAreaSize = 2048;

// Identity record header, the four IMEI slots and the slot mask. False, and
// nothing written, unless every IMEI has 15 characters.
bool FillImeiArea(FactoryDataImage image, const std::string& strImei1, const std::string& strImei2,
                  const std::string& strImei3, const std::string& strImei4);
// The MBSN or PSN field with its length byte at field offset 3. False, and
// nothing written, unless the text has exactly nLength (1..254) characters.
bool FillMbsnArea(FactoryDataImage image, const std::string& strMbsn, int nLength);
bool FillPsnArea(FactoryDataImage image, const std::string& strPsn, int nLength);

// What the LCD/DDR block is built from: the magic word of the settings and the
// main window's LCD interface entry, LCD name and DDR path at the time of the call.
struct SLcdDdrInput {
  uint32_t m_nMagicNumber = 0;
  std::string m_strLcdInterface;  // "dsi", "rgb" or "mcu"
  std::string m_strLcdName;
  std::string m_strDdrPath;
};

enum class LcdDdrResult {
  Ok,
  DdrFileUnreadable,  // gone, not a regular file, or cut short while read; nothing written
  LcdNameTooLong,     // interface + "_" + name exceeds 127 characters; nothing written
  DdrFileTooLarge,    // more than 2048 bytes; nothing written
};

// Whether interface + "_" + name fits the LCD name area with its terminating zero.
inline bool LcdNameFits(const std::string& strInterface, const std::string& strName) {
  return strInterface.size() + 1 + strName.size() < kLcdNameAreaSize;
}

// Rebuilds the whole 2184-byte block at 0x3000. Rather than cut an LCD name or
// DDR firmware short, a value that does not fit refuses the phone.
LcdDdrResult FillLcdDdrBlock(FactoryDataImage image, bool bWriteLcd, bool bWriteDdr,
                             const SLcdDdrInput& input);

// The read-back check: bytes 0..39 of both identity records are equal.
bool ImeiAreaMatches(std::span<const uint8_t, kFactoryDataSize> written,
                     std::span<const uint8_t, kFactoryDataSize> readBack);
