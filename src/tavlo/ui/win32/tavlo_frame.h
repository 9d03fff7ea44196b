#pragma once

#include <windows.h>

#include <array>
#include <memory>
#include <string>

#include "common/message_queue.h"
#include "gui/win32/text_table.h"
#include "tavlo/ui/writer_window.h"

// The writer's Win32 main window: renders the window model (number fields,
// write options, the coloured log, the status banner, the buttons) and
// forwards each control the operator touches to one model call. It serves
// the model's queue on its own thread, so the worker's log lines, banner
// states, field reads and message boxes run here.
//
// The window is left only through Exit, which saves the settings: the Close
// item of the system menu is greyed and WM_CLOSE does nothing.
// Registers the windows' classes (main window, banner, Setup dialog); call
// once before the first window opens.
void RegisterTavloWindowClasses();

class CTavloFrame final : private IWriterHost {
 public:
  // Opens the window over a started application (StartTavlo); app outlives
  // it. strProgram names the single-instance mark and every box's caption.
  CTavloFrame(STavloApp& app, const gui::win32::CTextTable& texts, std::string strProgram);
  ~CTavloFrame() override;
  CTavloFrame(const CTavloFrame&) = delete;
  CTavloFrame& operator=(const CTavloFrame&) = delete;

  HWND Handle() const { return m_hWnd; }
  // The model behind the window; null once the window has been left.
  CTavloWindow* Model() { return m_pModel.get(); }
  CMessageQueue& Queue() { return m_queue; }
  // Shows the model's state now; changes are otherwise shown once per batch.
  void Render();
  // Shows the window and serves it until Exit has ended it.
  void Run();

 private:
  friend void RegisterTavloWindowClasses();
  // IWriterHost
  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChooseDdrFile() override;
  bool RunSetup(CImeiSetup& setup) override;
  void LogAppended(const SLogLine& line) override;
  void LogCleared() override;
  void Changed() override;
  void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) override;

  static LRESULT CALLBACK WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
  void Build();
  void OnCommand(int nId, int nCode, HWND hControl);
  void OnExit();
  void Shutdown();
  void PaintPicture(HDC hdc);
  std::wstring Shown(const std::string& strText) const;
  HWND Item(int nId) const { return GetDlgItem(m_hWnd, nId); }

  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  const gui::win32::CTextTable& m_texts;
  const std::string m_strProgram;
  HWND m_hWnd = nullptr;
  HFONT m_hDialogFont = nullptr, m_hButtonFont = nullptr;
  HMODULE m_hRichEdit = nullptr;
  RECT m_pictureRect{};
  bool m_bRendering = false;     // texts set by Render do not go back to the model
  bool m_bRenderPosted = false;  // one render per batch of changes
  bool m_bLeaving = false;
  int m_nFocusMovesShown = 0;
  std::unique_ptr<CTavloWindow> m_pModel;
};
