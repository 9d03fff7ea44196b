#pragma once

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <vector>

// Closes the modal dialogs that open while a test clicks, and records what
// each showed: a message box's caption, text and buttons, a file dialog's
// name and filters. A dialog can be answered instead of closed.
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

  const std::vector<SSeen>& Seen() const { return m_seen; }

 private:
  void Poll();

  FAnswer m_fnAnswer;
  QTimer m_timer;
  std::vector<SSeen> m_seen;
};
