#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillport/package/download_config.h"
#include "quillport/package/pack_list.h"

// One loaded firmware package with the file-list settings it is downloaded
// with. Never changed once made: the window holds the current one and each
// run holds the one it was started with, so a reload while other rows run
// leaves their package alive until the last of those runs ends.
//
// The package keeps its file open from the load: every run reads the image
// bytes from that one open file (positional reads, so rows share it), which
// are the bytes the load checked, even after the path has been given to a
// new file.
class CDownloadPackage {
 public:
  CDownloadPackage(std::string strPath, std::vector<PackEntry> entries,
                   const SDownloadSettings& settings, std::string strSha256 = {},
                   std::shared_ptr<const CPackFile> pFile = nullptr);

  const std::string& Path() const { return m_strPath; }
  // Offsets absolute, chunk lengths as packed.
  const std::vector<PackEntry>& Entries() const { return m_entries; }
  const std::vector<FileEntry>& FileList() const { return m_fileList; }
  bool FormatFlash() const { return m_bFormatFlash; }
  // Lower-case hex SHA-256 of the whole package file as loaded; empty for a
  // package made without its file.
  const std::string& Sha256() const { return m_strSha256; }
  // The file the load read, open; null for a package made without it.
  const CPackFile* File() const { return m_pFile.get(); }

 private:
  const std::string m_strPath;
  const std::vector<PackEntry> m_entries;
  const std::vector<FileEntry> m_fileList;
  const bool m_bFormatFlash;
  const std::string m_strSha256;
  const std::shared_ptr<const CPackFile> m_pFile;
};

// How far the check of a package's bytes has come, 0..100; called on the
// loading thread.
using PackageProgress = std::function<void(int nPercent)>;

// What one pass over a package's bytes found.
struct SPackageCheck {
  SFileStamp stamp;       // of the file as the directory was read
  std::string strSha256;  // of the whole file
  int nBadEntry = -1;     // the first image whose bytes differ from its stored digest
  bool bCut = false;      // the file ended before the size it had
};
// Reads the whole file once, checking every image that carries a digest.
SPackageCheck CheckPackageBytes(const CPackFile& file, const SPackDirectory& dir,
                                const PackageProgress& fnProgress = {});

// Reads the package at strPath and checks every image that carries a
// digest against its bytes, in one pass over the file that also takes the
// whole file's SHA-256. The pass is made once per file: a load of the same
// path with the same size and modification time reuses its result.
// nullptr when it is refused. On a refusal that shows a message box,
// *pstrBoxText (when given) receives its text; it is left empty when there is
// none to show.
std::shared_ptr<const CDownloadPackage> LoadPackage(const std::string& strPath,
                                                    const SDownloadSettings& settings,
                                                    std::string* pstrBoxText = nullptr,
                                                    const PackageProgress& fnProgress = {});
