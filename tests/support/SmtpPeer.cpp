#include "support/SmtpPeer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {
constexpr int kPeerStartTimeoutMs = 15000;
constexpr int kPeerStopTimeoutMs = 5000;
constexpr char kPython[] = "/usr/bin/python3";
} // namespace

SmtpPeer::SmtpPeer(const std::string& mode, const std::string& outdir,
                   const std::vector<std::string>& extra) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return;
  }
  std::vector<std::string> args = {kPython, std::string(VARDOCAM_TEST_PEERS_DIR) + "/smtp_server.py",
                                   "--mode", mode, "--outdir", outdir};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);

  const std::string log = outdir + "/server.log";
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (logFd >= 0) ::dup2(logFd, 2);
    ::execv(kPython, argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  stdinFd_ = in[1];
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  // Wait for "PORT n".
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerStartTimeoutMs);
  while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char c[256];
    const ssize_t got = ::read(out[0], c, sizeof c);
    if (got <= 0) break;
    line.append(c, static_cast<size_t>(got));
  }
  ::close(out[0]);
  if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
}

SmtpPeer::~SmtpPeer() {
  if (stdinFd_ >= 0) ::close(stdinFd_);  // the server stops when its input ends
  if (pid_ <= 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPeerStopTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
}

bool WriteSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                         const std::string& commonName, bool expired) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  bool ok = key && cert;
  if (ok) {
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    const long day = 24 * 60 * 60;
    X509_gmtime_adj(X509_getm_notBefore(cert), expired ? -30 * day : -day);
    X509_gmtime_adj(X509_getm_notAfter(cert), expired ? -day : 30 * day);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    ok = X509_sign(cert, key, EVP_sha256()) > 0;
  }
  if (ok) {
    FILE* f = std::fopen(certPath.c_str(), "w");
    ok = f && PEM_write_X509(f, cert) == 1;
    if (f) std::fclose(f);
  }
  if (ok) {
    FILE* f = std::fopen(keyPath.c_str(), "w");
    ok = f && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (f) std::fclose(f);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return ok;
}
