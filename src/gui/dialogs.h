#pragma once

#include <QString>
#include <QWidget>
#include <optional>

namespace gui {

// The programs' message box: OK only, the application title as caption;
// returns when the operator closed it.
void ShowMessage(QWidget* pParent, const QString& strText);

// An open-file dialog owned by pParent for one existing file matching the
// filter ("Bin Files (*_norq_total.bin)"), starting in the folder of
// strCurrent when there is one. Nullopt when cancelled. The dialog carries
// strObjectName, so that tests can find it.
std::optional<QString> ChooseOpenFile(QWidget* pParent, const QString& strFilter,
                                      const QString& strCurrent, const QString& strObjectName);

}  // namespace gui
