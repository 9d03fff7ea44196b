#pragma once

#include <QDialog>
#include <QFont>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include "gui/queue_pump.h"
#include "quillport/ui/window_model.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class CColorEdit;
class CColorWnd;
class CGradientProgressCtrl;
class CPortWatcher;
class CTimerEdit;

namespace gui {
class CDialogUnits;
}

// The download tool's main window: renders the window model (the eight rows,
// the buttons) and forwards the operator's clicks to it. It services the
// model's queue on the GUI thread, so the workers' row updates and sent
// notifications run here, never on their own threads.
//
// Closing the window saves the port selection, stops every run, waits for the
// workers to go idle (the rows keep painting meanwhile) and joins them.
// Escape closes it the same way, without saving the port selection.
class CQuillportDlg final : public QDialog, private IWindowHost {
  Q_OBJECT

 public:
  // Runs the window's start in strBaseFolder (the tool's INI files are
  // loaded): rows, paths, workers, hot-plug watching.
  explicit CQuillportDlg(const std::string& strBaseFolder, QWidget* pParent = nullptr);
  ~CQuillportDlg() override;

  // The window's title: "下载工具_v " and the product version.
  static QString Title();
  // Translation context of the tool's texts.
  static constexpr char kTextContext[] = "quillport";

  // The model behind the window, for start-up options (package, rows,
  // time-out); null once the window has closed.
  CQuillportWindow* Model() { return m_pModel.get(); }
  // Shows the model's state now; changes are otherwise shown once per batch.
  void Render();

 protected:
  void closeEvent(QCloseEvent* pEvent) override;
  void reject() override;

 private:
  struct SRow {
    QCheckBox* pCheck = nullptr;
    CColorEdit* pPortLabel = nullptr;
    CGradientProgressCtrl* pProgress = nullptr;
    CColorEdit* pState = nullptr;
    CColorEdit* pStatus = nullptr;
    CTimerEdit* pTimer = nullptr;
    CColorWnd* pDot = nullptr;
    QPushButton* pRestart = nullptr;
    // What the boxes show, in source text: translated only when it changes.
    std::array<std::string, 3> shownTexts;
  };

  // IWindowHost
  void MessageBox(const std::string& strText) override;
  std::optional<std::string> ChoosePackageFile() override;
  std::optional<std::string> ChooseCfpFile() override;
  void Changed() override;
  void ServeQueueWhileWaiting(CMessageQueue& queue, int nMs) override;

  void BuildOperations(const gui::CDialogUnits& units);
  void BuildRows(const gui::CDialogUnits& units);
  void BuildBannerAndTip(const gui::CDialogUnits& units);
  void ShowAbout();
  void RenderRow(int nRow, const SRowView& view);
  // strSuffix follows the translated text (the state box's counts).
  void RenderBox(CColorEdit* pBox, std::string* pShown, const SBoxView& view,
                 const std::string& strSuffix = {});
  // The elapsed times, as the model tells them: on every render and once a
  // second while the window is open.
  void RenderTimers();
  // Runs a handler of the model. A close asked for while it runs (its waits
  // and message boxes run nested event loops) waits until it has returned.
  template <typename F>
  void Handle(F fnHandler);
  void Shutdown();

  CMessageQueue m_queue;
  CQueueBinding m_binding{m_queue};
  gui::CQueuePump m_pump{m_queue};

  QFont m_rowFont;
  QGroupBox* m_pGroup = nullptr;
  QLineEdit* m_pPackPath = nullptr;
  QPushButton* m_pBrowse = nullptr;
  QLabel* m_pCfpLabel = nullptr;
  QLineEdit* m_pCfpPath = nullptr;
  QPushButton* m_pCfpBrowse = nullptr;
  QPushButton* m_pCfpClear = nullptr;
  QCheckBox* m_pFormatFlash = nullptr;
  QComboBox* m_pTimeout = nullptr;
  QPushButton* m_pStartAll = nullptr;
  QPushButton* m_pStopAll = nullptr;
  QPushButton* m_pKey = nullptr;
  std::array<SRow, kPortRows> m_rows;

  int m_nHandlerDepth = 0;
  bool m_bCloseAsked = false;
  bool m_bSaveOnClose = true;
  gui::CCoalescedCall m_render{this, [this] { Render(); }};  // one render per batch of changes

  std::unique_ptr<CQuillportWindow> m_pModel;
  // Last: its thread posts device changes for the model.
  std::unique_ptr<CPortWatcher> m_pWatcher;
};
