// quillport-pack: builds, lists and checks firmware packages for quillport,
// and prints the filelist.ini sections that pair with a package.

#include <CLI/CLI.hpp>
#include <cstdio>

#include "common/program_options.h"
#include "quillport/package/download_config.h"
#include "quillport/package/download_package.h"
#include "quillport/package/pack_list.h"
#include "quillport/package/pack_writer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitInvalid = 1;
constexpr int kExitUsage = 2;

const char* YesNo(uint32_t b) {
  return b ? "Yes" : "No";
}

bool ReadOrComplain(const std::string& strPath, SPackDirectory* pDir) {
  const EPackFault eFault = ReadPackDirectory(strPath, pDir);
  if (eFault == EPackFault::kNone) return true;
  std::fprintf(stderr, "%s: invalid: %s\n", strPath.c_str(),
               DescribePackFault(eFault, *pDir).c_str());
  return false;
}

int Create(const std::string& strManifest, const std::string& strOut) {
  std::vector<SPackImage> images;
  std::string strError;
  if (!ParsePackManifest(strManifest, &images, &strError) ||
      !WritePackage(strOut, images, &strError)) {
    std::fprintf(stderr, "quillport-pack: %s\n", strError.c_str());
    return kExitInvalid;
  }
  std::printf("%s: %zu images\n", strOut.c_str(), images.size());
  return kExitOk;
}

int List(const std::string& strPath) {
  SPackDirectory dir;
  if (!ReadOrComplain(strPath, &dir)) return kExitInvalid;
  std::printf("%-5s %-16s %10s %10s %8s %10s %-7s %-4s %s\n", "index", "name", "offset", "size",
              "chunk", "address", "by-addr", "exec", "sha256");
  for (size_t i = 0; i < dir.m_entries.size(); ++i) {
    const PackEntry& e = dir.m_entries[i];
    const std::string strDigest = EntryDigest(e);
    std::printf("%-5zu %-16s %10u %10u %8u 0x%08X %-7s %-4s %s\n", i, e.m_szName, e.m_dwOffset,
                e.m_dwSize, e.m_dwPackLen, e.m_dwAddr, YesNo(e.m_bIsAddr), YesNo(e.m_bNeedExec),
                strDigest.empty() ? "-" : strDigest.c_str());
  }
  return kExitOk;
}

int Verify(const std::string& strPath) {
  SPackDirectory dir;
  std::unique_ptr<CPackFile> pFile;
  const EPackFault eFault = ReadPackDirectory(strPath, &dir, &pFile);
  if (eFault != EPackFault::kNone) {
    std::fprintf(stderr, "%s: invalid: %s\n", strPath.c_str(),
                 DescribePackFault(eFault, dir).c_str());
    return kExitInvalid;
  }
  const SPackageCheck check = CheckPackageBytes(*pFile, dir);
  if (check.bCut) {
    std::fprintf(stderr, "%s: invalid: the file ended before its %llu bytes\n", strPath.c_str(),
                 static_cast<unsigned long long>(dir.m_nFileSize));
    return kExitInvalid;
  }
  if (check.nBadEntry >= 0) {
    std::fprintf(stderr, "%s: invalid: image %d (%s) does not match its SHA-256\n", strPath.c_str(),
                 check.nBadEntry, dir.m_entries[static_cast<size_t>(check.nBadEntry)].m_szName);
    return kExitInvalid;
  }
  size_t nDigests = 0;
  for (const PackEntry& e : dir.m_entries) nDigests += EntryDigest(e).empty() ? 0 : 1;
  std::printf("%s: valid, %zu images, %llu bytes, %zu image digests match, sha256 %s\n",
              strPath.c_str(), dir.m_entries.size(),
              static_cast<unsigned long long>(dir.m_nFileSize), nDigests, check.strSha256.c_str());
  return kExitOk;
}

int FileList(const std::string& strPath) {
  SPackDirectory dir;
  if (!ReadOrComplain(strPath, &dir)) return kExitInvalid;
  if (dir.m_entries.size() > static_cast<size_t>(kMaxFileEntries)) {
    std::fprintf(stderr, "%s: %zu images, but filelist.ini pairs at most %d\n", strPath.c_str(),
                 dir.m_entries.size(), kMaxFileEntries);
    return kExitInvalid;
  }
  for (size_t i = 0; i < dir.m_entries.size(); ++i) {
    const PackEntry& e = dir.m_entries[i];
    // PACKLEN is in kilobytes; a stored chunk length below 4096 already is.
    const uint32_t nKb = e.m_dwPackLen < 4096 ? e.m_dwPackLen : e.m_dwPackLen / 1024;
    std::printf(
        "%s[FILE_%zu]\nTITLE=%s\nPATH=%s.bin\nISSEL=Yes\nNEEDEXE=%s\nPACKLEN=%uk\nISADDR=%s\n"
        "STARTADDR=0x%08X\nPARTNAME=%s\n",
        i ? "\n" : "", i + 1, e.m_szName, e.m_szName, YesNo(e.m_bNeedExec), nKb, YesNo(e.m_bIsAddr),
        e.m_dwAddr, e.m_szName);
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Builds, lists and checks quillport firmware packages (*_norq_total.bin)."};
  AddVersionFlag(app, "quillport-pack");
  app.require_subcommand(1);
  std::string strManifest, strOut, strPackage;

  CLI::App* pCreate = app.add_subcommand("create", "build a package from a manifest");
  pCreate->add_option("manifest", strManifest, "manifest file")->required();
  pCreate->add_option("-o,--output", strOut, "package to write")->required();
  pCreate->footer(
      "Manifest: one [name] section per image in download order (PDL1, PDL2, partitions):\n"
      "  file    = path (relative to the manifest) or pattern:SIZE[:SEED], SIZE as 4096/128k/8M\n"
      "  addr    = load address (default 0)       by_addr = yes|no (default no)\n"
      "  exec    = yes|no (default no)            chunk   = bytes, or kilobytes below 4096\n"
      "                                                     (default 4096)\n"
      "Lines starting with # or ; are comments.");
  CLI::App* pList = app.add_subcommand("list", "print the directory as a table");
  CLI::App* pVerify =
      app.add_subcommand("verify",
                         "check the directory and every image's SHA-256; exit 0 valid, 1 invalid, "
                         "2 usage error");
  CLI::App* pFileList =
      app.add_subcommand("filelist", "print the FILE_n sections of filelist.ini for a package");
  for (CLI::App* pSub : {pList, pVerify, pFileList}) {
    pSub->add_option("package", strPackage, "package file")->required();
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {  // --help, --version
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  if (pCreate->parsed()) return Create(strManifest, strOut);
  if (pList->parsed()) return List(strPackage);
  if (pVerify->parsed()) return Verify(strPackage);
  return FileList(strPackage);
}
