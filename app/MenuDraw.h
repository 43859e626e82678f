#pragma once
#include <QProxyStyle>
#include <QRect>

class QAction;
class QFont;
class QMenuBar;
class QPainter;
class QString;

// The main menu's dark scheme (red, green, blue).
inline constexpr int kMenuBackRgb[3] = {29, 26, 26};
inline constexpr int kMenuSelectedRgb[3] = {64, 62, 62};
inline constexpr int kMenuTextRgb[3] = {213, 213, 213};
// Where an item's text starts inside its rectangle.
constexpr int kMenuTextLeft = 8;
constexpr int kMenuTextTop = 2;

// Draws one item of the main menu: its rectangle, then its caption with the
// letter after the first "&" underlined and the "&" itself left out.
void MenuDrawItem(QPainter& canvas, const QRect& rect, const QString& caption, bool selected,
                  const QFont& font);

// The strip right of the bar's last item, as wide as the window, that is
// painted dark so the rest of the bar matches the items.
QRect MenuBarTail(const QRect& lastItem, int windowWidth);

// Draws the bar and the items of its menus through MenuDrawItem; separators,
// frames and every other menu keep the system's look.
class TMenuDrawStyle : public QProxyStyle {
  Q_OBJECT
public:
  // lastItem: the bar's last item, whose right the tail is painted from.
  TMenuDrawStyle(QMenuBar* bar, QAction* lastItem);

  void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                   const QWidget* widget) const override;
  int pixelMetric(PixelMetric metric, const QStyleOption* option,
                  const QWidget* widget) const override;

private:
  QRect LastItemRect() const;

  QMenuBar* bar_;
  QAction* lastItem_;
};

// Applies the dark drawing to the bar and to every menu under it (the main
// menu is built once, before this). lastItem defaults to the bar's last
// action. The style belongs to the bar.
TMenuDrawStyle* InstallMenuDraw(QMenuBar* bar, QAction* lastItem = nullptr);
