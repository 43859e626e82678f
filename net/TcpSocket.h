#pragma once
#include <memory>

#include "net/BlockingSocket.h"
#include "net/TlsLayer.h"

// The TCP socket with its TLS plug-in. Connections are always direct.
class TTcpSocket : public TBlockingSocket {
public:
  TTcpSocket();
  ~TTcpSocket() override;

  TTlsLayer& SSL() { return *tls_; }
  const TTlsLayer& SSL() const { return *tls_; }

  // TLS handshake on the connected socket, for the host name given to
  // Connect, within HandshakeTimeout and the deadline; 10091 on failure
  // (SSL().CertRejected() tells an untrusted certificate apart).
  void SSLDoConnect();
  int WaitingData() override;
  void CloseSocket() override;
  void AbortSocket() override;

protected:
  bool SendChunk(const char* data, size_t len) override;
  size_t RecvChunk(char* data, size_t len) override;

private:
  std::unique_ptr<TTlsLayer> tls_;
};
