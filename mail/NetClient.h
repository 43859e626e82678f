#pragma once
#include <string>

constexpr int kNetClientTimeoutMs = 5000;

// What every network client carries: where to connect, from which local
// address, how long to wait for the server, and the credentials.
class TNetClient {
public:
  virtual ~TNetClient() = default;

  std::string TargetHost = "127.0.0.1";
  std::string TargetPort = "0";
  std::string IPInterface = "0.0.0.0";
  int Timeout = kNetClientTimeoutMs;
  std::string UserName;
  std::string Password;
};
