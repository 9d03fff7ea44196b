#include "modal_answerer.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>

CModalAnswerer::CModalAnswerer(FAnswer fnAnswer) : m_fnAnswer(std::move(fnAnswer)) {
  QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
  m_timer.start(10);
}

void CModalAnswerer::Poll() {
  auto* pDialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
  if (!pDialog || !pDialog->isVisible()) return;
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
  if (!m_fnAnswer || !m_fnAnswer(pDialog)) pDialog->reject();
}
