#pragma once
#include <QColor>
#include <QPushButton>

// A flat-coloured push button: its own background and text colours, and a
// background that follows the mouse when UseMouseColor is on.
class TCuteButton : public QPushButton {
  Q_OBJECT
public:
  explicit TCuteButton(QWidget* parent = nullptr);

  QColor Color() const { return color_; }
  void SetColor(const QColor& color);
  QColor FontColor() const { return fontColor_; }
  void SetFontColor(const QColor& color);

  bool UseMouseColor = false;
  QColor MouseEnterColor;
  QColor MouseLeaveColor;
  bool Flat = false;
  bool ShowFocusRect = false;
  bool UseDisabledColor = false;
  bool EgnoreContClick = false;

  // The colour the button is painted with now.
  QColor CurrentColor() const { return current_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

private:
  QColor color_;
  QColor fontColor_;
  QColor current_;
};
