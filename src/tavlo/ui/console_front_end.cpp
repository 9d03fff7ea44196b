#include "tavlo/ui/console_front_end.h"

#include "common/json_writer.h"
#include "common/text.h"
#include "tavlo/ui/writer_texts.h"

namespace {

constexpr const char* kReset = "\x1b[0m";

// The --json names of the banner states and of the log's kinds.
const char* StateName(int nBanner) {
  switch (nBanner) {
    case kStateIdle:
      return "idle";
    case kStateWriting:
      return "writing";
    case kStateDone:
      return "done";
    case kStateFailed:
      return "failed";
    default:
      return "off";
  }
}

const char* KindName(int nKind) {
  switch (nKind) {
    case kLogSummary:
      return "summary";
    case kLogSuccess:
      return "success";
    case kLogError:
      return "error";
    case kLogWriteOk:
      return "written";
    default:
      return "progress";
  }
}

}  // namespace

void CWriterConsole::Print(const std::string& strText) {
  std::fputs(strText.c_str(), m_pOut);
  std::fputc('\n', m_pOut);
  std::fflush(m_pOut);
}

void CWriterConsole::MessageBox(const std::string& strText) {
  ++m_nMessages;
  if (m_bJson) return Print(CJsonObject().Add("event", "message").Add("text", strText).Text());
  std::string text = strText;
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  if (m_bTerminal) {
    Print("\x1b[1m" + AnsiColour(false, 0xFFFF00) + "[message] " + text + kReset);
  } else {
    Print("[message] " + text);
  }
}

void CWriterConsole::LogAppended(const SLogLine& line) {
  if (m_bJson) {
    return Print(CJsonObject()
                     .Add("event", "log")
                     .Add("kind", KindName(line.nKind))
                     .Add("text", line.strText)
                     .Text());
  }
  if (!m_bTerminal) return Print(line.strText);
  const SLogLook look = LogLook(line.nKind);
  // The larger kinds of the window's log are drawn bold here.
  Print(std::string(look.nTwips > 256 ? "\x1b[1m" : "") + AnsiColour(false, look.colour) +
        line.strText + kReset);
}

void CWriterConsole::LogCleared() {
  if (m_bJson) return;  // a new phone's lines follow; nothing for a controller to act on
  Print(m_bTerminal ? "\x1b[2m----\x1b[0m" : "----");
}

void CWriterConsole::Changed() {
  if (!m_pWindow || m_pWindow->View().nBanner == m_nBanner) return;
  m_nBanner = m_pWindow->View().nBanner;
  const SBannerView banner = BannerView(m_nBanner);
  if (m_bJson) {
    return Print(CJsonObject()
                     .Add("event", "state")
                     .Add("state", StateName(m_nBanner))
                     .Add("text", banner.pszText)
                     .Text());
  }
  const std::string text = std::string("[") + banner.pszText + "]";
  if (!m_bTerminal) return Print(text);
  const SBannerLook& look = banner.look;
  Print("\x1b[1m" + AnsiColour(true, look.bk) + AnsiColour(false, look.text) + " " + text + " " +
        kReset);
}

void CWriterConsole::PhoneRecord(const std::string& strRecord) {
  if (m_bJson) Print(CJsonObject().Add("event", "phone").AddRaw("record", strRecord).Text());
}

void CWriterConsole::Summary(int nWritten, int nFailed, int nStopped, int nExit) {
  if (!m_bJson) {
    return Print(FormatText("tavlo: %d phone(s) written, %d failed, %d stopped", nWritten, nFailed,
                            nStopped));
  }
  Print(CJsonObject()
            .Add("event", "summary")
            .Add("written", nWritten)
            .Add("failed", nFailed)
            .Add("stopped", nStopped)
            .Add("exit", nExit)
            .Text());
}
