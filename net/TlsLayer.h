#pragma once
#include <cstddef>
#include <string>

constexpr int kHandshakeTimeoutMs = 30000; // a silent peer must not hold the handshake forever

// The TLS plug-in of a socket: the handshake, and the send, receive and
// waiting-data paths once TLS is on. Failures are recorded, never thrown.
class TTlsLayer {
public:
  explicit TTlsLayer(int& socketHandle) : socket_(socketHandle) {}
  virtual ~TTlsLayer() = default;
  TTlsLayer(const TTlsLayer&) = delete;
  TTlsLayer& operator=(const TTlsLayer&) = delete;

  // Check the server's certificate against the system's trust store and the
  // host name it was reached by; off only when the user opted out.
  bool VerifyCert = true;
  std::string Ciphers;
  int HandshakeTimeout = kHandshakeTimeoutMs;

  bool SSLEnabled() const { return enabled_; }
  // The TLS library's own error code and text of the last failure.
  unsigned long LastError() const { return lastError_; }
  const std::string& LastErrorDesc() const { return lastErrorDesc_; }
  // The last handshake failed because the certificate was not trusted
  // (unknown issuer, expired, or issued for another name).
  bool CertRejected() const { return certRejected_; }

  // Client handshake on the connected socket, naming serverName (SNI and,
  // with VerifyCert, the name the certificate must carry) and giving up
  // after timeoutMs; false on failure.
  virtual bool Connect(const std::string& serverName, int timeoutMs) = 0;
  // Close notification, then the TLS objects are released.
  virtual void Shutdown() = 0;
  // Sends all of len bytes, waiting up to timeoutMs whenever the socket is
  // not ready; false with a socket error code in error.
  virtual bool Send(const char* data, size_t len, int timeoutMs, int& error) = 0;
  // Reads up to len bytes: >0 bytes; 0 with error 0 when no application
  // data could be delivered yet; 0 with a socket error code on failure.
  virtual size_t Recv(char* data, size_t len, int& error) = 0;
  // Decrypted bytes that can be read without touching the socket.
  virtual int Pending() = 0;

protected:
  int Handle() const { return socket_; }
  void SetEnabled(bool on) { enabled_ = on; }
  void SetCertRejected(bool rejected) { certRejected_ = rejected; }
  void SetLastError(unsigned long code, std::string text) {
    lastError_ = code;
    lastErrorDesc_ = std::move(text);
  }

private:
  int& socket_;
  bool enabled_ = false;
  bool certRejected_ = false;
  unsigned long lastError_ = 0;
  std::string lastErrorDesc_;
};
