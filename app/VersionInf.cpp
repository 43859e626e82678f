#include "app/VersionInf.h"

#include <algorithm>

#include <QApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>

#include "platform/ProgramName.h"

TAboutBox* AboutBox = nullptr;

const char kHomePageUrl[] = "https://www.korvane.example/";
const char kSupportPageUrl[] = "https://www.korvane.example/vardocam/support/";
const char kVersionText[] = "0.12";

namespace {
// Designed in pixels; the dialog keeps them whatever the system font size.
constexpr int kClientWidth = 327;
constexpr int kClientHeight = 191;
constexpr int kIconSize = 32;

const char kCaption[] = "バージョン情報";
const char kMakerLine[] = "Copyright (C) 2025-2026 Korvane";
const char kHomePageHeading[] = "コルヴァネ電算ホームページ";
const char kSupportHeadingAfterName[] = "サポートページ";

const char kDialogFontFamily[] = "ＭＳ Ｐゴシック";
constexpr int kDialogFontPixels = 12;
const char kTitleFontFamily[] = "ＭＳ Ｐ明朝";
constexpr int kTitleFontPixels = 19;
const char kLatinFontFamily[] = "Arial";
constexpr int kMakerFontPixels = 11;
constexpr int kLinkFontPixels = 13;
const QColor kLinkColour(0, 0, 255);

QFont PixelFont(const char* family, int pixels) {
  QFont font(QString::fromUtf8(family));
  font.setPixelSize(pixels);
  return font;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(name);
  label->setGeometry(geometry);
  return label;
}

QLabel* MakeLink(QWidget* parent, const char* name, const char* address, const QRect& geometry) {
  QLabel* label = MakeLabel(parent, name, QString::fromUtf8(address), geometry);
  QFont font = PixelFont(kLatinFontFamily, kLinkFontPixels);
  font.setUnderline(true);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kLinkColour);
  label->setPalette(palette);
  label->setCursor(Qt::PointingHandCursor);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QIcon ProgramIconOf(QWidget* parent) {
  if (parent && !parent->window()->windowIcon().isNull()) return parent->window()->windowIcon();
  return QApplication::windowIcon();
}
} // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent), OpenUrl([](const QString& address) {
        QDesktopServices::openUrl(QUrl(address));
      }) {
  setObjectName("AboutBox");
  setWindowTitle(QString::fromUtf8(kCaption));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(PixelFont(kDialogFontFamily, kDialogFontPixels));

  ProgramIcon = MakeLabel(this, "ProgramIcon", QString(), QRect(12, 12, kIconSize, kIconSize));
  ProgramIcon->setPixmap(ProgramIconOf(parent).pixmap(kIconSize, kIconSize));

  ProductName = MakeLabel(this, "ProductName", QString::fromUtf8(kDisplayName) + " " + kVersionText, QRect(56, 12, 260, 24));
  QFont title = PixelFont(kTitleFontFamily, kTitleFontPixels);
  title.setBold(true);
  ProductName->setFont(title);

  Copyright = MakeLabel(this, "Copyright", QString::fromUtf8(kMakerLine), QRect(56, 38, 260, 14));
  Copyright->setFont(PixelFont(kLatinFontFamily, kMakerFontPixels));

  HomePageLabel =
      MakeLabel(this, "HomePageLabel", QString::fromUtf8(kHomePageHeading), QRect(16, 64, 296, 14));
  URLLabel = MakeLink(this, "URLLabel", kHomePageUrl, QRect(28, 80, 284, 16));
  SupportLabel =
      MakeLabel(this, "SupportLabel", QString::fromUtf8(kDisplayName) + QString::fromUtf8(kSupportHeadingAfterName), QRect(16, 104, 296, 14));
  URLLabel2 = MakeLink(this, "URLLabel2", kSupportPageUrl, QRect(28, 120, 284, 16));
  // A link is as wide as its address, so a click beside it opens nothing.
  for (QLabel* link : {URLLabel, URLLabel2})
    link->resize(std::min(link->sizeHint().width(), link->width()), link->height());

  Bevel1 = new QFrame(this);
  Bevel1->setObjectName("Bevel1");
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Plain);
  Bevel1->setLineWidth(1);
  Bevel1->setGeometry(0, 148, kClientWidth, 1);

  OKButton = new QPushButton(QStringLiteral("OK"), this);
  OKButton->setObjectName("OKButton");
  OKButton->setGeometry(126, 157, 75, 25);
  OKButton->setDefault(true);
  connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);

  // Key preview: the dialog sees every key before its controls do.
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

void TAboutBox::URLLabelClick(QLabel* sender) {
  if (sender && OpenUrl) OpenUrl(sender->text());
}

void TAboutBox::FormKeyPress(int key) {
  if (key == Qt::Key_Escape) reject();
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape) {
      FormKeyPress(key->key());
      return true;
    }
  }
  if (event->type() == QEvent::MouseButtonRelease && (watched == URLLabel || watched == URLLabel2)) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* label = static_cast<QLabel*>(watched);
    // A click is a press and a release on the label, as on a button.
    if (mouse->button() == Qt::LeftButton && label->rect().contains(mouse->position().toPoint()))
      URLLabelClick(label);
  }
  return QDialog::eventFilter(watched, event);
}

void TAboutBox::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    FormKeyPress(event->key());
    return;
  }
  QDialog::keyPressEvent(event);
}
