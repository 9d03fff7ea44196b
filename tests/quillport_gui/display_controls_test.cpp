// The row's display controls, drawn off-screen and read back pixel by pixel.

#include <gtest/gtest.h>

#include <QImage>
#include <QSet>
#include <QTest>

#include "quillport/ui/qt/color_wnd.h"
#include "quillport/ui/qt/gradient_progress_ctrl.h"
#include "quillport/ui/qt/timer_edit.h"

namespace {

const QColor kBk(230, 230, 210);
const QColor kBlue(0, 0, 255);

struct SBar {
  QColor start, end;
  int nPos;
  bool bPercent = false;
  int nWidth = 400;
};

QImage Draw(const SBar& bar) {
  CGradientProgressCtrl ctrl(nullptr);
  ctrl.resize(bar.nWidth, 24);
  ctrl.SetRange(0, 100);
  ctrl.SetGradient(bar.start, bar.end);
  ctrl.SetBkColor(kBk);
  ctrl.SetTextColor(kBlue);
  ctrl.ShowPercent(bar.bPercent);
  ctrl.SetPos(bar.nPos);
  return ctrl.grab().toImage();
}

// The colours along the top line of the bar, left to right, each run once.
std::vector<QColor> Runs(const QImage& image) {
  std::vector<QColor> runs;
  for (int x = 0; x < image.width(); ++x) {
    const QColor c = image.pixelColor(x, 0);
    if (runs.empty() || runs.back() != c) runs.push_back(c);
  }
  return runs;
}

int Count(const std::vector<QColor>& runs, const QColor& colour) {
  return static_cast<int>(std::count(runs.begin(), runs.end(), colour));
}

TEST(GradientProgressCtrl, AFullBarHasOneBandPerStepOfTheWidestChannel) {
  const struct {
    QColor start, end;
    int nBands;
  } cases[] = {
      {QColor(0, 255, 0), QColor(128, 255, 128), 128},
      {QColor(200, 100, 52), QColor(255, 128, 64), 55},
      {QColor(0, 180, 0), QColor(0, 255, 0), 75},
      {QColor(180, 0, 0), QColor(255, 0, 0), 75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nBands);
    std::vector<QColor> runs = Runs(Draw({c.start, c.end, 100}));
    // A pixel column short of the edge by rounding keeps the background.
    if (runs.back() == kBk) runs.pop_back();
    EXPECT_EQ(static_cast<int>(runs.size()), c.nBands);
    EXPECT_EQ(runs.front(), c.start);
    EXPECT_EQ(Count(runs, kBk), 0);
    // The last band is one step short of the end colour.
    const QColor last = runs.back();
    EXPECT_LE(std::abs(last.red() - c.end.red()), 1);
    EXPECT_LE(std::abs(last.green() - c.end.green()), 1);
    EXPECT_LE(std::abs(last.blue() - c.end.blue()), 1);
  }
}

TEST(GradientProgressCtrl, TheFilledPartEndsAtTheFirstBandBoundaryPastThePosition) {
  // 128 bands over 256 pixels: two pixels each; half way is 64 bands.
  const std::vector<QColor> runs =
      Runs(Draw({QColor(0, 255, 0), QColor(128, 255, 128), 50, false, 256}));
  ASSERT_EQ(runs.size(), 66u)
      << "bands up to and including the one past x = 128, then the background";
  EXPECT_EQ(runs.back(), kBk);
}

TEST(GradientProgressCtrl, PositionMinusOneIsEmptyWithoutText) {
  const QImage image = Draw({QColor(0, 255, 0), QColor(128, 255, 128), -1, true});
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      ASSERT_EQ(image.pixelColor(x, y), kBk) << x << "," << y;
    }
  }
}

// Pixels of the text colour, or near it (antialiased edges), in the picture.
int TextPixels(const QImage& image) {
  int n = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.blue() > 200 && c.red() < 100 && c.green() < 100) ++n;
    }
  }
  return n;
}

TEST(GradientProgressCtrl, PositionZeroShowsOneBandAndZeroPercent) {
  const QImage image = Draw({QColor(0, 255, 0), QColor(128, 255, 128), 0, true});
  const std::vector<QColor> runs = Runs(image);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], QColor(0, 255, 0));
  EXPECT_EQ(runs[1], kBk);
  EXPECT_GT(TextPixels(image), 10) << "0% is drawn";
  EXPECT_EQ(TextPixels(Draw({QColor(0, 255, 0), QColor(128, 255, 128), 0, false})), 0);
}

TEST(GradientProgressCtrl, EqualColoursPaintAPlainFillOfTheStartColour) {
  const QColor colour(10, 20, 30);
  const std::vector<QColor> runs = Runs(Draw({colour, colour, 40}));
  EXPECT_EQ(runs, std::vector<QColor>{colour});
}

TEST(TimerEdit, TypingChangesNothing) {
  CTimerEdit timer(nullptr);
  timer.setReadOnly(false);  // the window lifts read-only while a phone runs
  timer.show();
  QTest::keyClicks(&timer, QStringLiteral("12:34"));
  QTest::keyClick(&timer, Qt::Key_Backspace);
  QTest::keyClick(&timer, Qt::Key_Delete);
  QTest::keyClick(&timer, Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(timer.text(), QStringLiteral("00:00:00"));
}

// Where two pictures differ.
QRect Difference(const QImage& a, const QImage& b) {
  QRect box;
  for (int y = 0; y < a.height(); ++y) {
    for (int x = 0; x < a.width(); ++x) {
      if (a.pixel(x, y) != b.pixel(x, y)) box |= QRect(x, y, 1, 1);
    }
  }
  return box;
}

TEST(ColorWnd, ShowsItsNumberNearTheTopCentreOfTheDisc) {
  auto draw = [](int nNumber) {
    CColorWnd dot(nullptr);
    dot.resize(48, 48);
    dot.SetColor(QColor(0, 220, 0));
    dot.SetNumber(nNumber);
    return dot.grab().toImage();
  };
  const QImage eight = draw(8);
  EXPECT_EQ(eight.pixelColor(24, 40), QColor(0, 220, 0)) << "the disc's lower part is plain";
  const QRect text = Difference(eight, draw(1));
  ASSERT_FALSE(text.isEmpty());
  EXPECT_NEAR(text.center().x(), 24, 3);
  EXPECT_GE(text.top(), 2 + 3) << "below the frame and the 3-pixel drop";
  EXPECT_LT(text.bottom(), 36);
}

}  // namespace
