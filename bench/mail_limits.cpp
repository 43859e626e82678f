// How long a hostile or absent mail server can hold the window, and how much
// memory it can make the program take. Each case runs the real mail path as
// the monitoring tick does (SendAlertMail for SMTP, one request check for
// POP3) with the production limits, against a loopback server of this
// program's own, and prints the wall time of the call (the window processes
// no events meanwhile) and the peak resident memory during it.
//   mail_limits [smtp|pop3|all]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include <opencv2/imgcodecs.hpp>

#include "mail/AlertMail.h"
#include "mail/SmtpClient.h"
#include "net/NameLookup.h"
#include "pop3/Pop3Client.h"
#include "pop3/Pop3Reply.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"

namespace {

using Clock = std::chrono::steady_clock;
// A server gives up on its own after this, so no case can run for ever.
constexpr int kServerLifeMs = 150000;
// A resolver standing in for a name server that never answers.
constexpr int kHangingLookupMs = 120000;

long ReadStatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Resets the peak resident size to the current one (Linux 4.0 and later).
void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// One connection at a time on 127.0.0.1, served by `serve` on its own thread.
class HostileServer {
public:
  using Serve = std::function<void(int fd, const std::atomic<bool>& stop)>;
  explicit HostileServer(Serve serve) {
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_, 4);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, serve] {
      const int fd = accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      serve(fd, stop_);
      close(fd);
    });
  }
  ~HostileServer() {
    stop_ = true;
    shutdown(listen_, SHUT_RDWR);
    thread_.join();
    close(listen_);
  }
  int Port() const { return port_; }

private:
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

