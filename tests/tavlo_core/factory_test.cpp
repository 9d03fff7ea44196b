#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <fstream>
#include <vector>

#include "pty_phone.h"
#include "tavlo/factory/factory_data.h"

namespace {

using Bytes = std::vector<uint8_t>;

class FactoryDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < m_image.size(); ++i) m_image[i] = static_cast<uint8_t>(i * 7 + 3);
    m_original = m_image;
  }
  FactoryDataImage Image() { return FactoryDataImage(m_image); }
  Bytes At(size_t offset, size_t length) const {
    return Bytes(m_image.begin() + offset, m_image.begin() + offset + length);
  }
  // Every byte outside [offset, offset + length) is as it was.
  void ExpectOnlyChanged(size_t offset, size_t length) const {
    for (size_t i = 0; i < m_image.size(); ++i) {
      if (i >= offset && i < offset + length) continue;
      ASSERT_EQ(m_image[i], m_original[i]) << "byte 0x" << std::hex << i;
    }
  }
  std::array<uint8_t, kFactoryDataSize> m_image{};
  std::array<uint8_t, kFactoryDataSize> m_original{};
  CTempDir m_dir;
};

TEST_F(FactoryDataTest, ImeiAreaHoldsHeaderSlotsAndMask) {
  m_image[0x2000] = 0x12;
  m_image[0x2001] = 0x81;
  m_image[0x2002] = 0x34;
  m_original = m_image;
  ASSERT_TRUE(FillImeiArea(Image(), "012345678901234", "490154203237518", "352099001761481",
                           "999999999999999"));
  const Bytes expected = {
      0x12, 0x01, 0x34, 0x47,                                // header, check byte 0x47
      0x03, 0x21, 0x43, 0x65, 0x87, 0x09, 0x21, 0x43, 0xF0,  // 012345678901234
      0x43, 0x09, 0x51, 0x24, 0x30, 0x32, 0x57, 0x81, 0xF0,  // 490154203237518
      0x33, 0x25, 0x90, 0x09, 0x10, 0x67, 0x41, 0x18, 0xF0,  // 352099001761481
      0x93, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0x99, 0xF0,  // 999999999999999
      0xF0,                                                  // slot mask
  };
  EXPECT_EQ(At(0x2000, 41), expected);
  ExpectOnlyChanged(0x2000, 41);

  m_original = m_image;
  EXPECT_FALSE(FillImeiArea(Image(), "012345678901234", "01234567890123", "012345678901234",
                            "012345678901234"));
  ExpectOnlyChanged(0, 0);
}

TEST_F(FactoryDataTest, HeaderFlagsAndCheckByte) {
  struct {
    uint8_t in[3];
    uint8_t nFlags, nCheck;
  } cases[] = {
      {{0x12, 0x81, 0x34}, 0x01, 0x47},
      {{0xFF, 0xFF, 0xFF}, 0x7F, 0x7F},  // 0xFF + 0x7F + 0xFF = 637 = 2 * 255 + 127
      {{0x10, 0x7E, 0x00}, 0x7F, 0x8F},
  };
  for (const auto& c : cases) {
    std::copy(c.in, c.in + 3, m_image.begin() + 0x2000);
    ASSERT_TRUE(FillImeiArea(Image(), "012345678901234", "012345678901234", "012345678901234",
                             "012345678901234"));
    EXPECT_EQ(m_image[0x2000], c.in[0]);
    EXPECT_EQ(m_image[0x2001], c.nFlags);
    EXPECT_EQ(m_image[0x2002], c.in[2]);
    EXPECT_EQ(m_image[0x2003], c.nCheck);
  }
}

TEST_F(FactoryDataTest, SerialFieldsCarryTheirLengthByteAtOffsetThree) {
  struct {
    bool bPsn;
    const char* pszText;
    Bytes expected;
  } cases[] = {
      {false,
       "ABCDEFGHIJKLMNOP",
       {'A', 'B', 'C', 0x11, 'D', 'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O', 'P'}},
      {true, "ABCDEFGHIJKLMNOPQRST", {'A', 'B', 'C', 0x15, 'D', 'E', 'F', 'G', 'H', 'I', 'J',
                                      'K', 'L', 'M', 'N',  'O', 'P', 'Q', 'R', 'S', 'T'}},
      {false, "XYZ", {'X', 'Y', 'Z', 0x04}},
      {true, "XY", {'X', 'Y', 0x00}},
      {false, "X", {'X', 0x00}},
  };
  for (const auto& c : cases) {
    SetUp();
    const int length = static_cast<int>(std::string(c.pszText).size());
    const size_t offset = 0x2000 + (c.bPsn ? 91 : 41);
    ASSERT_TRUE(c.bPsn ? FillPsnArea(Image(), c.pszText, length)
                       : FillMbsnArea(Image(), c.pszText, length));
    EXPECT_EQ(At(offset, c.expected.size()), c.expected) << c.pszText;
    ExpectOnlyChanged(offset, c.expected.size());
  }
  EXPECT_FALSE(FillMbsnArea(Image(), "ABC", 16));
  EXPECT_FALSE(FillPsnArea(Image(), std::string(255, 'x'), 255));
}

