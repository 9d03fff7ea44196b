#pragma once

#include <cstdint>
#include <string>

// What a download worker needs of its port row: the row's controls and the
// notifications to the window. The Qt window, the console front end and the
// tests each implement IRowUi; the worker never sees which one it talks to.

// Row colours, 0x00RRGGBB.
using RowColor = uint32_t;
constexpr RowColor Rgb(uint8_t r, uint8_t g, uint8_t b) {
  return static_cast<RowColor>(r) << 16 | static_cast<RowColor>(g) << 8 | b;
}
inline constexpr RowColor COLOR_BASE = Rgb(230, 230, 210);
inline constexpr RowColor COLOR_IDLE = Rgb(250, 250, 250);
inline constexpr RowColor COLOR_BUSY = Rgb(220, 206, 35);
inline constexpr RowColor COLOR_FAIL = Rgb(220, 0, 0);
inline constexpr RowColor COLOR_PASS = Rgb(0, 220, 0);
inline constexpr RowColor COLOR_BLUE = Rgb(0, 0, 255);

// The window message that carries a notification in the original design.
inline constexpr uint32_t kUiNotifyMessage = 0x479;

enum EUiNotifyType : int32_t {
  TYPE_UI_INIT = 1,      // a phone cycle begins (sent)
  TYPE_UI_STOP = 2,      // the run ended on the stop flag (posted)
  TYPE_UI_END = 3,       // the run ended, last phone passed, stop flag clear (sent)
  TYPE_UI_PASS = 4,      // all images of a phone went in (sent)
  TYPE_UI_ERR = 5,       // a phone failed; m_strMsg is the failure text (posted)
  TYPE_UI_DETECTED = 6,  // waiting for the phone to go (posted while it answers, else sent)
  TYPE_UI_FINISH = 7,    // the run ended with the stop flag clear (posted)
};

// One notification of a row.
struct UiNotify {
  int32_t m_nType = 0;
  int32_t m_nIndex = 0;   // the row, 0..7
  std::string m_strPort;  // "端口", or "端口 <COM number>"
  std::string m_strMsg;   // the failure text where the type has one, else empty
  // Type 5 only: the failure came from the operator's stop cutting a wait
  // short; the phone counts as stopped, not failed.
  bool m_bByStop = false;
};

// The three text boxes of a row.
enum class ERowBox {
  Status,     // the current step
  State,      // connection state or image counter
  PortLabel,  // "端口" or the numbered port text
};

// Called from the worker's thread only. Texts are UTF-8.
//
// Row-control calls may be carried to the window thread asynchronously and
// may be coalesced (a Qt front end keeps only the latest progress position,
// so a slow window never holds the worker up once per data packet), but they
// must take effect in the order made, and all of them before a notification
// made after them is handled.
class IRowUi {
 public:
  virtual ~IRowUi() = default;

  virtual void SetBoxBkColor(ERowBox box, RowColor clr) = 0;
  virtual void SetBoxTextColor(ERowBox box, RowColor clr) = 0;
  virtual void SetBoxText(ERowBox box, const std::string& strText) = 0;
  virtual void SetProgressBkColor(RowColor clr) = 0;
  // 0..100, or -1 for an empty bar.
  virtual void SetProgressPos(int nPos) = 0;
  virtual void SetDotColor(RowColor clr) = 0;
  // The elapsed-time counter of the row.
  virtual void StartTimer() = 0;
  virtual void StopTimer() = 0;
  virtual void EnableRestart(bool bEnable) = 0;
  // The window's package Browse, cfp Browse, cfp X and Format flash controls.
  virtual void EnableSharedControls(bool bEnable) = 0;

  // bSend: return only after the window has handled it. Otherwise return at
  // once; the implementation keeps its own copy of the record, so a posted
  // notification reads as it was made even when the next one follows at once.
  virtual void Notify(const UiNotify& notify, bool bSend) = 0;
};
