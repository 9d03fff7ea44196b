#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quillport/package/download_config.h"
#include "quillport/package/pack_list.h"

// Matching transfer chunk lengths to the units the phone reports for its
// partitions (the READ_IMAGE_ATTR reply, items "name(unit)" joined by "#").

// One partition of the phone's image information list.
struct ImageInfo {
  std::string m_strName;
  int32_t m_nUnit = 0;

  bool operator==(const ImageInfo&) const = default;
};

// Parser limits: items beyond the 11th, and names or numbers of 20
// characters or more, are not taken.
inline constexpr size_t kMaxImageItems = 11;
inline constexpr size_t kMaxImageFieldLen = 19;

struct SImageAttrParse {
  bool m_bHasSeparator = false;         // false: the reply counts as a failed command
  std::vector<ImageInfo> m_items;       // the well-formed items, in reply order
  std::vector<std::string> m_rejected;  // items left out: malformed, out of limits, unit <= 0
};

// Splits the reply at every "#". Empty items, items without "(" and a ")"
// after it, names or numbers out of the limits, numbers that are not plain
// decimals and units of 0 or less are rejected, so the partitions they name
// keep their packed chunk lengths.
SImageAttrParse ParseImageAttr(std::string_view reply);

// True when 4096 is a whole multiple of nUnit (nUnit > 0).
bool UnitDividesPage(int32_t nUnit);

// The chunk length stored for a partition image: dwCandidate, or the file
// list's length (nPackLenKb kilobytes) when that lies between dwCandidate and
// the image length, counted in 4224-byte steps for the 2112-byte units.
uint32_t FitPackLen(uint32_t dwCandidate, int32_t nPackLenKb, uint32_t dwImageLen);

// The chunk length the download uses for one partition image: dwPackLen
// unless it is below 4096 and the phone reported the image with a known name.
uint32_t RepairPackSize(uint32_t dwPackLen, std::string_view strName,
                        const std::vector<ImageInfo>& imageInfo);

// Rebuilds imageInfo from the reply and rewrites m_dwPackLen of every entry
// of packList, the row's own copy of the package directory, with the lengths
// of fileList, whose entries pair with packList's by position. Logs to port
// nPort. Services one pending message of the thread per entry.
void UpdateImageListInfo(std::string_view reply, std::vector<ImageInfo>& imageInfo, int nPort,
                         const std::vector<FileEntry>& fileList, std::vector<PackEntry>& packList);
