#pragma once

#include <array>
#include <atomic>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tavlo/numbers/number_pool.h"
#include "tavlo/settings/write_history.h"
#include "tavlo/settings/writer_settings.h"

// The main window's number fields, in the order the worker addresses them.
enum class ENumberField { Imei1, Imei2, Imei3, Imei4, Mbsn, Psn };

// Window message WM_WRITE_NOTIFY and its codes.
inline constexpr uint32_t kWriteNotifyMessage = 0x465;
inline constexpr int kNotifyRunOver = 0;
inline constexpr int kNotifyImeiTyped = 1;
inline constexpr int kNotifyMbsnTyped = 2;
inline constexpr int kNotifyPsnTyped = 3;

// Log kinds of the window's log.
inline constexpr int kLogSummary = 1;
inline constexpr int kLogProgress = 2;
inline constexpr int kLogSuccess = 3;
inline constexpr int kLogError = 4;
inline constexpr int kLogWriteOk = -3;

// Strings 122 to 127.
inline constexpr const char* kMsgNoImei = "没有可用的IMEI号!";
inline constexpr const char* kMsgNoMbsn = "没有可用的MBSN号!";
inline constexpr const char* kMsgNoPsn = "没有可用的PSN号!";
inline constexpr const char* kMsgBadImei = "请输入有效的IMEI号码!";
inline constexpr const char* kMsgBadMbsn = "请输入有效的MBSN号码!";
inline constexpr const char* kMsgBadPsn = "请输入有效的PSN号码!";
// A typed number already written, refused without --rework.
inline constexpr const char* kMsgWrittenAgain =
    "not written again. To write it again into the phone that carries it (rework), start tavlo "
    "with --rework.";
// Said in the log when --rework takes it.
inline constexpr const char* kReworkLine = "Rework: ";
// A draw through the shared ledger that could not reach it.
inline constexpr const char* kLedgerDownLine = "The shared ledger cannot be reached!";
inline constexpr const char* kMsgLedgerDown =
    "The shared ledger cannot be reached: no number was drawn, the phone is not written.";

// What the numbers of one phone need of the main window. Every call comes
// from the worker thread; the implementation carries it to the window.
class INumberFieldsUi {
 public:
  virtual ~INumberFieldsUi() = default;
  virtual void DisplayEchoText(const std::string& strText, int nKind) = 0;
  // Posts WM_WRITE_NOTIFY with the code; does not wait.
  virtual void PostWriteNotify(int nCode) = 0;
  virtual std::string GetFieldText(ENumberField eField) = 0;
  virtual void SetFieldText(ENumberField eField, const std::string& strText) = 0;
  // Focuses the field and selects its whole text.
  virtual void FocusAndSelectField(ENumberField eField) = 0;
  // An OK-only message box; returns once the operator has closed it.
  virtual void ShowMessage(const std::string& strText) = 0;
};

struct SPhoneNumbers {
  std::array<std::string, 4> m_strImei;
  std::string m_strMbsn;
  std::string m_strPsn;
};

enum class EPrepareResult { Ready, Refused, Exhausted };

// Which numbers the next phone receives, and recording them once written.
// Worker thread only; the numbers are kept between the phones of one run.
class CPhoneNumbers {
 public:
  CPhoneNumbers(const WriterSettings& settings, CNumberSources& sources, CWriteHistories& histories,
                INumberFieldsUi& ui)
      : m_settings(settings), m_sources(sources), m_histories(histories), m_ui(ui) {}

  // From the fields or the pools. Refused (an invalid typed number): the
  // operator has been told, *pBusy cleared and code 0 posted. Exhausted: a
  // pool has no unused number; logged and told, the caller fails the phone.
  EPrepareResult PrepareNumbers(std::atomic<bool>* pBusy);
  // Notes the numbers on disk before they can reach the phone, so that a
  // crash from then on cannot hand them out again; false with the reason.
  bool ReserveNumbers(std::string* pError = nullptr);
  // The numbers never left for the phone: free again for the next one.
  void ReleaseNumbers();
  // Appends the numbers to their histories, one time stamp per kind. Every
  // append is tried even after one fails, so every number stays used in
  // memory; false, with the first reason in *pError, unless all reached the
  // disk (the reservation then stays for the next start to record).
  bool RecordNumbers(std::string* pError = nullptr);
  // Codes 1, 2, 3 for the kinds typed by hand.
  void NotifyTypedKinds();
  // Empties the fields of the kinds written, for the next drawn numbers.
  void ClearNumberFields();

  const SPhoneNumbers& Numbers() const { return m_numbers; }
  // The run's stop request: a draw it cut short shows no message box, which
  // would hold the stopped run until the operator closed it.
  void WatchStop(const std::atomic<bool>& bStop) { m_pStop = &bStop; }

 private:
  EPrepareResult Refuse(ENumberField eField, const std::string& strMessage,
                        std::atomic<bool>* pBusy);
  // A typed number found in its history or held in the ledger: refused, or
  // with --rework taken as a rework (logged, recorded as one). Ready when
  // the number may be written.
  EPrepareResult CheckNotWritten(HistoryKind eKind, ENumberField eField,
                                 const std::string& strNumber, std::atomic<bool>* pBusy);
  EPrepareResult Exhausted(const std::string& strLine, const char* pszMessage);
  void CopyImei1AboveCount();
  bool ValidImei(const std::string& s) const;
  // The numbers of each kind this phone receives, by the Write boxes.
  std::vector<std::pair<HistoryKind, std::vector<std::string>>> NumbersToWrite() const;

  const WriterSettings& m_settings;
  CNumberSources& m_sources;
  CWriteHistories& m_histories;
  INumberFieldsUi& m_ui;
  SPhoneNumbers m_numbers;
  // The typed numbers of this phone that are already written: a rework.
  std::set<std::pair<HistoryKind, std::string>> m_rework;
  const std::atomic<bool>* m_pStop = nullptr;
};

inline ENumberField ImeiField(int nSlot) {
  return static_cast<ENumberField>(nSlot);
}