bool Send(int fd, const std::string& text) {
  return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads up to an LF; false when the client went or the server must stop.
bool ReadLine(int fd, std::string& line, const std::atomic<bool>& stop) {
  line.clear();
  char c;
  while (!stop) {
    const ssize_t got = recv(fd, &c, 1, 0);
    if (got <= 0) return false;
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool Expired(Clock::time_point start) {
  return Clock::now() - start > std::chrono::milliseconds(kServerLifeMs);
}

void Silent(int, const std::atomic<bool>& stop) {
  const auto start = Clock::now();
  while (!stop && !Expired(start)) Sleep(10);
}

void ByteASecond(int fd, const std::atomic<bool>& stop) {
  const auto start = Clock::now();
  while (!stop && !Expired(start) && Send(fd, "2")) {
    for (int i = 0; i < 100 && !stop; ++i) Sleep(10);
  }
}

void Drip(int fd, const std::atomic<bool>& stop) {
  const auto start = Clock::now();
  while (!stop && !Expired(start) && Send(fd, "x")) Sleep(50);
}

// A willing SMTP server until QUIT, then a byte every 50 ms.
void SmtpDripAfterQuit(int fd, const std::atomic<bool>& stop) {
  Send(fd, "220 ready\r\n");
  std::string line;
  while (ReadLine(fd, line, stop)) {
    if (line.rfind("DATA", 0) == 0) {
      Send(fd, "354 go\r\n");
      while (ReadLine(fd, line, stop) && line != ".\r") {
      }
      Send(fd, "250 queued\r\n");
    } else if (line.rfind("QUIT", 0) == 0) {
      Send(fd, "221 bye\r\n");
      Drip(fd, stop);
      return;
    } else {
      Send(fd, "250 ok\r\n");
    }
  }
}

void EndlessContinuation(int fd, const std::atomic<bool>& stop, const std::string& line) {
  const auto start = Clock::now();
  while (!stop && !Expired(start) && Send(fd, line)) {
  }
}

void Pop3DripAfterQuit(int fd, const std::atomic<bool>& stop) {
  Send(fd, "+OK ready\r\n");
  std::string line;
  while (ReadLine(fd, line, stop)) {
    if (line.rfind("STAT", 0) == 0) {
      Send(fd, "+OK 0 0\r\n");
    } else if (line.rfind("Quit", 0) == 0) {
      Send(fd, "+OK bye\r\n");
      Drip(fd, stop);
      return;
    } else {
      Send(fd, "+OK\r\n");
    }
  }
}

int HangingLookup(const char*, const char*, const addrinfo*, addrinfo** result) {
  Sleep(kHangingLookupMs);
  *result = nullptr;
  return EAI_AGAIN;
}

void Report(const char* protocol, const char* name, const std::function<std::string()>& run) {
  const long before = ReadStatusKb("VmRSS:");
  ResetPeak();
  const auto start = Clock::now();
  const std::string outcome = run();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long peak = ReadStatusKb("VmHWM:");
  std::printf("| %s | %s | %.2f s | %.1f MiB (+%.1f) | %s |\n", protocol, name, seconds, peak / 1024.0,
              (peak - before) / 1024.0, outcome.c_str());
  std::fflush(stdout);
}

std::string Alert(int port, const char* host = "127.0.0.1") {
  AppSettings.MAIL_HOSTNAME = host;
  AppSettings.MAIL_PORTNUMBER = port;
  MailInputs mail;
  mail.wanted = AppSettings.USEMAIL;
  FillSmtpSettings(mail.server);
  // No picture writer: the "recept.jpg" written at the start goes out each time.
  const MailResult result = SendAlertMail(mail);
  return result.sent ? "sent" : result.failure;
}

std::string Poll(int port, const char* host = "127.0.0.1") {
  AppSettings.MAIL_R_HOSTNAME = host;
  AppSettings.MAIL_R_PORTNUMBER = port;
  AppSettings.IS_CHECK = false;  // no report mail after the poll
  TPop3Client client;
  try {
    MailServerSettings settings;
    FillPopSettings(settings);
    const RequestCheckResult result = CheckRequestMail(client, settings, [] {
      MailInputs report;
      report.wanted = AppSettings.IS_CHECK;
      FillSmtpSettings(report.server);
      return SendReportMail(report);
    });
    return result.ok ? "read" : result.failure;
  } catch (const std::exception& e) {
    return std::string("error: ") + e.what();
  }
}

void RunSmtp() {
  // Lines just under what one reply may hold.
  const std::string endless = "250-" + std::string(kMaxReplyBytes - 100, 'x') + "\r\n";
  Report("SMTP", "silent server", [] {
    HostileServer s(Silent);
    return Alert(s.Port());
  });
  Report("SMTP", "one byte a second", [] {
    HostileServer s(ByteASecond);
    return Alert(s.Port());
  });
  Report("SMTP", "drip after QUIT", [] {
    HostileServer s(SmtpDripAfterQuit);
    return Alert(s.Port());
  });
  Report("SMTP", "endless long continuation lines", [&] {
    HostileServer s([&](int fd, const std::atomic<bool>& stop) { EndlessContinuation(fd, stop, endless); });
    return Alert(s.Port());
  });
  Report("SMTP", "unresolvable name", [] { return Alert(25, "no-such-host.invalid"); });
  Report("SMTP", "name server never answers", [] {
    SetLookupFunction(&HangingLookup);
    const std::string outcome = Alert(25, "mail.example.test");
    SetLookupFunction(nullptr);
    return outcome;
  });
}

void RunPop3() {
  // Lines just under the line cap.
  const std::string endless = "+OK-" + std::string(kMaxReplyLineBytes - 10, 'x') + "\r\n";
  Report("POP3", "silent server", [] {
    HostileServer s(Silent);
    return Poll(s.Port());
  });
  Report("POP3", "one byte a second", [] {
    HostileServer s(ByteASecond);
    return Poll(s.Port());
  });
  Report("POP3", "drip after Quit", [] {
    HostileServer s(Pop3DripAfterQuit);
    return Poll(s.Port());
  });
  Report("POP3", "endless long continuation lines", [&] {
    HostileServer s([&](int fd, const std::atomic<bool>& stop) { EndlessContinuation(fd, stop, endless); });
    return Poll(s.Port());
  });
  Report("POP3", "unresolvable name", [] { return Poll(110, "no-such-host.invalid"); });
  Report("POP3", "name server never answers", [] {
    SetLookupFunction(&HangingLookup);
    const std::string outcome = Poll(110, "mail.example.test");
    SetLookupFunction(nullptr);
    return outcome;
  });
}

} // namespace

int main(int argc, char** argv) {
  const std::string which = argc > 1 ? argv[1] : "all";
  char folder[] = "/tmp/mail_limits.XXXXXX";
  if (!mkdtemp(folder) || chdir(folder) != 0) return 1;
  cv::imwrite("recept.jpg", cv::Mat(480, 640, CV_8UC3, cv::Scalar(40, 90, 160)));
  AppSettings = typVardocam{};
  AppSettings.USEMAIL = true;
  AppSettings.MAIL_MAILADDRESS = "camera@mail.test";
  AppSettings.MAIL_TOADDRESS = "owner@mail.test";
  AppSettings.MAIL_R_USERNAME = "user";
  AppSettings.MAIL_R_PASSWORD = "secret";
  std::printf("| protocol | server | window held | peak resident (rise) | outcome |\n|---|---|---|---|---|\n");
  if (which == "all" || which == "smtp") RunSmtp();
  if (which == "all" || which == "pop3") RunPop3();
  // Abandoned lookups are still asleep; the process ends without them.
  std::_Exit(0);
}
