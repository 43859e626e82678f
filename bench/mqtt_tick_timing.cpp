// What the broker's state costs a tick: the monitoring cycle's events
// handed to the MQTT publisher, timed call by call, with the broker up,
// stopped, and frozen (connected but not reading). Starts its own broker.
//
//   build/bench/mqtt_tick_timing [CALLS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <QCoreApplication>
#include <opencv2/core.hpp>
#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "mqtt/MqttPublisher.h"
#include "mqtt/MqttTopics.h"

namespace {
// A mosquitto of its own on a free loopback port, in a temporary folder.
class Broker {
public:
  Broker() {
    char folder[] = "/tmp/vardocam-mqtt-bench-XXXXXX";
    dir_ = mkdtemp(folder) ? folder : "/tmp";
    port_ = FreePort();
    std::ofstream(dir_ + "/mosquitto.conf") << "listener " << port_ << " 127.0.0.1\n"
                                            << "allow_anonymous true\npersistence false\n";
  }
  ~Broker() { Stop(); }
  bool Start() {
    const std::string conf = dir_ + "/mosquitto.conf";
    pid_ = fork();
    if (pid_ == 0) {
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid_ > 0;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void Pause() { kill(pid_, SIGSTOP); }
  void Resume() { kill(pid_, SIGCONT); }
  int Port() const { return port_; }

private:
  static int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
  }
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
};

bool WaitFor(int timeoutMs, const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// One tick's worth of events at an alarm: the heaviest a tick publishes.
double TickMs(MqttPublisher& publisher) {
  const auto start = std::chrono::steady_clock::now();
  publisher.On(MonitorEvent::MotionDetected({}));
  publisher.On(MonitorEvent::AlarmStarted());
  publisher.On(MonitorEvent::AlertMailDone(true, ""));
  publisher.On(MonitorEvent::AlarmEnded());
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void Report(const char* state, std::vector<double> ms, const MqttPublisher::Stats& stats) {
  std::sort(ms.begin(), ms.end());
  const auto at = [&](double q) { return ms[static_cast<size_t>(q * (ms.size() - 1))]; };
  std::printf("%-8s calls=%zu median=%.4f ms p99=%.4f ms max=%.3f ms published=%llu dropped=%llu pending=%d\n",
              state, ms.size(), at(0.5), at(0.99), ms.back(),
              static_cast<unsigned long long>(stats.published),
              static_cast<unsigned long long>(stats.dropped), stats.pending);
}
} // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  QCoreApplication app(argc, argv);
  Broker broker;
  if (!broker.Start()) {
    std::fprintf(stderr, "mosquitto did not start\n");
    return 1;
  }
  MqttSettings settings;
  settings.host = "127.0.0.1";
  settings.port = broker.Port();
  settings.prefix = TopicPrefix("", "bench");
  MqttPublisher publisher(settings);
  const cv::Mat picture(480, 640, CV_8UC3, cv::Scalar(30, 60, 90));
  publisher.SetPictureSource([&] { return picture.clone(); });
  publisher.Start();
  WaitFor(10000, [&] { return publisher.Counters().connected; });

  const auto run = [&](const char* state) {
    std::vector<double> ms;
    for (int i = 0; i < calls; ++i) ms.push_back(TickMs(publisher));
    Report(state, ms, publisher.Counters());
  };
  run("up");
  broker.Pause();
  run("frozen");
  broker.Resume();
  broker.Stop();
  WaitFor(10000, [&] { return !publisher.Counters().connected; });
  run("stopped");
  return 0;
}
