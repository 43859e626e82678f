#include "support/ChildProcess.h"

#include <fstream>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const Options& options) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    if (!options.env.count(name)) env.push_back(entry);
  }
  for (const auto& [name, value] : options.env)
    if (!value.empty()) env.push_back(name + "=" + value);
  std::vector<char*> args, envp;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  const std::string out = options.outputFile.empty() ? "/dev/null" : options.outputFile;

  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    if (!options.workingFolder.empty() && chdir(options.workingFolder.c_str()) != 0) _exit(126);
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
      close(fd);
    }
    const int in = open("/dev/null", O_RDONLY);
    if (in >= 0) dup2(in, 0);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
}

ChildProcess::~ChildProcess() { Stop(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = other.pid_;
    status_ = other.status_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || status_) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
  }
  return true;
}

std::optional<int> ChildProcess::Wait(int timeoutMs) {
  WaitFor(timeoutMs, [this] { return !Running(); });
  return status_;
}

void ChildProcess::Stop(int graceMs) {
  if (!Running()) return;
  kill(pid_, SIGTERM);
  if (!Wait(graceMs)) {
    kill(pid_, SIGKILL);
    Wait(5000);
  }
}

bool WaitFor(int timeoutMs, const std::function<bool()>& condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int FreeDisplayNumber(int from) {
  for (int n = from; n < from + 100; ++n) {
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
    const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
    if (access(socket.c_str(), F_OK) != 0 && access(lock.c_str(), F_OK) != 0) return n;
  }
  return -1;
}

VirtualDisplay::VirtualDisplay() {
  // Tests run side by side may pick the same free number; the loser's
  // server ends at once and it tries the next one.
  int from = 90 + static_cast<int>(getpid() % 50);
  for (int attempt = 0; attempt < kDisplayAttempts && !ok_; ++attempt) {
    number_ = FreeDisplayNumber(from);
    if (number_ < 0) return;
    server_ = ChildProcess({"Xvfb", Name(), "-noreset", "-nolisten", "tcp", "-screen", "0",
                            "1280x1024x24"},
                           {});
    // Ours only when its lock file names our server.
    const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number_);
    const std::string lock = "/tmp/.X" + std::to_string(number_) + "-lock";
    const auto ours = [&] {
      std::ifstream in(lock);
      long pid = 0;
      return access(socket.c_str(), F_OK) == 0 && (in >> pid) && pid == server_.Pid();
    };
    ok_ = WaitFor(10000, [&] { return ours() || !server_.Running(); }) && server_.Running();
    from = number_ + 1;
  }
}

NullSoundServer::NullSoundServer(const std::string& folder) {
  socket_ = folder + "/native";
  mkdir((folder + "/runtime").c_str(), 0700);
  ChildProcess::Options options;
  options.env = {{"HOME", folder}, {"XDG_RUNTIME_DIR", folder + "/runtime"},
                 {"XDG_CONFIG_HOME", folder + "/config"}, {"DISPLAY", ""},
                 {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + folder + "/no-bus"}};
  options.outputFile = folder + "/pulseaudio.log";
  server_ = ChildProcess({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                          "--disallow-exit", "-L", "module-null-sink sink_name=dummy", "-L",
                          "module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
                         options);
  ok_ = WaitFor(10000, [&] { return access(socket_.c_str(), F_OK) == 0 || !server_.Running(); }) &&
        server_.Running();
}

double RootMeanSquare(const std::string& samples) {
  const size_t n = samples.size() / 2;
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) {
    int16_t s;
    std::memcpy(&s, samples.data() + 2 * i, 2);
    sum += static_cast<double>(s) * s;
  }
  return std::sqrt(sum / static_cast<double>(n));
}
