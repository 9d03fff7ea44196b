// Matching chunk lengths to the units the phone reports.

#include "quillport/worker/image_list.h"

#include <gtest/gtest.h>

#include <cstring>

#include "quillport/package/download_config.h"
#include "quillport/package/pack_list.h"

namespace {

using Items = std::vector<ImageInfo>;

TEST(ImageAttrParser, TakesWellFormedItemsAndRejectsTheRest) {
  const std::string k19(19, 'n'), k20(20, 'n');
  std::string twelve;
  for (int i = 1; i <= 12; ++i) twelve += (i > 1 ? "#p" : "p") + std::to_string(i) + "(2048)";
  Items first11;
  for (int i = 1; i <= 11; ++i) first11.push_back({"p" + std::to_string(i), 2048});

  struct SCase {
    std::string strReply;
    bool bHasSeparator;
    Items items;
    size_t nRejected;
  };
  const SCase cases[] = {
      {"modem(2112)#system(2048)", true, {{"modem", 2112}, {"system", 2048}}, 0},
      {"system(2048)", false, {}, 0},
      {"", false, {}, 0},
      {twelve, true, first11, 1},
      {k19 + "(2048)#x(1)", true, {{k19, 2048}, {"x", 1}}, 0},
      {k20 + "(2048)#x(1)", true, {{"x", 1}}, 1},
      {"a(0000000000000002048)#b(00000000000000002048)", true, {{"a", 2048}}, 1},
      {"#modem(2112)", true, {{"modem", 2112}}, 1},
      {"modem(2112)##system(2048)#", true, {{"modem", 2112}, {"system", 2048}}, 2},
      {"modem2112)#system(2048#(512)", true, {}, 3},
      {"a)b(1#x(0)#y(-5)#z(12a)#w()#v(99999999999)", true, {}, 6},
      {"modem(2112)rest#sys(tem(4)", true, {{"modem", 2112}}, 1},
      // What the phone simulator answers for a damaged attribute reply.
      {"modem(2112#system)(20x8)##userdata(", true, {}, 4},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.strReply);
    const SImageAttrParse parse = ParseImageAttr(c.strReply);
    EXPECT_EQ(parse.m_bHasSeparator, c.bHasSeparator);
    EXPECT_EQ(parse.m_items, c.items);
    EXPECT_EQ(parse.m_rejected.size(), c.nRejected);
  }
}

TEST(FitPackLen, UsesTheFileListLengthOnlyWithinTheImage) {
  struct SCase {
    uint32_t dwCandidate;
    int32_t nPackLenKb;
    uint32_t dwImageLen;
    uint32_t dwExpected;
  };
  const SCase cases[] = {
      {131072, 256, 1 << 20, 262144},           // larger file-list chunk within the image
      {131072, 256, 200 << 10, 131072},         // larger than the image
      {131072, 128, 1 << 20, 131072},           // equal to the candidate
      {131072, 64, 1 << 20, 131072},            // below the candidate
      {131072, 0, 1 << 20, 131072},             // no file-list length
      {131072, -8, 1 << 20, 131072},            // nonsense length
      {131072, INT32_MAX, UINT32_MAX, 131072},  // no overflow of the kilobytes
      {135168, 256, 262144, 270336},            // 2112-byte units: 64 steps of 4224
      {135168, 256, 262143, 135168},
      {135168, 128, 1 << 20, 135168},  // below the candidate
      {135168, 258, 1 << 20, 270336},  // kilobytes counted in whole 4-KiB steps
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dwCandidate << " " << c.nPackLenKb << " " << c.dwImageLen);
    EXPECT_EQ(FitPackLen(c.dwCandidate, c.nPackLenKb, c.dwImageLen), c.dwExpected);
  }
}

TEST(RepairPackSize, SizesShortChunksByTheReportedUnit) {
  const Items page{{"PDL", 2048},     {"system", 2048}, {"BOOT", 1024},
                   {"userdata", 512}, {"modem", 4096},  {"recovery", 2048},
                   {"cache", 2048},   {"vendor", 2048}, {"customer", 1}};
  const Items odd{{"PDL", 2112},      {"system", 2112}, {"bootloader", 2112},
                  {"userdata", 2112}, {"modem", 2112},  {"customer", 3000}};
  struct SCase {
    uint32_t dwPackLen;
    const char* pszName;
    const Items* pList;
    uint32_t dwExpected;
  };
  const SCase cases[] = {
      {4096, "system", &page, 4096},  // 4096 and above pass through
      {262144, "modem", &odd, 262144},
      {4, "PDL", &page, 4096},
      {4, "pdl", &odd, 4224},
      {128, "system", &page, 131072},
      {128, "system", &odd, 135168},
      {64, "boot", &page, 65536},  // names compared without regard to case
      {64, "bootloader", &odd, 67584},
      {16, "userdata", &page, 16384},
      {16, "userdata", &odd, 16896},
      {16, "recovery", &page, 16384},
      {16, "customer", &odd, 16896},
      {16, "customer", &page, 16384},
      {16, "modem", &page, 16384},
      {16, "modem", &odd, 16896},
      {16, "cache", &page, 16},   // reported, but not a sized name
      {16, "vendor", &page, 16},  // sized by the reconciliation only
      {16, "misc", &page, 16},    // not reported
      {0, "system", &page, 131072},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pszName << " " << c.dwPackLen);
    EXPECT_EQ(RepairPackSize(c.dwPackLen, c.pszName, *c.pList), c.dwExpected);
  }
}

