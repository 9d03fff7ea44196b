// The English translation of the tool's texts.

#include "gui/translation.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTranslator>

#include "gui_fixture.h"
#include "quillport/ui/window_texts.h"
#include "quillport/worker/worker_texts.h"

namespace {

class EnglishTexts : public CQuillportGuiTest {
 protected:
  void SetUp() override {
    CQuillportGuiTest::SetUp();
    ASSERT_TRUE(m_translator.load(QStringLiteral("quillport_en"), QStringLiteral(":/i18n")));
  }
  QString English(const char* pszSource) {
    return m_translator.translate(CQuillportDlg::kTextContext, pszSource);
  }
  QTranslator m_translator;
};

TEST_F(EnglishTexts, CoverEveryTextOfBothStringTables) {
  auto check = [&](const char* pszSource) {
    const QString strEnglish = English(pszSource);
    EXPECT_FALSE(strEnglish.isEmpty()) << pszSource;
    for (QChar c : strEnglish) {
      // Nothing from the CJK blocks is left.
      ASSERT_LT(c.unicode(), 0x2E80) << pszSource << " -> " << strEnglish.toStdString();
    }
  };
  for (const char* psz : window_text::kAllTexts) check(psz);
  for (const char* psz : worker_text::kAllTexts) check(psz);
}

TEST_F(EnglishTexts, TextsBuiltFromPartsAreTranslatedWordByWord) {
  QCoreApplication::installTranslator(&m_translator);
  const struct {
    const char* pszShown;
    const char* pszExpected;
  } cases[] = {
      {"端口 5", "Port 5"},
      {"cache 下载中...", "cache Downloading..."},
      {"[3 of 7] system", "[3 of 7] system"},
      {"正在格式化... ( 等待大约20s ~ 60s )", "Formatting... (wait about 20 s to 60 s)"},
      {"Get data[ACK] command failed!", "Get data[ACK] command failed!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(gui::TranslateShown(CQuillportDlg::kTextContext, c.pszShown),
              QString::fromUtf8(c.pszExpected));
  }
  QCoreApplication::removeTranslator(&m_translator);
}

TEST_F(EnglishTexts, TheWindowOpensInEnglish) {
  QCoreApplication::installTranslator(&m_translator);
  CQuillportDlg& dlg = Open();
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Download tool_v 1.0.1"));
  EXPECT_EQ(Find<QPushButton>("startAll")->text(), QStringLiteral("Start all"));
  EXPECT_EQ(StatusText(0), QStringLiteral("Closed"));
  EXPECT_EQ(Row<CColorEdit>(0, "port")->text(), QStringLiteral("Port"));
  EXPECT_EQ(Find<QLabel>("banner")->text(), QStringLiteral("Norq K40X Download Tool"));
  Screenshot("quillport-english");
  m_pDlg.reset();
  QCoreApplication::removeTranslator(&m_translator);
}

TEST(InstallTranslation, OnlyALanguageWithATranslationIsInstalled) {
  EXPECT_FALSE(gui::InstallTranslation(*QCoreApplication::instance(), QStringLiteral("quillport"),
                                       QString()));
  EXPECT_FALSE(gui::InstallTranslation(*QCoreApplication::instance(), QStringLiteral("quillport"),
                                       QStringLiteral("xx")));
}

}  // namespace
