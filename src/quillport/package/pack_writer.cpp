#include "quillport/package/pack_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/digest.h"
#include "common/text.h"
#include "quillport/package/pack_list.h"

namespace {

constexpr size_t kIoBufferSize = 4 << 20;  // large writes keep 256 MiB packages quick

class CFd {
 public:
  explicit CFd(int fd) : m_fd(fd) {}
  ~CFd() { Close(); }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return m_fd; }
  bool Close() {
    const bool bOk = m_fd < 0 || close(m_fd) == 0;
    m_fd = -1;
    return bOk;
  }

 private:
  int m_fd;
};

bool WriteAll(int fd, const void* pBuf, size_t nLen) {
  const auto* p = static_cast<const uint8_t*>(pBuf);
  while (nLen > 0) {
    const ssize_t n = write(fd, p, nLen);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    nLen -= static_cast<size_t>(n);
  }
  return true;
}

uint64_t SplitMix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool ParseBool(const std::string& strText, bool* pb) {
  for (const char* psz : {"yes", "true", "1", "no", "false", "0"}) {
    if (EqualsNoCase(strText, psz)) {
      *pb = EqualsNoCase(strText, "yes") || EqualsNoCase(strText, "true") || strText == "1";
      return true;
    }
  }
  return false;
}

bool ParseWord(const std::string& strText, uint32_t* pdw) {
  uint64_t n = 0;
  if (!ParseByteCount(strText, &n) || n > UINT32_MAX) return false;
  *pdw = static_cast<uint32_t>(n);
  return true;
}

// The image's length: the pattern's size or the file's size.
bool SourceSize(const SPackImage& image, uint64_t* pnSize, std::string* pstrError) {
  uint64_t nSeed = 0;
  if (IsPatternSource(image.m_strSource)) {
    if (ParsePatternSource(image.m_strSource, pnSize, &nSeed)) return true;
    *pstrError = image.m_strName + ": bad pattern source \"" + image.m_strSource + "\"";
    return false;
  }
  struct stat st {};
  if (stat(image.m_strSource.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *pstrError = image.m_strName + ": no such file: " + image.m_strSource;
    return false;
  }
  *pnSize = static_cast<uint64_t>(st.st_size);
  return true;
}

bool CopyImage(int fdOut, const SPackImage& image, uint64_t nSize, std::vector<uint8_t>& buf,
               CSha256* pSha, std::string* pstrError) {
  uint64_t nSize2 = 0, nSeed = 0;
  const bool bPattern = ParsePatternSource(image.m_strSource, &nSize2, &nSeed);
  CFd in(bPattern ? -1 : open(image.m_strSource.c_str(), O_RDONLY | O_CLOEXEC));
  if (!bPattern && in.Get() < 0) {
    *pstrError = image.m_strName + ": cannot open " + image.m_strSource;
    return false;
  }
  for (uint64_t nDone = 0; nDone < nSize;) {
    const size_t nPiece = static_cast<size_t>(std::min<uint64_t>(buf.size(), nSize - nDone));
    if (bPattern) {
      FillPattern(nSeed, nDone, buf.data(), nPiece);
    } else {
      size_t nGot = 0;
      while (nGot < nPiece) {
        const ssize_t n = read(in.Get(), buf.data() + nGot, nPiece - nGot);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          *pstrError = image.m_strName + ": " + image.m_strSource + " changed while read";
          return false;
        }
        nGot += static_cast<size_t>(n);
      }
    }
    pSha->Update({buf.data(), nPiece});
    if (!WriteAll(fdOut, buf.data(), nPiece)) {
      *pstrError = std::string("write failed: ") + std::strerror(errno);
      return false;
    }
    nDone += nPiece;
  }
  return true;
}

}  // namespace

bool ParseByteCount(const std::string& strText, uint64_t* pnValue) {
  const std::string t = TrimBlanks(strText);
  if (t.empty() || t[0] < '0' || t[0] > '9') return false;
  const bool bHex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  char* pEnd = nullptr;
  errno = 0;
  const unsigned long long n = std::strtoull(t.c_str(), &pEnd, bHex ? 16 : 10);
  if (errno == ERANGE) return false;
  unsigned nShift = 0;
  if (*pEnd != '\0') {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*pEnd)));
    if (bHex || pEnd[1] != '\0' || !std::strchr("kmg", c)) return false;
    nShift = c == 'k' ? 10 : c == 'm' ? 20 : 30;
  }
  if (nShift > 0 && n > (UINT64_MAX >> nShift)) return false;
  *pnValue = static_cast<uint64_t>(n) << nShift;
  return true;
}

