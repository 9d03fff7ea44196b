#pragma once

#include <cstdio>
#include <string>

#include "tavlo/ui/writer_window.h"

// The writer's console front end: prints every log line and each banner
// change as it happens, in the window's colours on a terminal, plain
// otherwise. Message boxes are printed and answered at once; the file
// dialogs and Setup are not available.
class CWriterConsole final : public IWriterHost {
 public:
  CWriterConsole(FILE* pOut, bool bTerminal) : m_pOut(pOut), m_bTerminal(bTerminal) {}

  // Call once the window exists, so that banner changes can be told.
  void Attach(const CTavloWindow& window) { m_pWindow = &window; }

  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChooseDdrFile() override { return std::nullopt; }
  bool RunSetup(CImeiSetup&) override { return false; }
  void LogAppended(const SLogLine& line) override;
  void LogCleared() override;
  void Changed() override;

  int MessagesShown() const { return m_nMessages; }

 private:
  void Print(const std::string& strText);

  FILE* m_pOut;
  const bool m_bTerminal;
  const CTavloWindow* m_pWindow = nullptr;
  int m_nBanner = kStateOff;
  int m_nMessages = 0;
};
