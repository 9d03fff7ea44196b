// The English translation of the writer's texts.

#include <QCheckBox>
#include <QGroupBox>
#include <QTranslator>

#include "tavlo/numbers/number_checks.h"
#include "tavlo/numbers/phone_numbers.h"
#include "tavlo/settings/write_history.h"
#include "tavlo/settings/writer_settings.h"
#include "tavlo/ui/writer_texts.h"
#include "tavlo_gui_fixture.h"

namespace {

class EnglishTexts : public CTavloGuiTest {
 protected:
  void SetUp() override {
    CTavloGuiTest::SetUp();
    ASSERT_TRUE(m_translator.load(QStringLiteral("tavlo_en"), QStringLiteral(":/i18n")));
  }
  QTranslator m_translator;
};

TEST_F(EnglishTexts, CoverTheStringTableAndEveryMessageOfTheLowerLayers) {
  std::vector<const char*> texts(std::begin(writer_text::kAllTexts),
                                 std::end(writer_text::kAllTexts));
  texts.insert(texts.end(), {kMsgBootImageMissing, kMsgResetDone, kMsgRestartTool, kMsgInitLength,
                             kMsgMaskLength, kMsgInitDigits, kMsgMaskChars, kMsgNoImei, kMsgNoMbsn,
                             kMsgNoPsn, kMsgBadImei, kMsgBadMbsn, kMsgBadPsn});
  for (const char* pszSource : texts) {
    const QString strEnglish = m_translator.translate(CTavloDlg::kTextContext, pszSource);
    EXPECT_FALSE(strEnglish.isEmpty()) << pszSource;
    for (QChar c : strEnglish) {
      // Nothing from the CJK blocks is left.
      ASSERT_LT(c.unicode(), 0x2E80) << pszSource << " -> " << strEnglish.toStdString();
    }
  }
}

TEST_F(EnglishTexts, TheWindowOpensInEnglish) {
  QCoreApplication::installTranslator(&m_translator);
  CTavloDlg& dlg = Open("");
  EXPECT_EQ(dlg.windowTitle(), QStringLiteral("IMEI Tool Release_v 1.0.1"));
  EXPECT_EQ(Find<QPushButton>("start")->text(), QStringLiteral("Start"));
  EXPECT_EQ(Find<QPushButton>("exit")->text(), QStringLiteral("Exit"));
  EXPECT_EQ(Find<QCheckBox>("writeLcd")->text(), QStringLiteral("Write LCD name"));
  EXPECT_EQ(Find<QGroupBox>("params")->title(), QStringLiteral("Parameters"));
  EXPECT_EQ(Banner()->Text(), QStringLiteral("OFF"));
  // Two-line messages are translated line by line.
  EXPECT_EQ(CTavloDlg::Shown(std::string(kMsgResetDone) + "\n" + kMsgRestartTool + "\n" +
                             writer_text::kResetOffersAgain),
            QStringLiteral("Reset done!\nPlease restart the IMEI tool!\nAfter the restart the "
                           "archived numbers will be offered again, unless the ranges or lists "
                           "change!"));
  Screenshot(&dlg, "tavlo-english");
  m_pDlg.reset();
  QCoreApplication::removeTranslator(&m_translator);
}

}  // namespace