bool IsPatternSource(const std::string& strSource) {
  return strSource.rfind("pattern:", 0) == 0;
}

bool ParsePatternSource(const std::string& strSource, uint64_t* pnSize, uint64_t* pnSeed) {
  if (!IsPatternSource(strSource)) return false;
  const std::string strRest = strSource.substr(8);
  const size_t nColon = strRest.find(':');
  *pnSeed = 0;
  if (nColon != std::string::npos && !ParseByteCount(strRest.substr(nColon + 1), pnSeed)) {
    return false;
  }
  return ParseByteCount(strRest.substr(0, nColon), pnSize);
}

void FillPattern(uint64_t nSeed, uint64_t nOffset, uint8_t* pBuf, size_t nLen) {
  // Byte i is byte (i % 8) of a mixed counter i / 8, so any range is
  // reproducible on its own.
  const uint64_t nBase = nSeed * 0x9E3779B97F4A7C15ull;
  uint64_t nWord = nOffset / 8;
  size_t nSkip = static_cast<size_t>(nOffset % 8);
  while (nLen > 0) {
    const uint64_t v = SplitMix64(nBase + nWord++);
    uint8_t ab[8];
    std::memcpy(ab, &v, sizeof ab);
    const size_t nTake = std::min(nLen, sizeof ab - nSkip);
    std::memcpy(pBuf, ab + nSkip, nTake);
    pBuf += nTake;
    nLen -= nTake;
    nSkip = 0;
  }
}

bool ParsePackManifest(const std::string& strManifestPath, std::vector<SPackImage>* pImages,
                       std::string* pstrError) {
  std::ifstream in(strManifestPath);
  if (!in) {
    *pstrError = "cannot read " + strManifestPath;
    return false;
  }
  const size_t nSlash = strManifestPath.rfind('/');
  const std::string strFolder =
      nSlash == std::string::npos ? std::string() : strManifestPath.substr(0, nSlash + 1);
  pImages->clear();
  std::string strLine;
  for (int nLine = 1; std::getline(in, strLine); ++nLine) {
    const std::string t = TrimBlanks(strLine);
    auto fail = [&](const std::string& strWhat) {
      *pstrError = strManifestPath + ":" + std::to_string(nLine) + ": " + strWhat;
      return false;
    };
    if (t.empty() || t[0] == '#' || t[0] == ';') continue;
    if (t.front() == '[') {
      if (t.back() != ']') return fail("section line without ']'");
      SPackImage image;
      image.m_strName = TrimBlanks(t.substr(1, t.size() - 2));
      // The names go into a fixed field and are joined by "," for the phone.
      if (image.m_strName.empty() || image.m_strName.size() >= sizeof(PackEntry::m_szName) ||
          image.m_strName.find(',') != std::string::npos) {
        return fail("image name must be 1 to 1151 characters without ','");
      }
      pImages->push_back(std::move(image));
      continue;
    }
    const size_t nEq = t.find('=');
    if (nEq == std::string::npos) return fail("expected key = value");
    if (pImages->empty()) return fail("key before the first [name] section");
    const std::string strKey = TrimBlanks(t.substr(0, nEq));
    const std::string strValue = TrimBlanks(t.substr(nEq + 1));
    SPackImage& image = pImages->back();
    bool bOk = true;
    if (strKey == "file") {
      bOk = !strValue.empty();
      image.m_strSource =
          IsPatternSource(strValue) || strValue[0] == '/' || !bOk ? strValue : strFolder + strValue;
    } else if (strKey == "addr") {
      bOk = ParseWord(strValue, &image.m_dwAddr);
    } else if (strKey == "by_addr") {
      bOk = ParseBool(strValue, &image.m_bIsAddr);
    } else if (strKey == "exec") {
      bOk = ParseBool(strValue, &image.m_bNeedExec);
    } else if (strKey == "chunk") {
      bOk = ParseWord(strValue, &image.m_dwPackLen) && image.m_dwPackLen > 0;
    } else {
      return fail("unknown key \"" + strKey + "\"");
    }
    if (!bOk) return fail("bad value for " + strKey + ": \"" + strValue + "\"");
  }
  for (const SPackImage& image : *pImages) {
    if (image.m_strSource.empty()) {
      *pstrError = strManifestPath + ": [" + image.m_strName + "] has no file";
      return false;
    }
  }
  return true;
}

