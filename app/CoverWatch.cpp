#include "app/CoverWatch.h"

#include <cstdlib>

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QWidget>
#include <xcb/xcb.h>

TCoverWatch::TCoverWatch(QWidget* window) : QObject(window), window_(window) {
  window_->installEventFilter(this);
}

TCoverWatch::~TCoverWatch() {
  if (windowId_ != 0) QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool TCoverWatch::Start() {
  if (windowId_ != 0) return true;
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return false;
  const xcb_window_t window = static_cast<xcb_window_t>(window_->winId());
  // The mask replaces the one Qt chose: its own events are kept.
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, window), nullptr);
  if (!attributes) return false;
  const uint32_t mask = attributes->your_event_mask | XCB_EVENT_MASK_VISIBILITY_CHANGE;
  std::free(attributes);
  xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(connection);
  windowId_ = window;
  QCoreApplication::instance()->installNativeEventFilter(this);
  return true;
}

bool TCoverWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
  if (eventType != "xcb_generic_event_t") return false;
  const auto* event = static_cast<const xcb_generic_event_t*>(message);
  if ((event->response_type & ~0x80) != XCB_VISIBILITY_NOTIFY) return false;
  const auto* visibility = static_cast<const xcb_visibility_notify_event_t*>(message);
  if (visibility->window == windowId_) SetCovered(visibility->state == XCB_VISIBILITY_FULLY_OBSCURED);
  return false;
}

bool TCoverWatch::eventFilter(QObject* watched, QEvent* event) {
  // A hidden window reports nothing; shown again it reports afresh.
  if (watched == window_ && event->type() == QEvent::Hide) SetCovered(false);
  return QObject::eventFilter(watched, event);
}

void TCoverWatch::SetCovered(bool covered) {
  if (covered == covered_) return;
  covered_ = covered;
  emit CoveredChanged(covered);
}
