#include "tavlo/factory/factory_data.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>

#include "platform/append_file.h"

namespace {

constexpr size_t kSlotSize = 9;
constexpr size_t kSlotMaskByte = 40;

uint8_t Nibble(char c) {
  return static_cast<uint8_t>(c) & 0x0F;
}

void EncodeImeiSlot(uint8_t* pSlot, const std::string& imei) {
  pSlot[0] = static_cast<uint8_t>(Nibble(imei[0]) << 4 | 0x3);
  for (size_t k = 1; k < 8; ++k) {
    pSlot[k] = static_cast<uint8_t>(Nibble(imei[2 * k]) << 4 | Nibble(imei[2 * k - 1]));
  }
  pSlot[8] = 0xF0;
}

bool FillSerialField(FactoryDataImage image, size_t nBase, const std::string& text, int nLength) {
  if (nLength < 1 || nLength > 254 || text.size() != static_cast<size_t>(nLength)) return false;
  uint8_t* pField = image.data() + kIdentityRecordOffset + nBase;
  const size_t length = text.size();
  size_t next = 0;
  // L + 1 bytes; the length byte sits at field offset 3, so the first three
  // characters come before it. Below L = 3 the last byte is the terminator.
  for (size_t p = 0; p <= length; ++p) {
    if (p == 3) {
      pField[p] = static_cast<uint8_t>(length + 1);
    } else {
      pField[p] = next < length ? static_cast<uint8_t>(text[next++]) : 0;
    }
  }
  return true;
}

}  // namespace

bool FillImeiArea(FactoryDataImage image, const std::string& strImei1, const std::string& strImei2,
                  const std::string& strImei3, const std::string& strImei4) {
  const std::string* imeis[] = {&strImei1, &strImei2, &strImei3, &strImei4};
  for (const std::string* p : imeis) {
    if (p->size() != 15) return false;
  }
  uint8_t* pRecord = image.data() + kIdentityRecordOffset;
  EncodeImeiSlot(pRecord + 4, strImei1);
  pRecord[1] = static_cast<uint8_t>((pRecord[1] & 0x7E) | 0x01);
  pRecord[3] = static_cast<uint8_t>((pRecord[0] + 256u * pRecord[1] + 65536u * pRecord[2]) % 255);
  for (size_t slot = 1; slot < 4; ++slot)
    EncodeImeiSlot(pRecord + 4 + slot * kSlotSize, *imeis[slot]);
  // Bit n-1 cleared for every filled slot n; all four always are.
  pRecord[kSlotMaskByte] = 0xF0;
  return true;
}

bool FillMbsnArea(FactoryDataImage image, const std::string& strMbsn, int nLength) {
  return FillSerialField(image, kMbsnFieldStart, strMbsn, nLength);
}

bool FillPsnArea(FactoryDataImage image, const std::string& strPsn, int nLength) {
  return FillSerialField(image, kPsnFieldStart, strPsn, nLength);
}

LcdDdrResult FillLcdDdrBlock(FactoryDataImage image, bool bWriteLcd, bool bWriteDdr,
                             const SLcdDdrInput& input) {
  std::array<uint8_t, kLcdDdrBlockSize> block{};
  for (size_t i = 0; i < 4; ++i) block[i] = static_cast<uint8_t>(input.m_nMagicNumber >> (8 * i));

  if (bWriteLcd) {
    if (!LcdNameFits(input.m_strLcdInterface, input.m_strLcdName))
      return LcdDdrResult::LcdNameTooLong;
    const std::string name = input.m_strLcdInterface + "_" + input.m_strLcdName;
    std::copy(name.begin(), name.end(), block.begin() + kLcdNameAreaOffset);
  }

  if (bWriteDdr) {
    // Start found the file; one that has gone since, or is cut short while
    // it is read, must fail the phone rather than go into it as zeros.
    const platform::COwnedFd file(platform::OpenRegularForReading(input.m_strDdrPath));
    struct stat st;
    if (file.Get() < 0 || fstat(file.Get(), &st) != 0) return LcdDdrResult::DdrFileUnreadable;
    if (static_cast<uint64_t>(st.st_size) > kDdrAreaSize) return LcdDdrResult::DdrFileTooLarge;
    const auto size = static_cast<long>(st.st_size);
    if (platform::ReadUpTo(file.Get(), block.data() + kDdrAreaOffset, kDdrAreaSize) != size)
      return LcdDdrResult::DdrFileUnreadable;
  }

  std::copy(block.begin(), block.end(), image.begin() + kLcdDdrBlockOffset);
  return LcdDdrResult::Ok;
}

bool ImeiAreaMatches(std::span<const uint8_t, kFactoryDataSize> written,
                     std::span<const uint8_t, kFactoryDataSize> readBack) {
  const auto first = written.begin() + kIdentityRecordOffset;
  return std::equal(first, first + kImeiAreaCompared, readBack.begin() + kIdentityRecordOffset);
}
