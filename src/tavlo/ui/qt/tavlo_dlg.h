#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "gui/queue_pump.h"
#include "tavlo/ui/writer_window.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

namespace gui {
class CDialogUnits;
class CTextLimit;
}  // namespace gui
namespace tavlo {
class CColorWnd;
}

// The writer's main window: renders the window model (number fields, write
// options, log, status banner, buttons) and forwards the operator's input to
// it. It serves the model's queue on the GUI thread, so the worker's log
// lines, banner states, field reads and message boxes run here; a message
// box of the worker is modal to this window and holds the worker until the
// operator closes it.
//
// The window is left only through Exit, which saves the settings; the close
// button is disabled and Escape does nothing.
class CTavloDlg final : public QDialog, private IWriterHost {
  Q_OBJECT

 public:
  // Translation context of the writer's texts.
  static constexpr char kTextContext[] = "tavlo";

  // Opens the window over a started application (StartTavlo): fields,
  // options, the worker, the pools. app outlives the window.
  explicit CTavloDlg(STavloApp& app, QWidget* pParent = nullptr);
  ~CTavloDlg() override;

  // The model behind the window; null once the window has been left.
  CTavloWindow* Model() { return m_pModel.get(); }
  // Shows the model's state now; changes are otherwise shown once per batch.
  void Render();
  // Leaves the window as a signal asks: a run is stopped first, then Exit.
  void ExitStoppingRun();

  // A text of the writer (Chinese source) as the installed language shows
  // it; multi-line messages are translated line by line.
  static QString Shown(const std::string& strText);

 protected:
  void closeEvent(QCloseEvent* pEvent) override;
  void reject() override;

 private:
  // IWriterHost
  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChooseDdrFile() override;
  bool RunSetup(CImeiSetup& setup) override;
  void LogAppended(const SLogLine& line) override;
  void LogCleared() override;
  void Changed() override;
  void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) override;

  void BuildInputs(const gui::CDialogUnits& units);
  void BuildButtons(const gui::CDialogUnits& units);
  void ShowAbout();
  void RenderFocus(const SWriterView& view);
  // Runs a handler of the model and renders its effect. An Exit asked for
  // while one runs, or while a message box is open (both run nested event
  // loops), waits until it has returned.
  template <typename F>
  void Handle(F fnHandler);
  void OnExit();
  void ExitIfAsked();
  void Shutdown();

  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  gui::CQueuePump m_pump{m_queue};

  std::array<QLineEdit*, 6> m_fields{};  // by ENumberField
  std::array<gui::CTextLimit*, 6> m_limits{};
  QCheckBox* m_pWriteImei = nullptr;
  QCheckBox* m_pWriteMbsn = nullptr;
  QCheckBox* m_pWritePsn = nullptr;
  QCheckBox* m_pWriteLcd = nullptr;
  QCheckBox* m_pWriteDdr = nullptr;
  QCheckBox* m_pCheckImei = nullptr;
  QComboBox* m_pLcdType = nullptr;
  QLineEdit* m_pLcdName = nullptr;
  QLineEdit* m_pDdrPath = nullptr;
  QPushButton* m_pBrowseDdr = nullptr;
  QLineEdit* m_pPdlPath = nullptr;
  QTextEdit* m_pLog = nullptr;
  QLabel* m_pCounts = nullptr;
  tavlo::CColorWnd* m_pBanner = nullptr;
  QPushButton* m_pStart = nullptr;
  QPushButton* m_pStop = nullptr;
  QPushButton* m_pReset = nullptr;
  QPushButton* m_pSetup = nullptr;
  QPushButton* m_pExit = nullptr;

  int m_nHandlerDepth = 0;
  bool m_bExitAsked = false;
  bool m_bLeaving = false;  // Exit has run: the close that follows is let through
  gui::CCoalescedCall m_render{this, [this] { Render(); }};  // one render per batch of changes
  int m_nFocusMovesShown = 0;

  std::unique_ptr<CTavloWindow> m_pModel;
};
