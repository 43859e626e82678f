#include "net/SocketError.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>

int SocketErrorFromErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return kSockErrInterrupted;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return kSockErrInvalidArgument;
    case EMFILE: return 10024;
    case EAGAIN: return kSockErrWouldBlock;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return kSockErrAddressFamily;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET: return kSockErrConnReset;
    case EPIPE: return kSockErrConnReset;  // writing to a connection the peer closed
    case ENOBUFS: return kSockErrNoBuffers;
    case ENOMEM: return kSockErrNoBuffers;
    case EISCONN: return 10056;
    case ENOTCONN: return kSockErrNotConnected;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return kSockErrTimedOut;
    case ECONNREFUSED: return kSockErrConnRefused;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return kSockErrHostUnreachable;
    default: return err;
  }
}

int SocketErrorFromResolver(int gaiResult, int err) {
  switch (gaiResult) {
    case 0: return 0;
    case EAI_NONAME: return kSockErrHostNotFound;
#ifdef EAI_NODATA
    case EAI_NODATA: return kSockErrNoData;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return kSockErrNoData;
#endif
    case EAI_AGAIN: return kSockErrTryAgain;
    case EAI_FAIL: return kSockErrNoRecovery;
    case EAI_SERVICE: return kSockErrServiceNotFound;
    case EAI_FAMILY: return kSockErrAddressFamily;
    case EAI_SOCKTYPE: return 10044;
    case EAI_BADFLAGS: return kSockErrInvalidArgument;
    case EAI_MEMORY: return kSockErrNoBuffers;
    case EAI_SYSTEM: return err ? SocketErrorFromErrno(err) : kSockErrNoRecovery;
    default: return kSockErrNoRecovery;
  }
}

std::string SocketErrorText(int code) {
  switch (code) {
    case 0: return "OK";
    case kSockErrConnReset: return "Connection closed by the peer";
    case kSockErrNoBuffers: return "No buffer space, or line too long";
    case kSockErrTimedOut: return "Timed out";
    case kSockErrConnRefused: return "Connection refused";
    case kSockErrHostUnreachable: return "Host unreachable";
    case kSockErrTlsFailed: return "TLS failure";
    case kSockErrHostNotFound: return "Host not found";
    case kSockErrTryAgain: return "Name lookup failed temporarily";
    case kSockErrServiceNotFound: return "Service not found";
    default: return "Socket error " + std::to_string(code);
  }
}
