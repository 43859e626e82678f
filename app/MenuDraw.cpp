#include "app/MenuDraw.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QStyleOptionMenuItem>

namespace {
QColor Rgb(const int (&rgb)[3]) { return QColor(rgb[0], rgb[1], rgb[2]); }

// A popup item's text carries its shortcut after a tab; the caption ends there.
QString CaptionOf(const QString& text) {
  const int tab = text.indexOf(QLatin1Char('\t'));
  return tab < 0 ? text : text.left(tab);
}

bool IsOwnerDrawn(const QStyleOptionMenuItem& item) {
  return item.menuItemType == QStyleOptionMenuItem::Normal ||
         item.menuItemType == QStyleOptionMenuItem::DefaultItem ||
         item.menuItemType == QStyleOptionMenuItem::SubMenu;
}

void ApplyTo(QMenu* menu, QStyle* style, const QFont& font) {
  menu->setStyle(style);
  menu->setFont(font);
  for (QAction* action : menu->actions())
    if (QMenu* sub = action->menu()) ApplyTo(sub, style, font);
}
} // namespace

void MenuDrawItem(QPainter& canvas, const QRect& rect, const QString& caption, bool selected,
                  const QFont& font) {
  canvas.save();
  const QColor back = Rgb(kMenuBackRgb);
  canvas.setPen(back);
  canvas.setBrush(selected ? Rgb(kMenuSelectedRgb) : back);
  // The rectangle's outline lies on its own outer pixels.
  canvas.drawRect(rect.adjusted(0, 0, -1, -1));

  QFont plain = font;
  plain.setBold(false);
  plain.setItalic(false);
  plain.setUnderline(false);
  plain.setStrikeOut(false);
  // Whole-pixel advances, so a caption drawn in pieces lines up with the
  // same caption drawn at once.
  plain.setHintingPreference(QFont::PreferFullHinting);
  QFont underlined = plain;
  underlined.setUnderline(true);
  canvas.setPen(Rgb(kMenuTextRgb));
  canvas.setClipRect(rect, Qt::IntersectClip);

  // The origin is the top of the text; Qt draws from the baseline.
  const QFontMetrics metrics(plain);
  int x = rect.left() + kMenuTextLeft;
  const int baseline = rect.top() + kMenuTextTop + metrics.ascent();
  const int amp = caption.indexOf(QLatin1Char('&'));
  if (amp < 0) {
    canvas.setFont(plain);
    canvas.drawText(QPoint(x, baseline), caption);
  } else {
    const QString before = caption.left(amp);
    const QString key = caption.mid(amp + 1, 1);
    const QString after = caption.mid(amp + 2);
    canvas.setFont(plain);
    canvas.drawText(QPoint(x, baseline), before);
    x += metrics.horizontalAdvance(before);
    canvas.setFont(underlined);
    canvas.drawText(QPoint(x, baseline), key);
    canvas.setFont(plain);
    x += metrics.horizontalAdvance(key);
    canvas.drawText(QPoint(x, baseline), after);
  }
  canvas.restore();
}

QRect MenuBarTail(const QRect& lastItem, int windowWidth) {
  return QRect(lastItem.right() + 1, lastItem.top(), windowWidth, lastItem.height());
}

TMenuDrawStyle::TMenuDrawStyle(QMenuBar* bar, QAction* lastItem)
    : QProxyStyle(), bar_(bar), lastItem_(lastItem) {}

QRect TMenuDrawStyle::LastItemRect() const {
  if (!bar_ || !lastItem_) return QRect();
  return bar_->actionGeometry(lastItem_);
}

void TMenuDrawStyle::drawControl(ControlElement element, const QStyleOption* option,
                                 QPainter* painter, const QWidget* widget) const {
  const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
  if (item && element == CE_MenuBarItem && widget == bar_) {
    // A bar item counts as selected while its menu is open or the bar is
    // worked from the keyboard, not while the mouse merely passes over it.
    const bool selected = (item->state & State_Selected) &&
                          ((item->state & State_Sunken) || bar_->hasFocus());
    MenuDrawItem(*painter, item->rect, item->text, selected, widget->font());
    if (item->rect == LastItemRect()) {
      // The bar clips each item to itself; the tail lies outside it.
      painter->save();
      painter->setClipping(false);
      painter->fillRect(MenuBarTail(item->rect, bar_->window()->width()), Rgb(kMenuBackRgb));
      painter->restore();
    }
    return;
  }
  if (item && element == CE_MenuBarEmptyArea && widget == bar_) {
    // The system paints the rest of the bar around the dark tail.
    painter->save();
    const QRect last = LastItemRect();
    if (last.isValid()) {
      const QRegion base = painter->hasClipping() ? painter->clipRegion() : QRegion(item->rect);
      painter->setClipRegion(base.subtracted(MenuBarTail(last, bar_->window()->width())));
    }
    QProxyStyle::drawControl(element, option, painter, widget);
    painter->restore();
    return;
  }
  if (item && element == CE_MenuItem && IsOwnerDrawn(*item) && qobject_cast<const QMenu*>(widget)) {
    MenuDrawItem(*painter, item->rect, CaptionOf(item->text), item->state & State_Selected,
                 widget->font());
    return;
  }
  QProxyStyle::drawControl(element, option, painter, widget);
}

int TMenuDrawStyle::pixelMetric(PixelMetric metric, const QStyleOption* option,
                                const QWidget* widget) const {
  // Bar items sit edge to edge and fill the bar's height, as on the desktop
  // the window was designed for.
  if (widget && widget == bar_) {
    switch (metric) {
    case PM_MenuBarPanelWidth:
    case PM_MenuBarVMargin:
    case PM_MenuBarHMargin:
    case PM_MenuBarItemSpacing:
      return 0;
    default:
      break;
    }
  }
  return QProxyStyle::pixelMetric(metric, option, widget);
}

TMenuDrawStyle* InstallMenuDraw(QMenuBar* bar, QAction* lastItem) {
  if (!lastItem && !bar->actions().isEmpty()) lastItem = bar->actions().constLast();
  auto* style = new TMenuDrawStyle(bar, lastItem);
  style->setParent(bar);
  bar->setStyle(style);
  for (QAction* action : bar->actions())
    if (QMenu* menu = action->menu()) ApplyTo(menu, style, bar->font());
  return style;
}