TEST_F(FactoryDataTest, LcdDdrBlockIsRebuiltWhole) {
  const std::string ddrPath = m_dir.File("ddr.bin");
  std::ofstream(ddrPath, std::ios::binary) << std::string("\x01\x02\x00\x03", 4);
  struct {
    bool bLcd, bDdr;
    const char* pszDdr;
    LcdDdrResult result;
    Bytes lcd;  // bytes from 8 on; the rest of the block is zero
    Bytes ddr;  // bytes from 136 on
  } cases[] = {
      {false, false, "ddr.bin", LcdDdrResult::Ok, {}, {}},
      {true, false, "ddr.bin", LcdDdrResult::Ok, {'m', 'c', 'u', '_', 'X'}, {}},
      {false, true, "ddr.bin", LcdDdrResult::Ok, {}, {0x01, 0x02, 0x00, 0x03}},
  };
  for (const auto& c : cases) {
    SetUp();
    const SLcdDdrInput input{0x66616374, "mcu", "X", m_dir.File(c.pszDdr)};
    EXPECT_EQ(FillLcdDdrBlock(Image(), c.bLcd, c.bDdr, input), c.result);
    Bytes expected(0x888, 0);
    const Bytes magic = {0x74, 0x63, 0x61, 0x66};
    std::copy(magic.begin(), magic.end(), expected.begin());
    std::copy(c.lcd.begin(), c.lcd.end(), expected.begin() + 8);
    std::copy(c.ddr.begin(), c.ddr.end(), expected.begin() + 136);
    EXPECT_EQ(At(0x3000, 0x888), expected) << c.bLcd << c.bDdr << c.pszDdr;
    ExpectOnlyChanged(0x3000, 0x888);
  }
}

TEST_F(FactoryDataTest, ADdrFileThatCannotBeReadFailsTheBlockAndWritesNothing) {
  // Gone since Start, or a FIFO that an open would wait on for ever.
  std::vector<const char*> unreadable = {"missing.bin"};
#ifndef _WIN32
  ASSERT_EQ(mkfifo(m_dir.File("ddr.fifo").c_str(), 0644), 0);
  unreadable.push_back("ddr.fifo");
#endif
  for (const char* pszDdr : unreadable) {
    SCOPED_TRACE(pszDdr);
    SetUp();
    const Bytes before = At(0x3000, 0x888);
    const SLcdDdrInput input{0x66616374, "mcu", "X", m_dir.File(pszDdr)};
    EXPECT_EQ(FillLcdDdrBlock(Image(), true, true, input), LcdDdrResult::DdrFileUnreadable);
    EXPECT_EQ(At(0x3000, 0x888), before);
  }
}

TEST_F(FactoryDataTest, LcdNameAndDdrFileMustFitTheirAreas) {
  const std::string ddrPath = m_dir.File("ddr.bin");
  struct {
    size_t nNameLength, nDdrSize;
    LcdDdrResult result;
  } cases[] = {
      {123, 2048, LcdDdrResult::Ok},  // "dsi_" + 123 = 127 characters and the zero
      {124, 0, LcdDdrResult::LcdNameTooLong},
      {0, 2049, LcdDdrResult::DdrFileTooLarge},
  };
  for (const auto& c : cases) {
    SetUp();
    std::ofstream(ddrPath, std::ios::binary) << std::string(c.nDdrSize, '\xA5');
    const SLcdDdrInput input{1, "dsi", std::string(c.nNameLength, 'n'), ddrPath};
    EXPECT_EQ(FillLcdDdrBlock(Image(), true, true, input), c.result) << c.nNameLength;
    if (c.result != LcdDdrResult::Ok) {
      ExpectOnlyChanged(0, 0);
      continue;
    }
    EXPECT_EQ(m_image[0x3000 + 8 + 126], 'n');
    EXPECT_EQ(m_image[0x3000 + 8 + 127], 0);
    EXPECT_EQ(At(0x3000 + 136, 2048), Bytes(2048, 0xA5));
    ExpectOnlyChanged(0x3000, 0x888);
  }
}

TEST_F(FactoryDataTest, ReadBackComparesHeaderAndSlotsOnly) {
  std::array<uint8_t, kFactoryDataSize> readBack = m_image;
  EXPECT_TRUE(ImeiAreaMatches(m_image, readBack));
  readBack[0x2000 + 40] ^= 1;  // slot mask
  readBack[0x2000 + 41] ^= 1;  // MBSN
  EXPECT_TRUE(ImeiAreaMatches(m_image, readBack));
  readBack[0x2000 + 39] ^= 1;
  EXPECT_FALSE(ImeiAreaMatches(m_image, readBack));
  readBack = m_image;
  readBack[0x2000] ^= 1;
  EXPECT_FALSE(ImeiAreaMatches(m_image, readBack));
}

}  // namespace
