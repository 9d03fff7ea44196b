#pragma once

#include <cstdio>
#include <string>

#include "tavlo/ui/writer_window.h"

// The writer's console front end: prints every log line and each banner
// change as it happens, in the window's colours on a terminal, plain
// otherwise, or with --json as one JSON object per line and event for a line
// controller. Message boxes are printed and answered at once; the file
// dialogs and Setup are not available.
class CWriterConsole final : public IWriterHost {
 public:
  CWriterConsole(FILE* pOut, bool bTerminal, bool bJson = false)
      : m_pOut(pOut), m_bTerminal(bTerminal && !bJson), m_bJson(bJson) {}

  // Call once the window exists, so that banner changes can be told.
  void Attach(const CTavloWindow& window) { m_pWindow = &window; }

  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChooseDdrFile() override { return std::nullopt; }
  bool RunSetup(CImeiSetup&) override { return false; }
  void LogAppended(const SLogLine& line) override;
  void LogCleared() override;
  void Changed() override;

  int MessagesShown() const { return m_nMessages; }

  // --json: a phone's outcome, with its record as written to the records file.
  void PhoneRecord(const std::string& strRecord);
  // --json: the end summary; otherwise the console's end line.
  void Summary(int nWritten, int nFailed, int nStopped, int nExit);

 private:
  void Print(const std::string& strText);

  FILE* m_pOut;
  const bool m_bTerminal;
  const bool m_bJson;
  const CTavloWindow* m_pWindow = nullptr;
  int m_nBanner = kStateOff;
  int m_nMessages = 0;
};
