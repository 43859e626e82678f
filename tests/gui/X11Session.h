#pragma once
// A private X display (Xvfb) with a tray host (trayer) on it, for tests that
// need a real tray. Both children end with the test process, even on a crash.
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

class X11Session {
public:
  // How long Xvfb may take to name its display.
  static constexpr int kXvfbStartTimeoutMs = 10000;

  X11Session() {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    const std::string fd = std::to_string(fds[1]);
    xvfb_ = Spawn({"Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen",
                   "0", "1024x768x24"},
                  fds[1]);
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, kXvfbStartTimeoutMs) > 0 && read(fds[0], &c, 1) == 1 && c != '\n')
      number += c;
    close(fds[0]);
    if (number.empty()) {
      Stop(xvfb_);
      throw std::runtime_error("Xvfb did not start");
    }
    display_ = ":" + number;
    setenv("DISPLAY", display_.c_str(), 1);
    // Qt docks into the X11 tray only when no session bus answers.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/vardocam-test-bus", 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
  }
  ~X11Session() {
    StopTrayHost();
    Stop(xvfb_);
  }
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  const std::string& Display() const { return display_; }

  // A tray panel at the top left corner of the screen.
  void StartTrayHost() {
    if (trayer_ > 0) return;
    trayer_ = Spawn({"trayer", "--edge", "top", "--align", "left", "--widthtype", "pixel",
                     "--width", "120", "--height", "24", "--expand", "false"});
  }
  void StopTrayHost() {
    Stop(trayer_);
    trayer_ = -1;
  }

private:
  static pid_t Spawn(std::initializer_list<const char*> args, int keepFd = -1) {
    // Built before the fork: the child of a threaded process must not allocate.
    std::vector<char*> argv;
    for (const char* arg : args) argv.push_back(const_cast<char*>(arg));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      if (getppid() != parent) _exit(1);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0), dup2(null, 1), dup2(null, 2);
      // Nothing of the test process leaks into the child but the pipe that
      // Xvfb names its display on.
      const long maxFd = sysconf(_SC_OPEN_MAX);
      for (int fd = 3; fd < maxFd && fd < 4096; ++fd)
        if (fd != keepFd) close(fd);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    return pid;
  }
  static void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status;
    waitpid(pid, &status, 0);
  }

  std::string display_;
  pid_t xvfb_ = -1;
  pid_t trayer_ = -1;
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
