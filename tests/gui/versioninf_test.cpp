#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "app/VersionInf.h"

namespace {
QIcon RedIcon() {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::red);
  return QIcon(pixmap);
}

class AboutBoxTest : public QtAppTest {
protected:
  AboutBoxTest() {
    owner.setWindowIcon(RedIcon());
    owner.show();
    box = new TAboutBox(&owner);
    box->OpenUrl = [this](const QString& address) { opened.push_back(address); };
  }
  QMainWindow owner;
  TAboutBox* box;
  std::vector<QString> opened;
};

TEST_F(AboutBoxTest, ShowsTheProductTheMakerAndBothAddresses) {
  EXPECT_EQ(box->windowTitle(), QString::fromUtf8("バージョン情報"));
  EXPECT_EQ(box->size(), QSize(327, 191));
  EXPECT_EQ(box->minimumSize(), box->maximumSize()) << "the dialog border does not resize";
  EXPECT_EQ(box->ProductName->text(), QString::fromUtf8("防犯カメラ・ヴァルド 0.12"));
  EXPECT_EQ(box->HomePageLabel->text(), QString::fromUtf8("コルヴァネ電算ホームページ"));
  EXPECT_EQ(box->SupportLabel->text(), QString::fromUtf8("防犯カメラ・ヴァルドサポートページ"));
  EXPECT_EQ(box->URLLabel->text(), "https://www.korvane.example/");
  EXPECT_TRUE(box->URLLabel2->text().startsWith("https://www.korvane.example/"));
  EXPECT_NE(box->URLLabel2->text(), box->URLLabel->text());
  EXPECT_TRUE(box->Copyright->text().contains("Korvane"));
  EXPECT_EQ(box->OKButton->text(), "OK");
  EXPECT_TRUE(box->OKButton->isDefault());

  // The title really renders in the Mincho twin, bold, 19 pixels.
  const QFontInfo title(box->ProductName->font());
  EXPECT_EQ(title.family(), "IPAPMincho");
  EXPECT_TRUE(title.bold());
  EXPECT_EQ(title.pixelSize(), 19);
  for (QLabel* link : {box->URLLabel, box->URLLabel2}) {
    EXPECT_TRUE(link->font().underline());
    EXPECT_EQ(link->font().pixelSize(), 13);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(0, 0, 255));
  }

  // The program's icon, top left, the rule across the dialog above the button.
  ASSERT_FALSE(box->ProgramIcon->pixmap().isNull());
  EXPECT_EQ(box->ProgramIcon->pixmap().toImage().pixelColor(16, 16), QColor(Qt::red));
  EXPECT_LT(box->ProgramIcon->x() + box->ProgramIcon->width(), box->ProductName->x() + 1);
  EXPECT_EQ(box->Bevel1->width(), box->width());
  EXPECT_LT(box->Bevel1->y(), box->OKButton->y());
  EXPECT_GT(box->Bevel1->y(), box->URLLabel2->y() + box->URLLabel2->height() - 1);

  for (const char* name : {"ProgramIcon", "ProductName", "Copyright", "HomePageLabel", "URLLabel",
                           "SupportLabel", "URLLabel2", "Bevel1", "OKButton"})
    EXPECT_NE(box->findChild<QWidget*>(name), nullptr) << name;
}

TEST_F(AboutBoxTest, EscClosesEvenWithTheFocusOnTheButton) {
  int result = -1;
  QTimer::singleShot(0, box, [this] {
    box->OKButton->setFocus();
    QTest::keyClick(box->OKButton, Qt::Key_Escape);
  });
  result = box->exec();
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_FALSE(box->isVisible());

  // Shown again, Enter takes the default button.
  QTimer::singleShot(0, box, [this] { QTest::keyClick(box->OKButton, Qt::Key_Return); });
  EXPECT_EQ(box->exec(), QDialog::Accepted);
}

TEST_F(AboutBoxTest, ALinkClickOpensItsOwnAddressAndTheDialogStays) {
  owner.setGeometry(200, 150, 600, 400);
  box->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
  EXPECT_LE((box->geometry().center() - owner.geometry().center()).manhattanLength(), 2)
      << "centred on the main window";
  QTest::mouseClick(box->URLLabel, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseClick(box->URLLabel2, Qt::LeftButton, {}, QPoint(5, 5));
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], box->URLLabel->text());
  EXPECT_EQ(opened[1], box->URLLabel2->text());
  EXPECT_TRUE(box->isVisible());

  // Headings, and a press that ends beside the link, open nothing.
  QTest::mouseClick(box->HomePageLabel, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mousePress(box->URLLabel, Qt::LeftButton, {}, QPoint(5, 5));
  QTest::mouseRelease(box->URLLabel, Qt::LeftButton, {}, QPoint(5, 40));
  QTest::mouseClick(box->URLLabel, Qt::RightButton, {}, QPoint(5, 5));
  EXPECT_EQ(opened.size(), 2u);
}
} // namespace
