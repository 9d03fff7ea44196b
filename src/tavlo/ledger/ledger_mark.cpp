// The mark of a station that has been on the shared ledger, in both builds:
// a settings file that lost its [LEDGER] section (a save from a damaged
// file, a careless copy) must not quietly put the station back on its own
// histories, drawing numbers other stations may already have written.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tavlo/ledger/ledger_attach.h"
#include "tavlo/settings/writer_settings.h"

namespace {

bool Exists(const std::string& strPath) {
  return access(strPath.c_str(), F_OK) == 0 || errno != ENOENT;
}

constexpr char kMarkText[] =
    "This station works with the shared ledger of numbers.\n"
    "tavlo refuses to start without the [LEDGER] section of ini/wimei.ini while this file\n"
    "is here; delete it to leave the ledger on purpose.\n";

}  // namespace

bool CheckNeverOnLedger(const std::string& strBase, std::string* pError) {
  const std::string strSpool = JoinPath(strBase, kLedgerSpoolFile);
  const std::string strMark = JoinPath(strBase, kLedgerMarkFile);
  if (Exists(strSpool)) {
    if (pError) {
      *pError = strSpool +
                " holds outcomes the shared ledger has not recorded yet, but ini/wimei.ini "
                "has no [LEDGER] section (or cannot be read): restore the section, so that "
                "they are replayed";
    }
    return false;
  }
  if (Exists(strMark)) {
    if (pError) {
      *pError = "this station has worked with the shared ledger (" + strMark +
                "), but ini/wimei.ini has no [LEDGER] section (or cannot be read): restore "
                "the section, or delete " +
                kLedgerMarkFile + " to leave the ledger on purpose";
    }
    return false;
  }
  return true;
}

bool MarkOnLedger(const std::string& strBase, std::string* pError) {
  const std::string strMark = JoinPath(strBase, kLedgerMarkFile);
  if (access(strMark.c_str(), F_OK) == 0) return true;
  const int fd = open(strMark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EEXIST) return true;
  // Its being there is what counts, whatever of the text lands.
  const bool bOk = fd >= 0 && write(fd, kMarkText, sizeof kMarkText - 1) >= 0 && fsync(fd) == 0;
  const int nErr = errno;
  if (fd >= 0) close(fd);
  if (!bOk && pError) *pError = "cannot leave " + strMark + ": " + std::strerror(nErr);
  return bOk;
}
