#include "net/TcpSocket.h"

#include <algorithm>

#include "net/OpenSslLayer.h"

TTcpSocket::TTcpSocket() : tls_(std::make_unique<TOpenSslLayer>(fd_)) {}

// The base destructor cannot reach the TLS shutdown, so it happens here.
TTcpSocket::~TTcpSocket() { TTcpSocket::CloseSocket(); }

void TTcpSocket::SSLDoConnect() {
  ResetError();
  const int timeoutMs = WithinDeadline(tls_->HandshakeTimeout);
  if (!tls_->Connect(PeerName(), timeoutMs)) SetError(kSockErrTlsFailed);
}

int TTcpSocket::WaitingData() {
  if (!tls_->SSLEnabled()) return TBlockingSocket::WaitingData();
  const int pending = tls_->Pending();
  if (pending > 0) return pending;
  return std::min(TBlockingSocket::WaitingData(), kMaxPacketBytes);
}

bool TTcpSocket::SendChunk(const char* data, size_t len) {
  if (!tls_->SSLEnabled()) return TBlockingSocket::SendChunk(data, len);
  int error = 0;
  if (tls_->Send(data, len, WithinDeadline(NonblockSendTimeout), error)) return true;
  SetError(error);
  return false;
}

size_t TTcpSocket::RecvChunk(char* data, size_t len) {
  if (!tls_->SSLEnabled()) return TBlockingSocket::RecvChunk(data, len);
  int error = 0;
  const size_t got = tls_->Recv(data, len, error);
  if (error != 0) SetError(error);
  return got;
}

void TTcpSocket::CloseSocket() {
  if (tls_->SSLEnabled()) tls_->Shutdown();
  TBlockingSocket::CloseSocket();
}

void TTcpSocket::AbortSocket() {
  if (tls_->SSLEnabled()) tls_->Shutdown();
  TBlockingSocket::AbortSocket();
}
