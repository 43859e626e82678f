#include "app/CuteButton.h"

#include <QPainter>
#include <QStyleOptionButton>

TCuteButton::TCuteButton(QWidget* parent) : QPushButton(parent) {
  setAttribute(Qt::WA_Hover);
}

void TCuteButton::SetColor(const QColor& color) {
  color_ = color;
  current_ = color;
  update();
}

void TCuteButton::SetFontColor(const QColor& color) {
  fontColor_ = color;
  update();
}

void TCuteButton::enterEvent(QEnterEvent* event) {
  if (UseMouseColor) {
    current_ = MouseEnterColor;
    update();
  }
  QPushButton::enterEvent(event);
}

void TCuteButton::leaveEvent(QEvent* event) {
  if (UseMouseColor) {
    current_ = MouseLeaveColor;
    update();
  }
  QPushButton::leaveEvent(event);
}

// A raised bevel (sunken while pressed) unless flat; the caption centred;
// a focus rectangle only when asked for.
void TCuteButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRect r = rect();
  p.fillRect(r, current_);
  if (!Flat) {
    const bool down = isDown();
    const QColor light = current_.lighter(170);
    const QColor dark = current_.darker(250);
    p.setPen(down ? dark : light);
    p.drawLine(r.topLeft(), r.topRight());
    p.drawLine(r.topLeft(), r.bottomLeft());
    p.setPen(down ? light : dark);
    p.drawLine(r.bottomLeft(), r.bottomRight());
    p.drawLine(r.topRight(), r.bottomRight());
  }
  p.setPen(fontColor_);
  p.setFont(font());
  const QRect textRect = isDown() ? r.translated(1, 1) : r;
  p.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic, text());
  if (ShowFocusRect && hasFocus()) {
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = r.adjusted(3, 3, -3, -3);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &p, this);
  }
}
