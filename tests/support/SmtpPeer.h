#pragma once
#include <string>
#include <vector>

// The real SMTP server of tests/peers/smtp_server.py, run on 127.0.0.1 for
// the life of the object and always stopped at its end.
class SmtpPeer {
public:
  // mode: "plain", "starttls" or "tls"; extra: more arguments for the script.
  SmtpPeer(const std::string& mode, const std::string& outdir,
           const std::vector<std::string>& extra = {});
  ~SmtpPeer();
  SmtpPeer(const SmtpPeer&) = delete;
  SmtpPeer& operator=(const SmtpPeer&) = delete;

  bool Running() const { return port_ > 0; }
  std::string Port() const { return std::to_string(port_); }

private:
  int pid_ = -1;
  int stdinFd_ = -1;
  int port_ = 0;
};

// A self-signed certificate and its key written as PEM files. The name is
// the certificate's common name; an expired one ended yesterday.
bool WriteSelfSignedCert(const std::string& certPath, const std::string& keyPath,
                         const std::string& commonName, bool expired);
