#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/wait_handle.h"

enum class HistoryKind;

// A pool's candidates as the ledger walks them: positions are texts (a list
// index, a range counter), so that one cursor per source can be kept in the
// ledger for every station drawing from the same source.
struct SLedgerWalk {
  std::string strSource;                                   // same source, same cursor
  std::string strFirst;                                    // the position of the first entry
  std::function<bool(std::string* pPos)> fnStep;           // to the next; false past the end
  std::function<std::string(const std::string&)> fnEntry;  // the number at a position
  std::function<bool(const std::string&)> fnSkip;          // used here, maybe not in the ledger
  // True when a text read back from the ledger is a position of this walk:
  // a cursor another program (or a hostile hand) set is never used unchecked.
  std::function<bool(const std::string&)> fnIsPosition;
  // Set when entries are all of one length and sort as texts in position
  // order (a range): moves n positions on, false past the end. The ledger
  // may then count the used entries of a stretch at once instead of asking
  // entry by entry, so that a long run of used numbers costs a few queries.
  std::function<bool(std::string* pPos, uint64_t n)> fnAdvance;
};

// A station that holds a number in the ledger, and how.
struct SLedgerHolder {
  std::string strState;  // "claimed", "reserved" or "written"
  std::string strStation;
  std::string strStamp;  // when it was claimed, reserved or written
};

// Where numbers are claimed and recorded for every station of a factory, on
// top of each station's own histories. A number is in the ledger from the
// moment it is drawn (claimed), through the write-back (reserved) to the
// phone that passed or failed after the write-back (written).
class INumberLedger {
 public:
  virtual ~INumberLedger() = default;
  // The first entry of the walk no station holds, claimed for this one.
  // "" when the walk is used up; std::nullopt, with the reason, when the
  // ledger cannot be asked.
  virtual std::optional<std::string> Draw(HistoryKind eKind, const SLedgerWalk& walk,
                                          std::string* pError) = 0;
  // Before the numbers can reach a phone: all are this station's from now
  // on, or none is (false with the reason: unreachable, or held elsewhere).
  virtual bool Reserve(HistoryKind eKind, const std::vector<std::string>& numbers,
                       const std::string& strTime, std::string* pError) = 0;
  // A phone written again with the numbers it carries (rework): as Reserve,
  // but a number already written, by any station, is accepted and stays
  // written. One another station has claimed or reserved is still refused.
  virtual bool ReserveRework(HistoryKind eKind, const std::vector<std::string>& numbers,
                             const std::string& strTime, std::string* pError) = 0;
  // Who holds the number: *pHolder is std::nullopt when no station does.
  // False, with the reason, when the ledger cannot be asked.
  virtual bool FindHolder(HistoryKind eKind, const std::string& strNumber,
                          std::optional<SLedgerHolder>* pHolder, std::string* pError) = 0;
  // The kind's numbers this station claimed or reserved never left for a
  // phone: free again. Nothing happens when the ledger cannot be reached.
  virtual void Release(HistoryKind eKind) = 0;
  // The number is in a phone. When the ledger cannot be reached it goes to
  // the station's spool, replayed in order before any later ledger step;
  // false only when neither took it.
  virtual bool Record(HistoryKind eKind, const std::string& strNumber, const std::string& strTime,
                      std::string* pError) = 0;
  // The port of the phone being written, kept with the numbers recorded.
  virtual void SetComPort(int nPort) = 0;
  // While a run goes: a handle that is ready while its stop is requested.
  // A call waiting on the server then gives up at once, and what the run
  // still asks of the ledger is bounded; kNoWaitHandle after the run.
  virtual void WatchStop(platform::WaitHandle /*hStop*/) {}
};
