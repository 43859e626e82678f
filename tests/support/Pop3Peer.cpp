#include "support/Pop3Peer.h"

#include "support/LoopbackPort.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr const char* kDovecot = "/usr/sbin/dovecot";
constexpr int kStartWaitMs = 10000;
constexpr int kStopWaitMs = 10000;
constexpr int kStartAttempts = 3;

bool Listening(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

// Hands a path to the user the mail process runs as.
void GiveToNobody(const std::string& path) {
  const passwd* user = getpwnam("nobody");
  const group* grp = getgrnam("nogroup");
  if (!user || !grp || chown(path.c_str(), user->pw_uid, grp->gr_gid) != 0) {
    throw std::runtime_error("cannot hand " + path + " to nobody:nogroup");
  }
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

Pop3Peer::~Pop3Peer() { Stop(); }

std::string Pop3Peer::Unavailable() {
  if (access(kDovecot, X_OK) != 0) return "dovecot is not installed";
  if (geteuid() != 0) return "dovecot as a test peer needs root (the maildir belongs to nobody)";
  return "";
}

void Pop3Peer::WriteConfig(int port) {
  const std::string d = dir_->Path();
  WriteFileBytes(dir_->File("passwd"), std::string(kUser) + ":{PLAIN}" + kPassword + "::::::\n");
  WriteFileBytes(dir_->File("dovecot.conf"),
                 "protocols = pop3\n"
                 "listen = 127.0.0.1\n"
                 "base_dir = " + d + "/run\n"
                 "state_dir = " + d + "/state\n"
                 "log_path = " + d + "/dovecot.log\n"
                 + (certPath_.empty() ? std::string("ssl = no\n")
                                      : "ssl = yes\nssl_cert = <" + certPath_ + "\nssl_key = <" + keyPath_ + "\n") +
                 "disable_plaintext_auth = no\n"
                 "mail_location = maildir:" + Maildir() + "\n"
                 "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN " + d + "/passwd\n}\n"
                 "userdb {\n  driver = static\n"
                 "  args = uid=nobody gid=nogroup home=" + Maildir() + "\n}\n"
                 "service pop3-login {\n  inet_listener pop3 {\n"
                 "    address = 127.0.0.1\n    port = " + std::to_string(port) + "\n  }\n" +
                 (certPath_.empty() ? std::string()
                                    : "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " +
                                          std::to_string(tlsPort_) + "\n    ssl = yes\n  }\n") +
                 "}\n");
}

void Pop3Peer::Start() {
  Stop();
  dir_ = std::make_unique<TempDir>();
  // The mail and login processes run unprivileged and must reach the box.
  fs::permissions(dir_->Path(), fs::perms(0755));
  for (const char* sub : {"run", "state"}) fs::create_directory(dir_->File(sub));
  fs::create_directory(Maildir());
  GiveToNobody(Maildir());
  for (const char* sub : {"new", "cur", "tmp"}) {
    std::string path = Maildir() + "/" + sub;
    fs::create_directory(path);
    GiveToNobody(path);
  }
  delivered_ = 0;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (TryStart(FreeLoopbackPort())) return;
  }
  std::string log = Log();
  Stop();
  throw std::runtime_error("dovecot did not start:\n" + log);
}

void Pop3Peer::EnableTls(const std::string& certPath, const std::string& keyPath) {
  certPath_ = certPath;
  keyPath_ = keyPath;
}

bool Pop3Peer::TryStart(int port) {
  if (!certPath_.empty()) {
    do tlsPort_ = FreeLoopbackPort();
    while (tlsPort_ == port);
  }
  WriteConfig(port);
  std::string config = dir_->File("dovecot.conf");
  std::string output = dir_->File("dovecot.out");
  const char* argv[] = {kDovecot, "-F", "-c", config.c_str(), nullptr};
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    // Goes with the test process even when that one is killed.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execv(kDovecot, const_cast<char* const*>(argv));
    _exit(127);
  }
  pid_ = pid;
  port_ = port;
  for (int waited = 0; waited < kStartWaitMs; waited += 10) {
    if (Listening(port) && (tlsPort_ == 0 || Listening(tlsPort_))) return true;
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    Pause(10);
  }
  Stop();
  return false;
}

void Pop3Peer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  int waited = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (waited >= kStopWaitMs) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    Pause(10);
    waited += 10;
  }
  pid_ = -1;
}

void Pop3Peer::AddMessage(const std::string& text) {
  std::string name = std::to_string(time(nullptr)) + ".M" + std::to_string(++delivered_) + "P" +
                     std::to_string(getpid()) + ".vardocam-test";
  std::string staged = Maildir() + "/tmp/" + name;
  WriteFileBytes(staged, text);
  GiveToNobody(staged);
  fs::rename(staged, Maildir() + "/new/" + name);
}

int Pop3Peer::MessageCount() const {
  int count = 0;
  for (const char* sub : {"new", "cur"}) {
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(Maildir() + "/" + sub, ignored)) {
      if (entry.is_regular_file()) ++count;
    }
  }
  return count;
}

bool Pop3Peer::WaitForMessageCount(int count, int timeoutMs) const {
  for (int waited = 0;; waited += 10) {
    if (MessageCount() == count) return true;
    if (waited >= timeoutMs) return false;
    Pause(10);
  }
}

std::string Pop3Peer::Log() const {
  if (!dir_) return "";
  return ReadFileBytes(dir_->File("dovecot.log")) + ReadFileBytes(dir_->File("dovecot.out"));
}
