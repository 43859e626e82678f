#pragma once
#include <string>

// Failures of the socket and TLS layer are reported by WinSock-style numbers,
// so callers and messages see the same codes on every platform.
constexpr int kSockErrInterrupted = 10004;
constexpr int kSockErrInvalidArgument = 10022;
constexpr int kSockErrWouldBlock = 10035;
constexpr int kSockErrAddressFamily = 10047;
constexpr int kSockErrConnReset = 10054;   // the peer closed the connection
constexpr int kSockErrNoBuffers = 10055;   // also: a line longer than the limit
constexpr int kSockErrNotConnected = 10057;
constexpr int kSockErrTimedOut = 10060;
constexpr int kSockErrConnRefused = 10061;
constexpr int kSockErrHostUnreachable = 10065;
constexpr int kSockErrTlsFailed = 10091;   // handshake, TLS read or TLS write failed
constexpr int kSockErrServiceNotFound = 10109;
constexpr int kSockErrHostNotFound = 11001;
constexpr int kSockErrTryAgain = 11002;
constexpr int kSockErrNoRecovery = 11003;
constexpr int kSockErrNoData = 11004;

// The WinSock twin of an errno value; an errno without one is returned as is.
int SocketErrorFromErrno(int err);
// The WinSock twin of a getaddrinfo result (errno is consulted for EAI_SYSTEM).
int SocketErrorFromResolver(int gaiResult, int err);
// A short English description of a code, for logs.
std::string SocketErrorText(int code);
