// The READ_IMAGE_ATTR reply parser and the chunk-length rewrite. The input is
// the reply up to its first zero byte, as the worker cuts it; the bytes after
// that zero set the packed chunk lengths, the image lengths and the file
// list's PACKLEN values of a fixed package directory.

#include <array>
#include <cctype>
#include <cstring>
#include <string_view>

#include "fuzz_support.h"
#include "quillport/package/download_config.h"
#include "quillport/worker/image_list.h"

namespace {

constexpr std::array<const char*, 12> kEntryNames = {"PDL1",   "PDL2",     "bootloader", "boot",
                                                     "system", "modem",    "userdata",   "customer",
                                                     "vendor", "recovery", "logo",       "SYSTEM"};

// Reads little-endian words from the tail, 0 once it runs out.
class CTailReader {
 public:
  explicit CTailReader(std::string_view tail) : m_tail(tail) {}
  uint32_t Next() {
    uint32_t dw = 0;
    for (int i = 0; i < 4 && m_nAt < m_tail.size(); ++i, ++m_nAt) {
      dw |= uint32_t{static_cast<uint8_t>(m_tail[m_nAt])} << (8 * i);
    }
    return dw;
  }

 private:
  std::string_view m_tail;
  size_t m_nAt = 0;
};

bool Reported(const std::vector<ImageInfo>& infos, std::string_view name) {
  const std::string strKey = name == "PDL1" || name == "PDL2" ? "pdl" : std::string(name);
  for (const ImageInfo& info : infos) {
    if (info.m_strName.size() != strKey.size()) continue;
    bool bSame = true;
    for (size_t i = 0; i < strKey.size(); ++i) {
      bSame &= std::tolower(static_cast<unsigned char>(info.m_strName[i])) ==
               std::tolower(static_cast<unsigned char>(strKey[i]));
    }
    if (bSame) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const CFuzzFolder folder;
  const std::string_view input(reinterpret_cast<const char*>(pData), nSize);
  const size_t nZero = input.find('\0');
  const std::string_view reply = input.substr(0, nZero);
  CTailReader tail(nZero == std::string_view::npos ? std::string_view() : input.substr(nZero + 1));

  std::vector<PackEntry> packList(kEntryNames.size());
  std::vector<FileEntry> fileList(kEntryNames.size() - 1);  // one entry without a file-list length
  for (size_t i = 0; i < packList.size(); ++i) {
    std::strcpy(packList[i].m_szName, kEntryNames[i]);
    packList[i].m_dwPackLen = tail.Next();
    packList[i].m_dwSize = tail.Next();
    if (i < fileList.size()) fileList[i].m_nPackLen = static_cast<int32_t>(tail.Next());
  }
  const std::vector<PackEntry> before = packList;

  const SImageAttrParse parse = ParseImageAttr(reply);
  FUZZ_CHECK(parse.m_bHasSeparator == (reply.find('#') != std::string_view::npos));
  if (parse.m_bHasSeparator) {
    size_t nHashes = 0;
    for (char c : reply) nHashes += c == '#';
    FUZZ_CHECK(parse.m_items.size() + parse.m_rejected.size() == nHashes + 1);
  } else {
    FUZZ_CHECK(parse.m_items.empty() && parse.m_rejected.empty());
  }
  FUZZ_CHECK(parse.m_items.size() <= kMaxImageItems);
  for (const ImageInfo& info : parse.m_items) {
    FUZZ_CHECK(!info.m_strName.empty() && info.m_strName.size() <= kMaxImageFieldLen);
    FUZZ_CHECK(info.m_strName.find_first_of("#(") == std::string::npos);
    FUZZ_CHECK(info.m_nUnit > 0);
  }

  std::vector<ImageInfo> imageInfo = {{"stale", 1}};
  UpdateImageListInfo(reply, imageInfo, 1, fileList, packList);
  FUZZ_CHECK(imageInfo == parse.m_items);
  for (size_t i = 0; i < packList.size(); ++i) {
    const uint32_t dwOld = before[i].m_dwPackLen;
    const uint32_t dwNew = packList[i].m_dwPackLen;
    // A failed reply changes nothing; otherwise entries the phone did not
    // report keep their length, converted to bytes.
    if (!parse.m_bHasSeparator) {
      FUZZ_CHECK(dwNew == dwOld);
    } else if (!Reported(imageInfo, packList[i].m_szName)) {
      FUZZ_CHECK(dwNew == (dwOld < 4096 ? dwOld * 1024 : dwOld));
    }
    FUZZ_CHECK(packList[i].m_dwSize == before[i].m_dwSize);
    const uint32_t dwRepaired = RepairPackSize(dwNew, packList[i].m_szName, imageInfo);
    FUZZ_CHECK(dwRepaired == dwNew || dwNew < 4096);
  }
  return 0;
}
