#include "net/OpenSslLayer.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "net/BlockingSocket.h"
#include "net/SocketError.h"

namespace {

// A socket BIO that sends with MSG_NOSIGNAL: a peer that has gone must give
// an error, not a SIGPIPE that ends the program.
int FdOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t sent;
  do {
    sent = ::send(FdOf(bio), data, static_cast<size_t>(len), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* data, int len) {
  BIO_clear_retry_flags(bio);
  ssize_t got;
  do {
    got = ::recv(FdOf(bio), data, static_cast<size_t>(len), 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
  return static_cast<int>(got);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "vardocam socket");
    if (m) {
      BIO_meth_set_write(m, BioWrite);
      BIO_meth_set_read(m, BioRead);
      BIO_meth_set_ctrl(m, BioCtrl);
      BIO_meth_set_create(m, BioCreate);
    }
    return m;
  }();
  return method;
}

int MillisSince(std::chrono::steady_clock::time_point start) {
  return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count());
}

// Waits for what OpenSSL asked for; the socket error code, or 0 when ready.
int WaitForTls(int fd, int sslError, int timeoutMs) {
  const short events = sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
  const int ready = TBlockingSocket::WaitFor(fd, events, timeoutMs);
  if (ready == 0) return kSockErrTimedOut;
  if (ready < 0) return SocketErrorFromErrno(errno);
  return 0;
}

bool IsAddressLiteral(const std::string& name) {
  unsigned char scratch[16];
  return inet_pton(AF_INET, name.c_str(), scratch) == 1 || inet_pton(AF_INET6, name.c_str(), scratch) == 1;
}

} // namespace

bool TOpenSslLayer::InitLibrary() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    ok = OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                          nullptr) == 1 &&
         SocketMethod() != nullptr;
  });
  return ok;
}

TOpenSslLayer::TOpenSslLayer(int& socketHandle) : TTlsLayer(socketHandle) {
  Ciphers = "DEFAULT";
}

TOpenSslLayer::~TOpenSslLayer() { Release(); }

void TOpenSslLayer::Release() {
  if (ssl_) SSL_free(ssl_);  // frees the BIO with it
  if (ctx_) SSL_CTX_free(ctx_);
  ssl_ = nullptr;
  ctx_ = nullptr;
  SetEnabled(false);
}

void TOpenSslLayer::RecordLibraryError(const char* operation) {
  const unsigned long code = ERR_peek_last_error();
  std::string text = operation;
  if (code != 0) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += ": ";
    text += buffer;
  }
  SetLastError(code, text);
  ERR_clear_error();
}

bool TOpenSslLayer::Connect(const std::string& serverName, int timeoutMs) {
  SetLastError(0, std::string());
  SetCertRejected(false);
  Release();
  if (Handle() < 0) {
    SetLastError(0, "TLS connect: socket not open");
    return false;
  }
  if (!InitLibrary()) {
    SetLastError(0, "TLS connect: the TLS library could not be initialised");
    return false;
  }
  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_ || SSL_CTX_set_cipher_list(ctx_, Ciphers.c_str()) != 1) {
    RecordLibraryError("TLS context");
    Release();
    return false;
  }
  if (VerifyCert) {
    SSL_CTX_set_default_verify_paths(ctx_);
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  }
  ssl_ = SSL_new(ctx_);
  BIO* bio = ssl_ ? BIO_new(SocketMethod()) : nullptr;
  if (!bio) {
    RecordLibraryError("TLS connection");
    Release();
    return false;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(Handle())));
  SSL_set_bio(ssl_, bio, bio);
  const bool literal = IsAddressLiteral(serverName);
  // Servers with several names pick their certificate by the name sent; an
  // address is never sent as a name.
  if (!serverName.empty() && !literal) SSL_set_tlsext_host_name(ssl_, serverName.c_str());
  if (VerifyCert) {
    const bool named = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), serverName.c_str()) == 1
                               : SSL_set1_host(ssl_, serverName.c_str()) == 1;
    if (!named) {
      RecordLibraryError("TLS host name");
      Release();
      return false;
    }
  }

  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int rc = SSL_connect(ssl_);
    if (rc == 1) break;
    const int sslError = SSL_get_error(ssl_, rc);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
      const int remaining = timeoutMs - MillisSince(start);
      if (remaining > 0 && WaitForTls(Handle(), sslError, remaining) == 0) continue;
      SetLastError(0, "TLS handshake timed out");
      ERR_clear_error();
      Release();
      return false;
    }
    const long verify = SSL_get_verify_result(ssl_);
    if (VerifyCert && verify != X509_V_OK) {
      SetCertRejected(true);
      SetLastError(static_cast<unsigned long>(verify),
                   std::string("TLS certificate not trusted: ") + X509_verify_cert_error_string(verify));
      ERR_clear_error();
      Release();
      return false;
    }
    RecordLibraryError("TLS handshake");
    Release();
    return false;
  }
  SetEnabled(true);
  return true;
}

void TOpenSslLayer::Shutdown() {
  if (ssl_ && SSLEnabled()) {
    // One attempt: the close notification goes out if the socket takes it;
    // the peer's answer is not awaited.
    SSL_shutdown(ssl_);
    ERR_clear_error();
  }
  Release();
}

bool TOpenSslLayer::Send(const char* data, size_t len, int timeoutMs, int& error) {
  error = 0;
  if (!ssl_) {
    error = kSockErrTlsFailed;
    return false;
  }
  while (len > 0) {
    ERR_clear_error();
    size_t written = 0;
    const int rc = SSL_write_ex(ssl_, data, len, &written);
    if (rc == 1) {
      data += written;
      len -= written;
      continue;
    }
    const int sslError = SSL_get_error(ssl_, rc);
    if (sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE) {
      error = WaitForTls(Handle(), sslError, timeoutMs);
      if (error != 0) return false;
      continue;
    }
    if (sslError == SSL_ERROR_ZERO_RETURN ||
        (sslError == SSL_ERROR_SYSCALL && (errno == EPIPE || errno == ECONNRESET))) {
      // The peer closed: nothing more can be sent.
      error = kSockErrConnReset;
      ERR_clear_error();
      return false;
    }
    RecordLibraryError("TLS write");
    error = kSockErrTlsFailed;
    return false;
  }
  return true;
}

size_t TOpenSslLayer::Recv(char* data, size_t len, int& error) {
  error = 0;
  if (!ssl_) {
    error = kSockErrTlsFailed;
    return 0;
  }
  ERR_clear_error();
  size_t got = 0;
  const int rc = SSL_read_ex(ssl_, data, len, &got);
  if (rc == 1) return got;
  const int sslError = SSL_get_error(ssl_, rc);
  switch (sslError) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return 0;  // a record not yet complete, or a message that held no data
    case SSL_ERROR_ZERO_RETURN:
      error = kSockErrConnReset;
      return 0;
    case SSL_ERROR_SYSCALL:
      if (ERR_peek_error() == 0) {
        // The connection ended without a close notification.
        error = kSockErrConnReset;
        return 0;
      }
      break;
    case SSL_ERROR_SSL:
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        error = kSockErrConnReset;
        ERR_clear_error();
        return 0;
      }
      break;
    default:
      break;
  }
  RecordLibraryError("TLS read");
  error = kSockErrTlsFailed;
  return 0;
}

int TOpenSslLayer::Pending() {
  if (!ssl_) return 0;
  const int pending = SSL_pending(ssl_);
  if (pending > 0) return pending;
  // Bytes OpenSSL holds but has not yet decrypted still count as waiting.
  return SSL_has_pending(ssl_) ? kMaxPacketBytes : 0;
}
