#pragma once
#include <QAbstractNativeEventFilter>
#include <QObject>

class QWidget;

// Tells when a top-level window is wholly covered by other windows. Qt
// still counts such a window as exposed and paints it; the X server knows
// better and says so when asked to report the window's visibility. Other
// platforms, and desktops whose compositor hides it, report nothing: the
// window then counts as uncovered.
class TCoverWatch : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
public:
  explicit TCoverWatch(QWidget* window);
  ~TCoverWatch() override;

  // Asks the X server for the window's visibility reports; call once the
  // window exists. False where there is no X server to ask.
  bool Start();
  bool Covered() const { return covered_; }

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
  void CoveredChanged(bool covered);

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void SetCovered(bool covered);

  QWidget* window_;
  unsigned long windowId_ = 0;
  bool covered_ = false;
};
