#pragma once

#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "gui/win32/text_table.h"
#include "quillport/ui/win32/display_controls.h"
#include "quillport/ui/window_model.h"

class CPortWatcher;

// The download tool's main window on Win32: draws the window model (the
// eight rows, the buttons) with standard controls and GDI and forwards every
// control the operator touches to one model call. Its thread serves the
// model's queue, so the workers' row updates and sent notifications run
// here. Ports coming and going reach the model through the platform's device
// monitor (RegisterDeviceNotificationW for the serial ports).
class CQuillportWin32Dlg final : private IWindowHost {
 public:
  struct SOptions {
    std::string strBase;      // the base folder: settings and logs
    std::string strInstance;  // the program's name: window mark, message box caption
    std::string strLang;      // "en" for English, else the Chinese texts
  };
  // Creates and shows the window and runs the window's start. Call on the
  // thread that will run Run().
  CQuillportWin32Dlg(HINSTANCE hInstance, const SOptions& options);
  ~CQuillportWin32Dlg();
  CQuillportWin32Dlg(const CQuillportWin32Dlg&) = delete;
  CQuillportWin32Dlg& operator=(const CQuillportWin32Dlg&) = delete;

  HWND Handle() const { return m_hWnd; }
  // Null once the window has closed.
  CQuillportWindow* Model() { return m_pModel.get(); }
  CMessageQueue& Queue() { return m_queue; }
  // Shows the model's state now; changes are otherwise shown once per batch.
  void Render();
  // Serves the window until it is closed.
  int Run();

  // Every modal box the window opens (message box, file dialog) is handed to
  // fnAnswer as it is activated, before it waits for the operator: for tests
  // and unattended stations, which answer it through its controls by posted
  // messages (its own loop then takes them).
  void SetModalAnswerer(std::function<void(HWND hModal)> fnAnswer);

  // The window's caption: "下载工具_v " and the version of the program's
  // own version resource.
  std::wstring Title() const;

  // Control ids of the window's template.
  static constexpr int kStartAllId = 1092, kStopAllId = 1093, kBrowseId = 1159, kPackPathId = 1158,
                       kFormatFlashId = 1160, kTimeoutId = 1161, kBannerId = 1165, kTipId = 1169,
                       kCheckId = 1000, kProgressId = 1016, kStatusId = 1032, kDotId = 1048,
                       kTimerId = 1098, kPortLabelId = 1132, kRestartId = 1188, kAboutCommand = 16;
  static int StateBoxId(int nRow) { return nRow < 2 ? 1080 + nRow : 1114 + (nRow - 2); }

 private:
  struct SRow {
    HWND hCheck = nullptr, hPortLabel = nullptr, hProgress = nullptr, hState = nullptr,
         hStatus = nullptr, hTimer = nullptr, hDot = nullptr, hRestart = nullptr;
    SProgressLook progress;
    SDotLook dot;
    // The boxes' colours as last drawn (background, text): port, state, status.
    std::array<std::pair<RowColor, RowColor>, 3> boxColors{};
  };

  static LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT uMsg, WPARAM wParam, LPARAM lParam);
  void OnCommand(int nId, int nCode);
  void Build();
  HWND Make(const wchar_t* pszClass, const std::string& strText, DWORD dwStyle, int nId, int nLeft,
            int nTop, int nWidth, int nHeight, HFONT hFont, DWORD dwExStyle = 0);
  // The box (and its row) a colour request is for; null when none.
  const SBoxView* BoxOf(HWND hControl) const;
  void RenderTimers();
  // Runs a handler of the model. A close asked for while it runs (its waits
  // and message boxes run nested loops) happens once it has returned.
  template <typename F>
  void Handle(F fnHandler);
  void TakeControlValues();
  void Close(bool bSave);
  void Shutdown();

  // IWindowHost
  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChoosePackageFile() override;
  void Changed() override;
  void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) override;

  HINSTANCE m_hInstance;
  SOptions m_options;
  gui::win32::CTextTable m_texts;
  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  HWND m_hWnd = nullptr;
  int m_nBaseX = 8, m_nBaseY = 16;  // dialog base units of the dialog font, in pixels
  HFONT m_hDialogFont = nullptr, m_hRowFont = nullptr, m_hBannerFont = nullptr,
        m_hTipFont = nullptr;
  HWND m_hPackPath = nullptr, m_hBrowse = nullptr, m_hFormatFlash = nullptr, m_hTimeout = nullptr,
       m_hStartAll = nullptr, m_hStopAll = nullptr;
  std::array<SRow, kPortRows> m_rows;
  CBrushCache m_brushes;
  bool m_bRenderPosted = false;
  int m_nHandlerDepth = 0;
  bool m_bCloseAsked = false;
  std::function<void(HWND)> m_fnAnswer;
  HWND m_hAnswered = nullptr;
  HHOOK m_hModalHook = nullptr;  // the thread's activation hook while answering
  static LRESULT CALLBACK ModalHook(int nCode, WPARAM wParam, LPARAM lParam);

  std::unique_ptr<CQuillportWindow> m_pModel;
  // Last: its thread posts device changes for the model.
  std::unique_ptr<CPortWatcher> m_pWatcher;
};
