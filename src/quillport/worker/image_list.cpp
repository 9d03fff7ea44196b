#include "quillport/worker/image_list.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "common/message_queue.h"
#include "common/op_log.h"
#include "common/text.h"
#include "quillport/package/download_config.h"
#include "quillport/package/pack_list.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPage = 4096;
constexpr uint32_t kPdlChunk = 4096, kPdlChunkOdd = 4224;
constexpr uint32_t kPartitionChunk = 0x20000, kPartitionChunkOdd = 0x21000;

bool IsOneOf(std::string_view name, std::initializer_list<const char*> names) {
  return std::any_of(names.begin(), names.end(),
                     [&](const char* psz) { return EqualsNoCase(std::string(name), psz); });
}

// Partitions sized by FitPackLen; the second group also logs the update.
bool IsMainPartition(std::string_view name) {
  return IsOneOf(name, {"bootloader", "boot", "system", "modem"});
}
bool IsDataPartition(std::string_view name) {
  return IsOneOf(name, {"userdata", "customer", "vendor", "recovery"});
}

// A plain decimal of 1..kMaxImageFieldLen digits that fits a positive int32.
std::optional<int32_t> ParseUnit(std::string_view text) {
  if (text.empty() || text.size() > kMaxImageFieldLen) return std::nullopt;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + (c - '0');
    if (n > INT32_MAX) return std::nullopt;
  }
  if (n <= 0) return std::nullopt;
  return static_cast<int32_t>(n);
}

std::optional<ImageInfo> ParseItem(std::string_view item) {
  const size_t nOpen = item.find('(');
  const size_t nClose = item.find(')');
  if (nOpen == std::string_view::npos || nClose == std::string_view::npos || nClose < nOpen ||
      nOpen == 0 || nOpen > kMaxImageFieldLen) {
    return std::nullopt;
  }
  const std::optional<int32_t> nUnit = ParseUnit(item.substr(nOpen + 1, nClose - nOpen - 1));
  if (!nUnit) return std::nullopt;
  return ImageInfo{std::string(item.substr(0, nOpen)), *nUnit};
}

int32_t FilePackLenKb(const std::vector<FileEntry>& fileList, size_t k) {
  // A package entry without its file-list section has no length of its own:
  // 0 makes FitPackLen keep the candidate.
  return k < fileList.size() ? fileList[k].m_nPackLen : 0;
}

}  // namespace

SImageAttrParse ParseImageAttr(std::string_view reply) {
  SImageAttrParse parse;
  parse.m_bHasSeparator = reply.find('#') != std::string_view::npos;
  if (!parse.m_bHasSeparator) return parse;
  size_t nItems = 0;
  for (size_t nAt = 0;;) {
    const size_t nHash = reply.find('#', nAt);
    const std::string_view item =
        reply.substr(nAt, nHash == std::string_view::npos ? nHash : nHash - nAt);
    std::optional<ImageInfo> info;
    if (++nItems <= kMaxImageItems) info = ParseItem(item);
    if (info) {
      parse.m_items.push_back(std::move(*info));
    } else {
      parse.m_rejected.emplace_back(item);
    }
    if (nHash == std::string_view::npos) break;
    nAt = nHash + 1;
  }
  return parse;
}

bool UnitDividesPage(int32_t nUnit) {
  return nUnit > 0 && kPage % static_cast<uint32_t>(nUnit) == 0;
}

uint32_t FitPackLen(uint32_t dwCandidate, int32_t nPackLenKb, uint32_t dwImageLen) {
  const int64_t a = dwCandidate;
  const int64_t d = int64_t{nPackLenKb} * 1024;
  const bool bFileLenFits = a <= d && d <= dwImageLen;
  if (!bFileLenFits) return dwCandidate;
  const int64_t nKb = a / 1024;
  const bool bPageSteps = a % kPage == 0 && nKb != 33 && nKb != 66 && nKb != 132 && nKb != 264;
  const int64_t n = bPageSteps ? d : int64_t{nPackLenKb / 4} * kPdlChunkOdd;
  return static_cast<uint32_t>(std::min<int64_t>(n, UINT32_MAX));
}

