#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One directory entry of a firmware package ("*_norq_total.bin"), a verbatim
// copy of its 1304 bytes except that m_dwOffset is made absolute (counted
// from the start of the file) when the package is loaded.
struct PackEntry {
  uint32_t m_dwOffset;   // first byte of the image in the file
  uint32_t m_dwSize;     // image length in bytes
  uint32_t m_dwPackLen;  // transfer chunk length (see the image list reconciliation)
  uint32_t m_dwAddr;     // download address, used when m_bIsAddr is set
  uint8_t m_reserved[128];  // an image digest (see below), else zero
  char m_szName[1152];   // "PDL1", "PDL2" or a partition name, NUL-terminated
  uint32_t m_bIsAddr;    // nonzero: started by address instead of by name
  uint32_t m_bNeedExec;  // nonzero: executed after its last data packet
};
static_assert(sizeof(PackEntry) == 1304, "a directory entry is 1304 bytes on disk");

inline constexpr uint32_t kPackEntrySize = sizeof(PackEntry);
inline constexpr int kMinPackNum = 3;
// Far above any real package (entries pair with FILE_1..FILE_255); bounds the
// directory read whatever a damaged or hostile file claims.
inline constexpr int kMaxPackNum = 1024;
inline constexpr uint64_t kMinPackageFileSize = 1024;

// quillport-pack keeps each image's SHA-256 in its entry's reserved bytes as
// the text "sha256:" and 64 lower-case hex digits, so that a hex dump shows
// it and a package built without digests (zero bytes there) is told apart.
inline constexpr char kDigestMark[] = "sha256:";
inline constexpr size_t kDigestHexLen = 64;
// The entry's stored digest in lower-case hex; empty when it carries none.
std::string EntryDigest(const PackEntry& entry);
// Stores strHex (64 lower-case hex digits) as the entry's digest.
void SetEntryDigest(PackEntry* pEntry, const std::string& strHex);

// Why a package file was refused.
enum class EPackFault {
  kNone,
  kMissing,         // no such file
  kTooSmall,        // below kMinPackageFileSize bytes
  kOpenFailed,      // not a readable regular file
  kFewEntries,      // nPackNum <= 2
  kTooManyEntries,  // nPackNum above kMaxPackNum
  kDirectoryCut,    // the file ends inside the directory
  kEntryOutside,    // an image runs past the end of the file or past 4 GiB
  kNameUnterminated,
};

// Size and modification time of a package file: a file that keeps both is
// taken to keep its bytes. The file's number and status-change time are
// compared too where the system keeps them, so that a file put in its place
// is told apart even within one tick of the clock. A file rewritten in place
// to the same size within the clock tick of its previous write keeps every
// stamp the system offers; only a writer that fast goes unnoticed.
struct SFileStamp {
  uint64_t m_nSize = 0;
  int64_t m_nModifiedNs = 0;
  uint64_t m_nFileId = 0;
  int64_t m_nChangedNs = 0;
  bool operator==(const SFileStamp&) const = default;
};

struct SPackDirectory {
  std::vector<PackEntry> m_entries;  // offsets made absolute
  int32_t m_nPackNum = 0;            // the stored count, also when refused
  uint64_t m_nFileSize = 0;
  int m_nBadEntry = -1;  // index of the entry that was refused
  SFileStamp m_stamp;    // of the file the directory was read from
};

class CPackFile;

// Reads and checks a package's directory (entry 0 is PDL1, entry 1 PDL2, then
// the partition images in download order): one bounded read of the directory, every image inside
// the file (and addressable with 32-bit offsets), every name NUL-terminated within its field.
// With ppFile, a valid directory hands over the file it was read from, open,
// so that the bytes checked and sent later are the ones of that file even
// when another file replaces it on disk.
EPackFault ReadPackDirectory(const std::string& strPath, SPackDirectory* pDir,
                             std::unique_ptr<CPackFile>* ppFile = nullptr);
// Operator-readable reason of a refusal, in English, for tools and logs.
std::string DescribePackFault(EPackFault eFault, const SPackDirectory& dir);

// A package file opened for reading, closed when it goes. Reads are
// positional, so that the rows can share one.
class CPackFile {
 public:
  explicit CPackFile(const std::string& strPath);
  ~CPackFile();
  CPackFile(const CPackFile&) = delete;
  CPackFile& operator=(const CPackFile&) = delete;

  bool IsOpen() const { return m_fd >= 0; }
  // Up to nLen bytes at nOffset; fewer only at the end of the file or on a
  // read error (a download leaves that to the phone's answer to its end).
  size_t ReadAt(void* pBuf, size_t nLen, uint64_t nOffset) const;
  // False when the file cannot be asked (it is not open).
  bool Stamp(SFileStamp* pStamp) const;

 private:
  int m_fd;
};
