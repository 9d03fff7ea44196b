#include "quillport/ui/console_front_end.h"

#include "common/json_writer.h"
#include "common/text.h"
#include "quillport/ui/window_texts.h"

namespace {

std::string Bar(int nPos, int nWidth) {
  const int nFilled = nPos < 0 ? 0 : nPos * nWidth / 100;
  return std::string(static_cast<size_t>(nFilled), '#') +
         std::string(static_cast<size_t>(nWidth - nFilled), '.');
}

std::string Percent(int nPos) {
  return nPos < 0 ? "    " : std::to_string(nPos) + "%";
}

}  // namespace

void CConsoleFrontEnd::MessageBox(const std::string& strText) {
  std::fprintf(stderr, "quillport: %s\n", strText.c_str());
}

std::string CConsoleFrontEnd::PlainLine(const SWindowView& view, int nRow) const {
  const SRowView& row = view.rows[nRow];
  // Progress in tens, so that a log gets a line per tenth, not per packet.
  const int nTens = row.progress.nPos < 0 ? -1 : row.progress.nPos / 10 * 10;
  return "row " + std::to_string(nRow + 1) + " | " + PortLabelShown(row) + " | " + Percent(nTens) +
         " | " + row.stateBox.strText + " | " + row.statusBox.strText;
}

void CConsoleFrontEnd::ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) {
  IWindowHost::ServeQueueWhileWaiting(queue, nMs);
  if (m_pView) Render(*m_pView);
}

void CConsoleFrontEnd::Render(const SWindowView& view, bool bForce) {
  if (m_bJson) {
    RenderJson(view);
    return;
  }
  if (m_bTerminal) {
    DrawTerminal(view);
    return;
  }
  if (!m_bChanged && !bForce) return;
  m_bChanged = false;
  if (view.strPackageCheck != m_strLastCheck) {
    m_strLastCheck = view.strPackageCheck;
    if (!m_strLastCheck.empty()) {
      std::fprintf(m_pOut, "package | %s | %s\n", view.strPackPath.c_str(), m_strLastCheck.c_str());
    }
  }
  for (int i = 0; i < kPortRows; ++i) {
    if (!view.rows[i].bChecked) continue;
    std::string line = PlainLine(view, i);
    if (line == m_lastLines[i] && !bForce) continue;
    m_lastLines[i] = line;
    std::fprintf(m_pOut, "%s | %s\n", line.c_str(), view.rows[i].timer.Text().c_str());
  }
  std::fflush(m_pOut);
}

void CConsoleFrontEnd::DrawTerminal(const SWindowView& view) {
  std::string out;
  if (m_bDrawn) out += "\x1b[" + std::to_string(kPortRows + 1) + "F";  // back to the first line
  m_bDrawn = true;
  out += "\x1b[2K" + std::string(window_text::kBanner) + "   " + view.strPackPath + "  " +
         view.strPackageCheck + "\n";
  for (int i = 0; i < kPortRows; ++i) {
    const SRowView& row = view.rows[i];
    char head[16];
    std::snprintf(head, sizeof head, "%d %s ", i + 1, row.bChecked ? "[x]" : "[ ]");
    out += "\x1b[2K" + std::string(head);
    out += AnsiColour(false, COLOR_BLUE) + AnsiColour(true, row.portLabel.bk) + " " +
           PortLabelShown(row) + " \x1b[0m ";
    out += AnsiColour(true, row.progress.bk) + AnsiColour(false, 0) + "[" +
           Bar(row.progress.nPos, 30) + "] " + Percent(row.progress.nPos) + " \x1b[0m ";
    out += AnsiColour(true, row.stateBox.bk) + AnsiColour(false, row.stateBox.text) + " " +
           row.stateBox.strText + " \x1b[0m ";
    out += AnsiColour(true, row.statusBox.bk) + AnsiColour(false, row.statusBox.text) + " " +
           row.statusBox.strText + " \x1b[0m ";
    out += row.timer.Text() + " " + AnsiColour(false, row.dot) + "●\x1b[0m";
    out += "  ok " + std::to_string(row.nPassed) + " / fail " + std::to_string(row.nFailed) + "\n";
  }
  std::fputs(out.c_str(), m_pOut);
  std::fflush(m_pOut);
  m_bChanged = false;
}

void CConsoleFrontEnd::JsonLine(const std::string& strObject) {
  std::fprintf(m_pOut, "%s\n", strObject.c_str());
  std::fflush(m_pOut);
}

void CConsoleFrontEnd::RenderJson(const SWindowView& view) {
  for (int i = 0; i < kPortRows; ++i) {
    const SRowView& row = view.rows[i];
    if (!row.bChecked) continue;
    const std::string strState = CJsonObject()
                                     .Add("event", "row")
                                     .Add("row", i + 1)
                                     .Add("port", row.portLabel.strText)
                                     .Add("state", row.stateBox.strText)
                                     .Add("status", row.statusBox.strText)
                                     .Text();
    if (strState != m_lastStates[i]) {
      m_lastStates[i] = strState;
      JsonLine(strState);
    }
    // In steps of 5 %: a line controller needs the trend, not every packet.
    // The window keeps only the latest position, so a bar that moved further
    // since the last look is told through every step it passed.
    const int nStep = row.progress.nPos < 0 ? -1 : row.progress.nPos / 5 * 5;
    const int nLast = m_lastProgress[i];
    if (nStep != nLast) {
      m_lastProgress[i] = nStep;
      const int nFirst = nLast < 0 ? 0 : nStep > nLast ? nLast + 5 : nStep;
      for (int n = nFirst; nStep >= 0 && n <= nStep; n += 5) {
        JsonLine(CJsonObject().Add("event", "progress").Add("row", i + 1).Add("percent", n).Text());
      }
    }
  }
  m_bChanged = false;
}

void CConsoleFrontEnd::PhoneRecord(const std::string& strRecord) {
  if (m_bJson) JsonLine(CJsonObject().Add("event", "phone").AddRaw("record", strRecord).Text());
}

void CConsoleFrontEnd::Summary(int nPassed, int nFailed, int nStopped, int nExit) {
  if (!m_bJson) {
    std::fprintf(m_pOut, "quillport: %d phone(s) passed, %d failed, %d stopped\n", nPassed, nFailed,
                 nStopped);
    std::fflush(m_pOut);
    return;
  }
  JsonLine(CJsonObject()
               .Add("event", "summary")
               .Add("passed", nPassed)
               .Add("failed", nFailed)
               .Add("stopped", nStopped)
               .Add("exit", nExit)
               .Text());
}
