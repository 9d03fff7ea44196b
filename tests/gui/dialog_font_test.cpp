#include "gui/dialog_font.h"

#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QLocale>

#include "gui/translation.h"

namespace {

TEST(DialogFont, FallsBackToAnInstalledFontThatHasChinese) {
  const QFont font = gui::DialogFont(9);
  EXPECT_EQ(font.pointSize(), 9);
  const QFontMetrics metrics(font);
  for (char32_t c : {U'下', U'载', U'端', U'口'}) EXPECT_TRUE(metrics.inFontUcs4(c)) << int(c);
}

TEST(DialogUnits, FollowTheFontsAverageWidthAndHeight) {
  for (int nPoints : {9, 12, 20}) {
    const QFont font = gui::DialogFont(nPoints);
    const gui::CDialogUnits units(font);
    const QFontMetrics metrics(font);
    SCOPED_TRACE(nPoints);
    EXPECT_NEAR(units.BaseX(), metrics.averageCharWidth(), metrics.averageCharWidth() / 2 + 1);
    EXPECT_EQ(units.Y(8), metrics.height());
    EXPECT_EQ(units.X(4), units.BaseX());
    // Neighbours meet: converting edges leaves no gap between adjacent rects.
    const QRect a = units.Rect(7, 79, 12, 14), b = units.Rect(19, 79, 46, 14);
    EXPECT_EQ(a.right() + 1, b.left());
  }
  EXPECT_GT(gui::CDialogUnits(gui::DialogFont(12)).X(100),
            gui::CDialogUnits(gui::DialogFont(9)).X(100));
}

struct SLanguageCase {
  const char* pszOption;
  QLocale locale;
  const char* pszExpected;
};

TEST(ChooseLanguage, AnOptionWinsElseTheLocaleDecides) {
  const SLanguageCase cases[] = {
      {"en", QLocale(QLocale::Chinese, QLocale::China), "en"},
      {"zh", QLocale(QLocale::English, QLocale::UnitedStates), ""},
      {"", QLocale(QLocale::Chinese, QLocale::China), ""},
      {"", QLocale(QLocale::Chinese, QLocale::Taiwan), ""},
      {"", QLocale::c(), ""},
      {"", QLocale(QLocale::English, QLocale::UnitedKingdom), "en"},
      {"", QLocale(QLocale::German, QLocale::Germany), "en"},
  };
  for (const SLanguageCase& c : cases) {
    EXPECT_EQ(gui::ChooseLanguage(QString::fromLatin1(c.pszOption), c.locale),
              QString::fromLatin1(c.pszExpected))
        << c.pszOption << " " << c.locale.name().toStdString();
  }
}

}  // namespace
