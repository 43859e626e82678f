#pragma once
// A private X display (Xvfb) with a tray host (trayer) on it, for tests that
// need a real tray; both are stopped at the end. Qt in this process, and the
// programs it starts, use that display and dock into the X11 tray.
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "support/ChildProcess.h"

class X11Session {
public:
  // How long Xvfb may take to name its display on a loaded machine.
  static constexpr int kXvfbStartTimeoutMs = 20000;

  // screen: Xvfb's "-screen 0" value, width x height x depth.
  explicit X11Session(const std::string& screen = "1280x1024x24") {
    // Xvfb picks a free display itself and names it on the pipe, so tests
    // running side by side never race for a number.
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    xvfb_ = ChildProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-noreset", "-nolisten",
                          "tcp", "-screen", "0", screen},
                         {});
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, kXvfbStartTimeoutMs) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
      number += c;
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    setenv("DISPLAY", (":" + number).c_str(), 1);
    // Qt docks into the X11 tray only when no session bus answers.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vardocam-test-bus", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }

  // A tray panel at the top left corner of the screen.
  void StartTrayHost() {
    if (trayHost_.Running()) return;
    trayHost_ = ChildProcess({"trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
                              "--width", "120", "--height", "24", "--expand", "false"},
                             {});
  }
  void StopTrayHost() { trayHost_.Stop(); }

  ~X11Session() {
    // The tray host first, while its display still exists.
    trayHost_.Stop();
  }

private:
  ChildProcess xvfb_;
  ChildProcess trayHost_;
};

// Runs an X tool (xdotool, xwininfo) on the session's display; its output.
inline QString RunTool(const QString& program, const QStringList& args) {
  constexpr int kToolTimeoutMs = 5000;
  QProcess process;
  process.start(program, args);
  process.waitForFinished(kToolTimeoutMs);
  return QString::fromUtf8(process.readAllStandardOutput());
}

inline void Click(const QPoint& at, const QString& button) {
  RunTool("xdotool", {"mousemove", QString::number(at.x()), QString::number(at.y()), "click", button});
}

// The icons the tray host holds, seen on the X server itself, in screen
// coordinates: the panel's child windows larger than its own 1 x 1 helper.
inline std::vector<QRect> TrayHostIcons() {
  const QString tree = RunTool("xwininfo", {"-root", "-tree"});
  const auto panel = QRegularExpression(R"((0x[0-9a-f]+) "panel": \("panel" "trayer"\))").match(tree);
  if (!panel.hasMatch()) return {};
  const QString children = RunTool("xwininfo", {"-children", "-id", panel.captured(1)});
  std::vector<QRect> icons;
  auto windows = QRegularExpression(R"(^\s+0x[0-9a-f]+ .*\s(\d+)x(\d+)[+-]\d+[+-]\d+\s+\+(-?\d+)\+(-?\d+))",
                                    QRegularExpression::MultilineOption)
                     .globalMatch(children);
  while (windows.hasNext()) {
    const auto w = windows.next();
    const QRect rect(w.captured(3).toInt(), w.captured(4).toInt(), w.captured(1).toInt(),
                     w.captured(2).toInt());
    if (rect.width() > 1 && rect.height() > 1) icons.push_back(rect);
  }
  return icons;
}

// The program's main window where the X server has it mapped, if it is.
inline std::optional<QRect> MainWindowOnScreen() {
  const QStringList ids = RunTool("xdotool", {"search", "--onlyvisible", "--name",
                                              QString::fromUtf8("^防犯カメラ・ヴァルド$")})
                              .split('\n', Qt::SkipEmptyParts);
  for (const QString& id : ids) {
    const QString info = RunTool("xwininfo", {"-id", id});
    const auto number = [&](const QString& label) {
      return QRegularExpression(label + R"(:\s+(-?\d+))").match(info).captured(1).toInt();
    };
    const QRect rect(number("Absolute upper-left X"), number("Absolute upper-left Y"), number("Width"),
                     number("Height"));
    if (rect.width() > 100) return rect;  // not the tray icon
  }
  return std::nullopt;
}
