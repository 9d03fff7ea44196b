// The helper that answers the tests' modal dialogs: a file dialog is answered
// whatever has the focus and however far its folder listing has loaded, and an
// answer that cannot close its dialog fails the test at once instead of
// hanging it.

#include "modal_answerer.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include "gui/dialogs.h"

namespace {

constexpr int kFocusWaitMs = 10000;  // a generous bound for a window's activation

class CModalAnswererTest : public ::testing::Test {
 protected:
  QString MakeFile(const QString& strName) {
    const QString strPath = m_dir.filePath(strName);
    QFile file(strPath);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    return strPath;
  }

  QTemporaryDir m_dir;
};

using ModalAnswerer = CModalAnswererTest;

// The case that hung the window tests: once the dialog is active its name
// field has the focus, and selectFile() then chooses nothing.
TEST_F(ModalAnswerer, ChoosesAFileWhileTheNameFieldHasTheFocus) {
  const QString strPath = MakeFile(QStringLiteral("pack.bin"));
  bool bFocused = false;
  CModalAnswerer answerer([&](QWidget* pDialog) {
    auto* pName = pDialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    pDialog->activateWindow();
    bFocused = QTest::qWaitFor([&] { return pName && pName->hasFocus(); }, kFocusWaitMs);
    return CModalAnswerer::ChooseFile(strPath)(pDialog);
  });
  const auto chosen = gui::ChooseOpenFile(nullptr, QStringLiteral("Bin Files (*.bin)"), QString(),
                                          QStringLiteral("testFileDialog"));
  EXPECT_TRUE(bFocused);
  EXPECT_EQ(chosen, strPath);
  ASSERT_EQ(answerer.Seen().size(), 1u);
  EXPECT_EQ(answerer.Seen()[0].strObjectName, QStringLiteral("testFileDialog"));
  EXPECT_EQ(answerer.Seen()[0].nameFilters, QStringList{QStringLiteral("Bin Files (*.bin)")});
}

TEST_F(ModalAnswerer, AnAnswerThatLeavesItsDialogOpenFailsAtOnceAndTheDialogIsRejected) {
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("Stubborn"));
  int nResult = -1;
  size_t nSeen = 0;
  EXPECT_NONFATAL_FAILURE(
      {
        CModalAnswerer answerer([](QWidget*) { return true; });  // closes nothing
        nResult = dialog.exec();
        nSeen = answerer.Seen().size();
      },
      "the answer left the QDialog \"Stubborn\"");
  EXPECT_EQ(nResult, QDialog::Rejected);
  EXPECT_EQ(nSeen, 1u) << "answered once, not again and again";
}

// Open on a missing file raises the dialog's own box from inside the answer;
// that box is answered too, and the file dialog is then rejected.
TEST_F(ModalAnswerer, ABoxRaisedByAnAnswerIsAnsweredAndTheDialogStillCloses) {
  const QString strMissing = m_dir.filePath(QStringLiteral("missing.bin"));
  std::optional<QString> chosen = QStringLiteral("not asked");
  std::vector<CModalAnswerer::SSeen> seen;
  EXPECT_NONFATAL_FAILURE(
      {
        CModalAnswerer answerer(CModalAnswerer::ChooseFile(strMissing));
        chosen = gui::ChooseOpenFile(nullptr, QStringLiteral("Bin Files (*.bin)"), QString(),
                                     QStringLiteral("testFileDialog"));
        seen = answerer.Seen();
      },
      "the answer left the QFileDialog");
  EXPECT_EQ(chosen, std::nullopt);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].strClass, QStringLiteral("QFileDialog"));
  EXPECT_EQ(seen[1].strClass, QStringLiteral("QMessageBox"));
}

}  // namespace
