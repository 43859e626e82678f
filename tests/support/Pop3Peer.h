#pragma once
#include <sys/types.h>

#include <memory>
#include <string>

#include "support/TempDir.h"

// A real POP3 server (dovecot) on 127.0.0.1 for one test: its own config,
// runtime folders, user and maildir in a temporary folder, a free port.
// Stopped at the latest when the object goes, even when the test failed.
class Pop3Peer {
public:
  static constexpr const char* kUser = "user";
  static constexpr const char* kPassword = "secret";

  Pop3Peer() = default;
  ~Pop3Peer();
  Pop3Peer(const Pop3Peer&) = delete;
  Pop3Peer& operator=(const Pop3Peer&) = delete;

  // Why this machine cannot run the peer, or empty when it can.
  static std::string Unavailable();

  // Before Start: offer STLS on Port() and TLS from the first byte on
  // TlsPort(), showing this certificate.
  void EnableTls(const std::string& certPath, const std::string& keyPath);
  int TlsPort() const { return tlsPort_; }

  // Starts the server and waits until it listens; throws std::runtime_error
  // with the server's log when it does not come up.
  void Start();
  // Stops the server and waits for it to go.
  void Stop();
  int Port() const { return port_; }

  // Puts a message into the box, as a delivery would.
  void AddMessage(const std::string& text);
  // Messages in the box now.
  int MessageCount() const;
  // Waits until the box holds `count` messages (the server removes deleted
  // ones just after it answers "Quit"); false when it did not in `timeoutMs`.
  bool WaitForMessageCount(int count, int timeoutMs = 5000) const;
  std::string Log() const;

private:
  bool TryStart(int port);
  void WriteConfig(int port);
  std::string Maildir() const { return dir_->File("Maildir"); }

  std::unique_ptr<TempDir> dir_;
  pid_t pid_ = -1;
  int port_ = 0;
  int delivered_ = 0;
  std::string certPath_;
  std::string keyPath_;
  int tlsPort_ = 0;
};