bool WritePackage(const std::string& strPath, const std::vector<SPackImage>& images,
                  std::string* pstrError) {
  if (images.size() < static_cast<size_t>(kMinPackNum) ||
      images.size() > static_cast<size_t>(kMaxPackNum)) {
    *pstrError = FormatText("a package holds %d to %d images, not %d", kMinPackNum, kMaxPackNum,
                            static_cast<int>(images.size()));
    return false;
  }
  const uint64_t nDirEnd = 4 + images.size() * uint64_t{kPackEntrySize};
  std::vector<PackEntry> entries(images.size());
  std::vector<uint64_t> sizes(images.size());
  uint64_t nDataLen = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    const SPackImage& image = images[i];
    if (!SourceSize(image, &sizes[i], pstrError)) return false;
    if (image.m_strName.size() >= sizeof(PackEntry::m_szName)) {
      *pstrError = image.m_strName.substr(0, 32) + "...: name too long";
      return false;
    }
    PackEntry& entry = entries[i];  // value-initialised: reserved bytes and name padding are 0
    entry.m_dwOffset = static_cast<uint32_t>(nDataLen);
    entry.m_dwSize = static_cast<uint32_t>(sizes[i]);
    entry.m_dwPackLen = image.m_dwPackLen;
    entry.m_dwAddr = image.m_dwAddr;
    std::memcpy(entry.m_szName, image.m_strName.data(), image.m_strName.size());
    entry.m_bIsAddr = image.m_bIsAddr ? 1 : 0;
    entry.m_bNeedExec = image.m_bNeedExec ? 1 : 0;
    nDataLen += sizes[i];
    if (nDirEnd + nDataLen > UINT32_MAX) {
      *pstrError = "the package would exceed the 4 GiB that 32-bit offsets reach";
      return false;
    }
  }

  const std::string strTemp = strPath + ".part";
  CFd out(open(strTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.Get() < 0) {
    *pstrError = "cannot create " + strTemp + ": " + std::strerror(errno);
    return false;
  }
  const int32_t nPackNum = static_cast<int32_t>(images.size());
  std::vector<uint8_t> buf(kIoBufferSize);
  bool bOk = WriteAll(out.Get(), &nPackNum, sizeof nPackNum) &&
             WriteAll(out.Get(), entries.data(), entries.size() * sizeof(PackEntry));
  if (!bOk) *pstrError = std::string("write failed: ") + std::strerror(errno);
  // Each image's digest is taken from the bytes as they are written, then
  // the directory is written again with them.
  for (size_t i = 0; bOk && i < images.size(); ++i) {
    CSha256 sha;
    bOk = CopyImage(out.Get(), images[i], sizes[i], buf, &sha, pstrError);
    if (bOk) SetEntryDigest(&entries[i], sha.FinishHex());
  }
  if (bOk && (lseek(out.Get(), sizeof nPackNum, SEEK_SET) != static_cast<off_t>(sizeof nPackNum) ||
              !WriteAll(out.Get(), entries.data(), entries.size() * sizeof(PackEntry)))) {
    *pstrError = std::string("write failed: ") + std::strerror(errno);
    bOk = false;
  }
  if (bOk && !out.Close()) {
    *pstrError = std::string("write failed: ") + std::strerror(errno);
    bOk = false;
  }
  // filesystem::rename replaces an existing package on every system.
  std::error_code ecRename;
  if (bOk) std::filesystem::rename(strTemp, strPath, ecRename);
  if (bOk && ecRename) {
    *pstrError = "cannot rename to " + strPath + ": " + ecRename.message();
    bOk = false;
  }
  if (!bOk) unlink(strTemp.c_str());
  return bOk;
}
