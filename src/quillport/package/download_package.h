#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quillport/package/download_config.h"
#include "quillport/package/pack_list.h"

// One loaded firmware package with the file-list settings it is downloaded
// with. Never changed once made: the window holds the current one and each
// run holds the one it was started with, so a reload while other rows run
// leaves their package alive until the last of those runs ends.
class CDownloadPackage {
 public:
  CDownloadPackage(std::string strPath, std::vector<PackEntry> entries,
                   const SDownloadSettings& settings, std::string strSha256 = "");

  const std::string& Path() const { return m_strPath; }
  // Offsets absolute, chunk lengths as packed.
  const std::vector<PackEntry>& Entries() const { return m_entries; }
  const std::vector<FileEntry>& FileList() const { return m_fileList; }
  bool FormatFlash() const { return m_bFormatFlash; }
  // Lower-case hex SHA-256 of the whole package file as loaded; "" when it
  // could not be read.
  const std::string& Sha256() const { return m_strSha256; }

 private:
  const std::string m_strPath;
  const std::vector<PackEntry> m_entries;
  const std::vector<FileEntry> m_fileList;
  const bool m_bFormatFlash;
  const std::string m_strSha256;
};

// Reads the package at strPath; nullptr when it is refused. On a refusal that
// shows a message box, *pstrBoxText (when given) receives its text; it is
// left empty when there is none to show.
std::shared_ptr<const CDownloadPackage> LoadPackage(const std::string& strPath,
                                                    const SDownloadSettings& settings,
                                                    std::string* pstrBoxText = nullptr);
