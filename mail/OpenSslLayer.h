#pragma once
#include "mail/TlsLayer.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// The TLS plug-in on OpenSSL: a client offering the highest version the
// library has, cipher list "DEFAULT", no certificate or host-name check and
// no server name sent.
class TOpenSslLayer : public TTlsLayer {
public:
  explicit TOpenSslLayer(int& socketHandle);
  ~TOpenSslLayer() override;

  bool Connect() override;
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