uint32_t RepairPackSize(uint32_t dwPackLen, std::string_view strName,
                        const std::vector<ImageInfo>& imageInfo) {
  if (dwPackLen >= kPage) return dwPackLen;
  struct SRow {
    std::initializer_list<const char*> names;
    uint32_t dwDivides, dwOther;
  };
  static const SRow kTable[] = {
      {{"PDL"}, kPdlChunk, kPdlChunkOdd},
      {{"bootloader", "boot"}, 65536, 67584},
      {{"userdata", "customer", "recovery"}, 16384, 16896},
      {{"system"}, 131072, 135168},
      {{"modem"}, 16384, 16896},
  };
  for (const ImageInfo& info : imageInfo) {
    if (!EqualsNoCase(info.m_strName, std::string(strName))) continue;
    for (const SRow& row : kTable) {
      if (IsOneOf(info.m_strName, row.names)) {
        return UnitDividesPage(info.m_nUnit) ? row.dwDivides : row.dwOther;
      }
    }
  }
  return dwPackLen;
}

void UpdateImageListInfo(std::string_view reply, std::vector<ImageInfo>& imageInfo, int nPort,
                         const std::vector<FileEntry>& fileList, std::vector<PackEntry>& packList) {
  WritePortLog(nPort, 0, "UpdateImageListInfo 1");
  imageInfo.clear();
  WritePortLog(nPort, 0, "UpdateImageListInfo 2");
  SImageAttrParse parse = ParseImageAttr(reply);
  if (!parse.m_bHasSeparator) {
    WritePortLog(nPort, kLogAlways, "READ_IMAGE_ATTR command failed!");
    return;
  }
  WritePortLog(nPort, 0, "UpdateImageListInfo 3");
  for (size_t i = 0; i < parse.m_items.size(); ++i) WritePortLog(nPort, 0, "UpdateImageListInfo 4");
  for (const std::string& strItem : parse.m_rejected) {
    WritePortLog(nPort, kLogAlways, "UpdateImageListInfo item [%s] not taken", strItem.c_str());
  }
  imageInfo = std::move(parse.m_items);
  for (const ImageInfo& info : imageInfo) {
    WritePortLog(nPort, 0, "%s,%d\n", info.m_strName.c_str(), static_cast<int>(info.m_nUnit));
  }
  WritePortLog(nPort, 0, "UpdateImageListInfo 5");

  for (size_t k = 0;; ++k) {
    DispatchOnePending();
    std::string strName;
    uint32_t dwImageLen = 0;
    if (k >= packList.size()) break;
    {
      const PackEntry& entry = packList[k];
      strName.assign(entry.m_szName, strnlen(entry.m_szName, sizeof entry.m_szName));
      dwImageLen = entry.m_dwSize;
    }
    WritePortLog(nPort, 0, "UpdateImageListInfo [%s]", strName.c_str());
    const std::string strKey = IsOneOf(strName, {"PDL1", "PDL2"}) ? "pdl" : strName;

    std::optional<uint32_t> dwNewLen;
    for (const ImageInfo& info : imageInfo) {
      const Clock::time_point start = Clock::now();
      if (EqualsNoCase(strKey, info.m_strName)) {
        if (EqualsNoCase(info.m_strName, "PDL")) {
          dwNewLen = UnitDividesPage(info.m_nUnit) ? kPdlChunk : kPdlChunkOdd;
          break;
        }
        const bool bData = IsDataPartition(info.m_strName);
        if (bData || IsMainPartition(info.m_strName)) {
          if (bData) WritePortLog(nPort, 0, "%s update size.", info.m_strName.c_str());
          const uint32_t dwCandidate =
              UnitDividesPage(info.m_nUnit) ? kPartitionChunk : kPartitionChunkOdd;
          dwNewLen = FitPackLen(dwCandidate, FilePackLenKb(fileList, k), dwImageLen);
          break;
        }
      }
      const std::chrono::duration<double> cost = Clock::now() - start;
      WritePortLog(nPort, 0, "--infolist [%s] cost time:%0.2f s--", strKey.c_str(), cost.count());
    }

    PackEntry& entry = packList[k];
    if (dwNewLen) entry.m_dwPackLen = *dwNewLen;
    if (entry.m_dwPackLen < kPage) entry.m_dwPackLen *= 1024;  // still in kilobytes
  }
}
