#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include "QtTestApp.h"
#include "app/MenuDraw.h"

namespace {
const QColor kBack(29, 26, 26);
const QColor kSelected(64, 62, 62);
const QColor kText(213, 213, 213);

QFont WindowFont() {
  QFont font(QString::fromUtf8("ＭＳ Ｐゴシック"));
  font.setPixelSize(12);
  return font;
}

QImage Draw(const QString& caption, bool selected, QSize size = QSize(140, 20)) {
  QImage image(size, QImage::Format_RGB32);
  image.fill(Qt::white);
  QPainter canvas(&image);
  MenuDrawItem(canvas, QRect(QPoint(0, 0), size), caption, selected, WindowFont());
  return image;
}

// The columns and rows in which two images differ.
struct Diff {
  int left = INT_MAX, right = -1, top = INT_MAX, bottom = -1, count = 0;
};
Diff Compare(const QImage& a, const QImage& b) {
  Diff d;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width(); ++x)
      if (a.pixel(x, y) != b.pixel(x, y)) {
        d.left = std::min(d.left, x), d.right = std::max(d.right, x);
        d.top = std::min(d.top, y), d.bottom = std::max(d.bottom, y);
        ++d.count;
      }
  return d;
}

QRect LitBox(const QImage& image, const QColor& back) {
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixelColor(x, y) != back) box |= QRect(x, y, 1, 1);
  return box;
}

bool HasColour(const QImage& image, const QColor& colour) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixelColor(x, y) == colour) return true;
  return false;
}

// "オプション(&O)" must look like "オプション(O)" drawn in one piece, plus a line
// under the "O" alone, below the baseline.
void ExpectHotKeyDrawing(const QImage& drawn, const QImage& withoutAmpersand) {
  const QFontMetrics metrics(WindowFont());
  const int keyLeft = kMenuTextLeft + metrics.horizontalAdvance(QString::fromUtf8("オプション("));
  const int keyWidth = metrics.horizontalAdvance("O");
  const int baseline = kMenuTextTop + metrics.ascent();
  const Diff d = Compare(drawn, withoutAmpersand);
  ASSERT_GT(d.count, 0) << "no underline drawn";
  EXPECT_GE(d.left, keyLeft - 1);
  EXPECT_LE(d.right, keyLeft + keyWidth);
  EXPECT_GE(d.top, baseline - 1) << "the difference is not below the text";
  EXPECT_LE(d.bottom, baseline + metrics.descent());
  // A line: one row lit across most of the letter.
  int longest = 0;
  for (int y = d.top; y <= d.bottom; ++y) {
    int run = 0;
    for (int x = keyLeft; x < keyLeft + keyWidth; ++x)
      if (drawn.pixelColor(x, y) == kText) ++run;
    longest = std::max(longest, run);
  }
  EXPECT_GE(longest, keyWidth * 2 / 3);
}

using MenuDrawItem = QtAppTest;

TEST_F(MenuDrawItem, HotKeyLetterIsUnderlinedAndTheAmpersandNeverDrawn) {
  const QImage drawn = Draw(QString::fromUtf8("オプション(&O)"), false);
  const QImage plain = Draw(QString::fromUtf8("オプション(O)"), false);
  ExpectHotKeyDrawing(drawn, plain);

  // Colours, and the text starting at 8, 2 inside the rectangle.
  EXPECT_EQ(drawn.pixelColor(0, 0), kBack);
  EXPECT_EQ(drawn.pixelColor(139, 19), kBack);
  EXPECT_EQ(drawn.pixelColor(3, 10), kBack);
  EXPECT_TRUE(HasColour(drawn, kText));
  const QRect text = LitBox(plain, kBack);
  EXPECT_GE(text.left(), kMenuTextLeft);
  EXPECT_LE(text.left(), kMenuTextLeft + 2);
  EXPECT_GE(text.top(), kMenuTextTop);
}

class MainMenuTest : public QtAppTest {
protected:
  MainMenuTest() {
    window.setFont(WindowFont());
    window.setFixedSize(776, 400);
    bar = window.menuBar();
    file = bar->addMenu(QString::fromUtf8("ファイル(&F)"));
    file->addAction(QString::fromUtf8("終了(&X)"));
    settings = bar->addMenu(QString::fromUtf8("設定(&S)"));
    option = settings->addAction(QString::fromUtf8("オプション(&O)"));
    help = bar->addMenu(QString::fromUtf8("ヘルプ(&H)"));
    help->addAction(QString::fromUtf8("防犯カメラ・ヴァルドヘルプ"))->setVisible(false);
    help->addSeparator()->setVisible(false);
    help->addAction(QString::fromUtf8("バージョン情報(&V)"));
    InstallMenuDraw(bar, help->menuAction());
    window.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
  }
  QMainWindow window;
  QMenuBar* bar;
  QMenu* file;
  QMenu* settings;
  QAction* option;
  QMenu* help;
};

TEST_F(MainMenuTest, TheBarIsDarkToItsRightEndAndTheOpenItemSelected) {
  bar->setActiveAction(settings->menuAction());
  ASSERT_TRUE(QTest::qWaitFor([this] { return settings->isVisible(); }));
  const QImage image = bar->grab().toImage();
  const QRect helpRect = bar->actionGeometry(help->menuAction());
  const QRect settingsRect = bar->actionGeometry(settings->menuAction());
  // Every pixel right of the last item, along the item's rows, is dark.
  int light = 0;
  for (int y = helpRect.top(); y <= helpRect.bottom(); ++y)
    for (int x = helpRect.right() + 1; x < image.width(); ++x)
      if (image.pixelColor(x, y) != kBack) ++light;
  EXPECT_EQ(light, 0);
  EXPECT_EQ(image.pixelColor(settingsRect.left() + 2, settingsRect.top() + 1), kSelected);
  EXPECT_EQ(image.pixelColor(settingsRect.topLeft()), kBack) << "the outline stays dark";
  const QRect fileRect = bar->actionGeometry(file->menuAction());
  EXPECT_EQ(image.pixelColor(fileRect.left() + 2, fileRect.top() + 1), kBack);
  EXPECT_EQ(fileRect.left(), 0);
  EXPECT_EQ(helpRect.top(), 0);
}

TEST_F(MainMenuTest, TheOptionItemOnScreenIsDrawnWithItsHotKey) {
  bar->setActiveAction(settings->menuAction());
  ASSERT_TRUE(QTest::qWaitFor([this] { return settings->isVisible(); }));
  settings->setActiveAction(nullptr);
  const QImage menu = settings->grab().toImage();
  const QRect item = settings->actionGeometry(option);
  const QImage drawn = menu.copy(item);
  ExpectHotKeyDrawing(drawn, Draw(QString::fromUtf8("オプション(O)"), false, item.size()));
  EXPECT_EQ(Compare(drawn, Draw(QString::fromUtf8("オプション(&O)"), false, item.size())).count, 0);
}

} // namespace
