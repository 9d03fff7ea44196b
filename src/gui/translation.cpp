#include "gui/translation.h"

#include <QStringList>
#include <QTranslator>
#include <memory>

namespace gui {

QString ChooseLanguage(const QString& strOption, const QLocale& locale) {
  if (strOption == QLatin1String("en")) return QStringLiteral("en");
  if (!strOption.isEmpty()) return {};
  const QLocale::Language language = locale.language();
  if (language == QLocale::Chinese || language == QLocale::C) return {};
  return QStringLiteral("en");
}

bool InstallTranslation(QCoreApplication& app, const QString& strProgram,
                        const QString& strLanguage) {
  if (strLanguage.isEmpty()) return false;
  auto pTranslator = std::make_unique<QTranslator>();
  if (!pTranslator->load(strProgram + QLatin1Char('_') + strLanguage, QStringLiteral(":/i18n"))) {
    return false;
  }
  // The application owns it and keeps it installed for its whole life.
  pTranslator->setParent(&app);
  return QCoreApplication::installTranslator(pTranslator.release());
}

QString TranslateShown(const char* pszContext, const std::string& strText) {
  const QString whole = QCoreApplication::translate(pszContext, strText.c_str());
  const QString source = QString::fromStdString(strText);
  if (whole != source || !source.contains(QLatin1Char(' '))) return whole;
  QStringList words = source.split(QLatin1Char(' '));
  for (QString& word : words) {
    if (!word.isEmpty()) word = QCoreApplication::translate(pszContext, word.toUtf8().constData());
  }
  return words.join(QLatin1Char(' '));
}

void SetUpApplication(QCoreApplication& app, const std::string& strProgram,
                      const QString& strTranslation, const std::string& strLang) {
  QCoreApplication::setApplicationName(QString::fromStdString(strProgram));
  InstallTranslation(app, strTranslation,
                     ChooseLanguage(QString::fromStdString(strLang), QLocale::system()));
}

}  // namespace gui
