#include "gui/dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace gui {

void ShowMessage(QWidget* pParent, const QString& strText) {
  QMessageBox box(QMessageBox::Warning, QApplication::applicationName(), strText, QMessageBox::Ok,
                  pParent);
  box.exec();
}

std::optional<QString> ChooseOpenFile(QWidget* pParent, const QString& strFilter,
                                      const QString& strCurrent, const QString& strObjectName) {
  const QString strFolder = strCurrent.isEmpty() ? QString() : QFileInfo(strCurrent).absolutePath();
  QFileDialog dialog(pParent, QString(), strFolder, strFilter);
  dialog.setObjectName(strObjectName);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().front();
}

}  // namespace gui