PackEntry Entry(const char* pszName, uint32_t dwPackLen, uint32_t dwSize) {
  PackEntry entry{};
  std::strncpy(entry.m_szName, pszName, sizeof entry.m_szName - 1);
  entry.m_dwPackLen = dwPackLen;
  entry.m_dwSize = dwSize;
  return entry;
}

class UpdateImageList : public ::testing::Test {
 protected:
  // Loads the entries, with file-list lengths for the first nFileEntries of them.
  void Load(const std::vector<std::tuple<const char*, uint32_t, uint32_t, int32_t>>& rows,
            size_t nFileEntries) {
    m_packList.clear();
    m_fileList.clear();
    for (const auto& [pszName, dwPackLen, dwSize, nKb] : rows) {
      m_packList.push_back(Entry(pszName, dwPackLen, dwSize));
      if (m_fileList.size() < nFileEntries) {
        m_fileList.emplace_back();
        m_fileList.back().m_nPackLen = nKb;
      }
    }
  }
  std::vector<uint32_t> PackLens() const {
    std::vector<uint32_t> lens;
    for (const PackEntry& entry : m_packList) lens.push_back(entry.m_dwPackLen);
    return lens;
  }

  std::vector<PackEntry> m_packList;
  std::vector<FileEntry> m_fileList;
};

TEST_F(UpdateImageList, RewritesChunkLengthsOfReportedPartitions) {
  struct SCase {
    const char* pszReply;
    size_t nFileEntries;
    Items expectedList;
    std::vector<uint32_t> expectedLens;
  };
  // PDL1, PDL2, system (1 MiB, 256 KB), modem (1 MiB, 256 KB), userdata
  // (100000, 256 KB), vendor (1 MiB, 128 KB), cache (packed 4, not sized).
  const SCase cases[] = {
      {"PDL(2048)#system(2048)#modem(2112)#userdata(2048)#vendor(2112)#cache(2048)",
       7,
       {{"PDL", 2048},
        {"system", 2048},
        {"modem", 2112},
        {"userdata", 2048},
        {"vendor", 2112},
        {"cache", 2048}},
       {4096, 4096, 262144, 270336, 131072, 135168, 4096}},
      {"pdl(2112)#SYSTEM(2112)#modem(2048)",
       7,
       {{"pdl", 2112}, {"SYSTEM", 2112}, {"modem", 2048}},
       {4224, 4224, 270336, 262144, 65536, 65536, 4096}},
      // Entries without a file-list section keep the candidate.
      {"system(2048)#modem(2112)",
       2,
       {{"system", 2048}, {"modem", 2112}},
       {8192, 8192, 131072, 135168, 65536, 65536, 4096}},
      // Not a list: the command counts as failed and nothing changes.
      {"system(2048)", 7, {}, {8, 8, 64, 64, 64, 64, 4}},
      // A list without usable items still converts kilobytes.
      {"modem(2112#system)(20x8)##userdata(",
       7,
       {},
       {8192, 8192, 65536, 65536, 65536, 65536, 4096}},
  };
  for (const SCase& c : cases) {
    SCOPED_TRACE(c.pszReply);
    Load({{"PDL1", 8, 9000, 4},
          {"PDL2", 8, 20000, 4},
          {"system", 64, 1 << 20, 256},
          {"modem", 64, 1 << 20, 256},
          {"userdata", 64, 100000, 256},
          {"vendor", 64, 1 << 20, 128},
          {"cache", 4, 10000, 4}},
         c.nFileEntries);
    std::vector<ImageInfo> list{{"stale", 1}};
    UpdateImageListInfo(c.pszReply, list, 31, m_fileList, m_packList);
    EXPECT_EQ(list, c.expectedList);
    EXPECT_EQ(PackLens(), c.expectedLens);
  }
}

}  // namespace
