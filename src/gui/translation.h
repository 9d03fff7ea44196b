#pragma once

#include <QCoreApplication>
#include <QLocale>
#include <QString>
#include <string>

namespace gui {

// The programs' texts are Chinese at the source; English is offered for
// operators who do not read Chinese. Translations are built into the program
// as resources ":/i18n/<program>_<language>.qm".

// The language to show: "en", or empty for the Chinese source texts. An
// explicit --lang wins; otherwise a Chinese locale (or none, "C") keeps the
// source texts and any other locale gets English.
QString ChooseLanguage(const QString& strOption, const QLocale& locale);

// Installs the program's translation into the application (which owns it);
// false when the language is the source or has no translation.
bool InstallTranslation(QCoreApplication& app, const QString& strProgram,
                        const QString& strLanguage);

// A program's application: every message box carries the program's name as
// its caption, and the texts of strTranslation ("quillport", "tavlo") are in
// the language --lang or the locale asks for.
void SetUpApplication(QCoreApplication& app, const std::string& strProgram,
                      const QString& strTranslation, const std::string& strLang);

// A text shown to the operator, in the installed language. Core code builds
// some texts from parts ("端口 5", "cache 下载中..."): when the whole text has
// no translation, each space-separated word that has one is translated.
QString TranslateShown(const char* pszContext, const std::string& strText);

}  // namespace gui
