#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

// Closes the modal dialogs that open while a test clicks, and records what
// each showed: a message box's caption, text and buttons, a file dialog's
// name and filters. A dialog can be answered instead of closed.
//
// An answer has to close the dialog it was given. One that leaves it open
// fails the test at once, and the dialog is rejected so that its exec()
// returns: answering it again and again would only hang the test. A dialog
// that an answer opens in turn (a box from the dialog's own OK) is answered
// like any other.
class CModalAnswerer {
 public:
  struct SSeen {
    QString strClass;  // "QMessageBox", "QFileDialog", ...
    QString strObjectName;
    QString strTitle;
    QString strText;          // message boxes
    bool bOkOnly = false;     // message boxes
    QStringList nameFilters;  // file dialogs
  };
  // Given a dialog, answers it (accept, reject, fill in); true when it did.
  using FAnswer = std::function<bool(QWidget*)>;

  explicit CModalAnswerer(FAnswer fnAnswer = {});

  // An answer for a file dialog: strPath (absolute) typed into its file name
  // field, then Open, as an operator would. It needs neither the dialog's
  // folder listing, which loads in the background, nor the keyboard focus:
  // QFileDialog::selectFile leaves the name field alone while that field has
  // the focus, so with it an Open could find nothing chosen and stay open.
  // Other dialogs are left to be rejected.
  static FAnswer ChooseFile(const QString& strPath);

  const std::vector<SSeen>& Seen() const { return m_seen; }

 private:
  void Poll();
  void Answer(const QDialog* pKey, QPointer<QDialog> pGuard);

  FAnswer m_fnAnswer;
  QTimer m_timer;
  std::vector<SSeen> m_seen;
  std::vector<const QDialog*> m_answering;  // dialogs whose answer is under way
};
