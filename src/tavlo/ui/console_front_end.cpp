#include "tavlo/ui/console_front_end.h"

#include "common/text.h"
#include "tavlo/ui/writer_texts.h"

namespace {

constexpr const char* kReset = "\x1b[0m";

}  // namespace

void CWriterConsole::Print(const std::string& strText) {
  std::fputs(strText.c_str(), m_pOut);
  std::fputc('\n', m_pOut);
  std::fflush(m_pOut);
}

void CWriterConsole::MessageBox(const std::string& strText) {
  ++m_nMessages;
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
  if (!m_bTerminal) return Print(line.strText);
  const SLogLook look = LogLook(line.nKind);
  // The larger kinds of the window's log are drawn bold here.
  Print(std::string(look.nTwips > 256 ? "\x1b[1m" : "") + AnsiColour(false, look.colour) +
        line.strText + kReset);
}

void CWriterConsole::LogCleared() {
  Print(m_bTerminal ? "\x1b[2m----\x1b[0m" : "----");
}

void CWriterConsole::Changed() {
  if (!m_pWindow || m_pWindow->View().nBanner == m_nBanner) return;
  m_nBanner = m_pWindow->View().nBanner;
  const SBannerView banner = BannerView(m_nBanner);
  const std::string text = std::string("[") + banner.pszText + "]";
  if (!m_bTerminal) return Print(text);
  const SBannerLook& look = banner.look;
  Print("\x1b[1m" + AnsiColour(true, look.bk) + AnsiColour(false, look.text) + " " + text + " " +
        kReset);
}
