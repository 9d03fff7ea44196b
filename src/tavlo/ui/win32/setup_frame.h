#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/message_queue.h"
#include "gui/win32/text_table.h"
#include "tavlo/ui/setup_model.h"

// The Setup dialog as a Win32 window: renders the Setup model and forwards
// the operator's input to it. OK stores the entries only when the model's
// checks pass; otherwise their message is shown and the dialog stays open
// as typed.
void RegisterSetupWindowClass();

class CSetupFrame {
 public:
  CSetupFrame(CImeiSetup& setup, HWND hOwner, const gui::win32::CTextTable& texts,
              std::string strCaption);
  ~CSetupFrame();
  CSetupFrame(const CSetupFrame&) = delete;
  CSetupFrame& operator=(const CSetupFrame&) = delete;

  // Modal to the owner, serving the main window's queue meanwhile (fnServed
  // after each batch); true when it ended with OK.
  bool Run(CMessageQueue& queue, const std::function<void()>& fnServed);

 private:
  friend void RegisterSetupWindowClass();
  static LRESULT CALLBACK WndProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT nMsg, WPARAM wParam, LPARAM lParam);
  void Build();
  void OnCommand(int nId, int nCode, HWND hControl);
  void ChooseListFile(ESourceKind eKind);
  void OnOK();
  void Render();
  std::wstring Shown(const std::string& strText) const;
  HWND Item(int nId) const { return GetDlgItem(m_hWnd, nId); }

  CImeiSetup& m_setup;
  HWND m_hOwner;
  const gui::win32::CTextTable& m_texts;
  const std::string m_strCaption;
  HWND m_hWnd = nullptr;
  HFONT m_hDialogFont = nullptr, m_hCaptionFont = nullptr;
  bool m_bRendering = false;
  bool m_bOk = false;
};
