#pragma once
#include "net/TlsLayer.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// The TLS plug-in on OpenSSL: a client offering the highest version the
// library has, cipher list "DEFAULT", sending the server name, and checking
// the certificate chain against the system's trust store (OpenSSL's default
// paths) and the host name unless VerifyCert is off.
class TOpenSslLayer : public TTlsLayer {
public:
  explicit TOpenSslLayer(int& socketHandle);
  ~TOpenSslLayer() override;

  bool Connect(const std::string& serverName, int timeoutMs) override;
  void Shutdown() override;
  bool Send(const char* data, size_t len, int timeoutMs, int& error) override;
  size_t Recv(char* data, size_t len, int& error) override;
  int Pending() override;

  // Initialises the library once for the whole process; false if it cannot be.
  static bool InitLibrary();

private:
  void Release();
  void RecordLibraryError(const char* operation);

  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
};
