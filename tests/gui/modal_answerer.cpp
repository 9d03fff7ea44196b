#include "modal_answerer.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <algorithm>

namespace {

std::string Describe(const QDialog& dialog) {
  return QStringLiteral("%1 \"%2\" (%3)")
      .arg(QString::fromLatin1(dialog.metaObject()->className()), dialog.windowTitle(),
           dialog.objectName())
      .toStdString();
}

}  // namespace

CModalAnswerer::CModalAnswerer(FAnswer fnAnswer) : m_fnAnswer(std::move(fnAnswer)) {
  QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
  m_timer.start(10);
}

void CModalAnswerer::Poll() {
  auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
  if (!pDialog || !pDialog->isVisible()) return;
  if (std::find(m_answering.begin(), m_answering.end(), pDialog) != m_answering.end()) return;
  SSeen seen;
  seen.strClass = QString::fromLatin1(pDialog->metaObject()->className());
  seen.strObjectName = pDialog->objectName();
  seen.strTitle = pDialog->windowTitle();
  if (auto* pBox = qobject_cast<QMessageBox*>(pDialog)) {
    seen.strText = pBox->text();
    seen.bOkOnly = pBox->standardButtons() == QMessageBox::Ok;
  }
  if (auto* pFiles = qobject_cast<QFileDialog*>(pDialog)) seen.nameFilters = pFiles->nameFilters();
  m_seen.push_back(seen);
  // Answered from a queued call, not from the timer's handler: a timer does
  // not fire again while its handler runs, so a box that the answer opens
  // would otherwise never be answered.
  m_answering.push_back(pDialog);
  QMetaObject::invokeMethod(
      &m_timer, [this, pDialog, pGuard = QPointer<QDialog>(pDialog)] { Answer(pDialog, pGuard); },
      Qt::QueuedConnection);
}

void CModalAnswerer::Answer(const QDialog* pKey, QPointer<QDialog> pGuard) {
  const bool bAnswered = pGuard && pGuard->isVisible() && m_fnAnswer && m_fnAnswer(pGuard.data());
  std::erase(m_answering, pKey);
  if (!pGuard || !pGuard->isVisible()) return;
  if (bAnswered) ADD_FAILURE() << "the answer left the " << Describe(*pGuard) << " open";
  pGuard->reject();
  if (pGuard && pGuard->isVisible()) {
    ADD_FAILURE() << "rejecting left the " << Describe(*pGuard) << " open";
    pGuard->done(QDialog::Rejected);
  }
}

CModalAnswerer::FAnswer CModalAnswerer::ChooseFile(const QString& strPath) {
  return [strPath](QWidget* pDialog) {
    auto* pFiles = qobject_cast<QFileDialog*>(pDialog);
    if (!pFiles) return false;
    auto* pName = pFiles->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    if (!pName) {
      ADD_FAILURE() << "the file dialog has no file name field";
      return false;
    }
    pName->setText(strPath);
    if (pFiles->selectedFiles() != QStringList{strPath}) {
      ADD_FAILURE() << "typing " << strPath.toStdString() << " chose "
                    << pFiles->selectedFiles().join(QStringLiteral(", ")).toStdString();
      return false;
    }
    static_cast<QDialog*>(pFiles)->accept();
    return true;
  };
}
