#pragma once
#include <string>

// A certificate authority of the tests' own and server certificates it
// signs, written as PEM files, so that TLS peers on 127.0.0.1 can be checked
// the way real servers are: point SSL_CERT_FILE at the authority's file and
// OpenSSL's default trust store holds it (TrustedCa does that for a scope).
struct TestCa {
  std::string certPath;
  std::string keyPath;
};

// Writes ca.pem and ca-key.pem into dir; empty paths on failure.
TestCa WriteTestCa(const std::string& dir);

// A server certificate for the names (DNS names and addresses, comma
// separated, e.g. "localhost,127.0.0.1") signed by ca.
bool WriteServerCert(const TestCa& ca, const std::string& names, const std::string& certPath,
                     const std::string& keyPath);

// Makes OpenSSL's default verify paths trust only this file while alive.
class TrustedCa {
public:
  explicit TrustedCa(const std::string& caFile);
  ~TrustedCa();
  TrustedCa(const TrustedCa&) = delete;
  TrustedCa& operator=(const TrustedCa&) = delete;

private:
  std::string saved_;
  bool hadValue_ = false;
};
