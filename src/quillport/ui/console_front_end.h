#pragma once

#include <array>
#include <cstdio>
#include <string>

#include "quillport/ui/window_model.h"

// The console front end of the download tool: renders the eight rows, live
// with colours on a terminal, or as one plain line per change otherwise
// (a log file, a pipe), or with --json as one JSON object per line and
// event for a line controller. Message boxes go to standard error.
class CConsoleFrontEnd final : public IWindowHost {
 public:
  CConsoleFrontEnd(FILE* pOut, bool bTerminal, bool bJson = false)
      : m_pOut(pOut), m_bTerminal(bTerminal && !bJson), m_bJson(bJson) {}

  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChoosePackageFile() override { return std::nullopt; }
  void Changed() override { m_bChanged = true; }
  // Draws the view given to SetView while the model waits (a package check).
  void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) override;
  void SetView(const SWindowView* pView) { m_pView = pView; }

  // Draws what changed; a terminal is redrawn at least once a second for the
  // elapsed-time counters.
  void Render(const SWindowView& view, bool bForce = false);

  bool Json() const { return m_bJson; }
  // --json: a phone's outcome, with its record as written to the records file.
  void PhoneRecord(const std::string& strRecord);
  // --json: the end summary; otherwise the console's end line.
  void Summary(int nPassed, int nFailed, int nStopped, int nExit);

 private:
  std::string PlainLine(const SWindowView& view, int nRow) const;
  void DrawTerminal(const SWindowView& view);
  void RenderJson(const SWindowView& view);
  void JsonLine(const std::string& strObject);

  FILE* m_pOut;
  const bool m_bTerminal;
  const bool m_bJson;
  // --json: what was last said of each row, so that only changes are told.
  std::array<std::string, kPortRows> m_lastStates;
  std::array<int, kPortRows> m_lastProgress = {-2, -2, -2, -2, -2, -2, -2, -2};
  bool m_bChanged = true;
  bool m_bDrawn = false;
  std::array<std::string, kPortRows> m_lastLines;
  std::string m_strLastCheck;
  const SWindowView* m_pView = nullptr;
};
