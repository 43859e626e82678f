#include "pop3/Pop3Client.h"

#include <algorithm>
#include <exception>

#include "net/LineEnd.h"
#include "net/SocketError.h"
#include "pop3/Pop3Error.h"

namespace {
constexpr int kStatusOk = 1;
}  // namespace

TPop3Socket::Deadline TPop3Client::Within(int ms) const {
  return std::min(DeadlineAfter(ms), sessionDeadline_);
}

void TPop3Client::ReleaseSocket() {
  socket_.Abandon();
  peerClosed_ = false;
}

template <typename Call>
auto TPop3Client::Guarded(Call call) -> decltype(call()) {
  try {
    return call();
  } catch (const EPop3Timeout&) {
    ReleaseSocket();
    throw;
  } catch (const EPop3SocketError& e) {
    if (e.Code() == kSockErrConnReset) peerClosed_ = true;
    throw;
  }
}

void TPop3Client::Connect() {
  if (socket_.IsOpen()) throw EPop3AlreadyConnected();
  ReleaseSocket();
  received_.clear();
  reply_.Clear();
  // Checked before anything leaves the machine: a line break would let the
  // setting smuggle a second command onto the wire.
  if (HasLineBreak(UserId) || HasLineBreak(Password)) throw EPop3LineBreakInCommand();

  sessionDeadline_ = DeadlineAfter(SessionTimeoutMs);
  try {
    socket_.SetCancel(Cancel);
    socket_.Open(Host, Port, ConnectTimeoutMs, sessionDeadline_);
    if (ConnectType == kPop3ConnectTls) socket_.StartTls(VerifyCert, Within(ReplyTimeoutMs));
  } catch (...) {
    ReleaseSocket();
    throw;
  }

  try {
    ReadReply(std::vector<int>{kStatusOk}, Within(ReplyTimeoutMs));
    if (ConnectType == kPop3ConnectStls) {
      SendCommand("STLS", -1);
      if (reply_.Status != kStatusOk) throw EPop3StlsRefused(reply_.LastLine());
      socket_.StartTls(VerifyCert, Within(ReplyTimeoutMs));
    }
    SendCommand("USER " + UserId, kStatusOk);
    SendCommand("PASS " + Password, kStatusOk);
  } catch (...) {
    // The first failure is the one that matters; a failing Quit would only
    // repeat that the line is gone.
    try {
      Disconnect(false);
    } catch (const EPop3Error&) {
    }
    throw;
  }
}

int TPop3Client::GetMessageCount() {
  SendCommand("STAT", kStatusOk);
  return ParseMessageCount(reply_.LastLine());
}

bool TPop3Client::DeleteMessage(int number) {
  return SendCommand("DELE " + std::to_string(number), kStatusOk) == kStatusOk;
}

TPop3Client::HeaderResult TPop3Client::ReadHeader(int number, size_t maxBytes, std::string& header) {
  header.clear();
  const std::string n = std::to_string(number);
  if (SendCommand("TOP " + n + " 0", -1) != kStatusOk && SendCommand("RETR " + n, -1) != kStatusOk)
    return HeaderResult::Refused;
  return ReadHeaderData(maxBytes, header);
}

TPop3Client::HeaderResult TPop3Client::ReadHeaderData(size_t maxBytes, std::string& header) {
  bool inHeader = true;
  bool tooLong = false;
  bool skippingLine = false;  // the rest of a line too long to keep
  char chunk[kReceiveChunkBytes];
  for (;;) {
    const size_t lf = received_.find('\n');
    if (lf != std::string::npos) {
      std::string line = received_.substr(0, lf);
      received_.erase(0, lf + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (skippingLine) {
        skippingLine = false;
        continue;
      }
      if (line == ".") break;
      if (!line.empty() && line[0] == '.') line.erase(0, 1);
      if (!inHeader) continue;
      if (line.empty()) {
        inHeader = false;
      } else if (!tooLong) {
        if (header.size() + line.size() + 2 > maxBytes) tooLong = true;
        else header += line + "\r\n";
      }
      continue;
    }
    // A line without end longer than all the header may hold: dropped as it
    // comes, so that a huge body line costs no memory.
    if (received_.size() > maxBytes) {
      if (inHeader) tooLong = true;
      received_.clear();
      skippingLine = true;
    }
    if (peerClosed_ || !socket_.IsOpen()) {
      ReleaseSocket();
      throw EPop3ConnectionClosed();
    }
    const TPop3Socket::Deadline deadline = Within(ReplyTimeoutMs);
    const size_t n = Guarded([&] { return socket_.Receive(chunk, sizeof chunk, deadline); });
    if (n == 0) peerClosed_ = true;
    else received_.append(chunk, n);
  }
  if (tooLong) header.clear();
  return tooLong ? HeaderResult::TooLong : HeaderResult::Read;
}

std::string TPop3Client::UniqueId(int number) {
  if (SendCommand("UIDL " + std::to_string(number), -1) != kStatusOk) return "";
  return ParseUniqueIdLine(reply_.LastLine(), number);
}

bool TPop3Client::Disconnect(bool readAnswer) {
  std::exception_ptr writeError;
  try {
    WriteLine("Quit", Within(ReplyTimeoutMs));
  } catch (...) {
    writeError = std::current_exception();
  }
  bool committed = false;
  if (!writeError && readAnswer) {
    try {
      committed = ReadReply(std::vector<int>{}, Within(ReplyTimeoutMs)) == kStatusOk;
    } catch (const EPop3Error&) {
      // No answer is no commitment: the marked mails may still be there.
    }
  }
  socket_.Close(Within(ReplyTimeoutMs));
  peerClosed_ = false;
  if (writeError) std::rethrow_exception(writeError);
  return committed;
}

bool TPop3Client::Connected() {
  if (peerClosed_) ReleaseSocket();
  return socket_.IsOpen();
}

int TPop3Client::SendCommand(const std::string& text, int expected) {
  TPop3Socket::Deadline deadline = Within(ReplyTimeoutMs);
  if (!text.empty()) WriteLine(text, deadline);
  // A negative expectation accepts any status; the caller looks at it.
  return ReadReply(expected < 0 ? std::vector<int>{} : std::vector<int>{expected}, deadline);
}

int TPop3Client::ReadReply(std::initializer_list<int> allowed) {
  return ReadReply(std::vector<int>(allowed), Within(ReplyTimeoutMs));
}

int TPop3Client::ReadReply(const std::vector<int>& allowed, TPop3Socket::Deadline deadline) {
  reply_.Clear();
  try {
    while (!reply_.AddLine(ReadLine(deadline))) {
    }
  } catch (const EPop3ReplyTooLong&) {
    ReleaseSocket();
    throw;
  }
  if (!allowed.empty() &&
      std::find(allowed.begin(), allowed.end(), reply_.Status) == allowed.end()) {
    throw EPop3ReplyError(reply_.Status, reply_.LastLine());
  }
  return reply_.Status;
}

std::string TPop3Client::ReadLine(TPop3Socket::Deadline deadline) {
  std::string line;
  char chunk[kReceiveChunkBytes];
  for (;;) {
    switch (TakeLine(received_, line)) {
      case TLineResult::Line:
        return line;
      case TLineResult::TooLong:
        received_.clear();
        ReleaseSocket();
        throw EPop3ReplyTooLong();
      case TLineResult::NeedMore:
        break;
    }
    if (peerClosed_ || !socket_.IsOpen()) {
      ReleaseSocket();
      throw EPop3ConnectionClosed();
    }
    size_t n = Guarded([&] { return socket_.Receive(chunk, sizeof chunk, deadline); });
    if (n == 0) {
      peerClosed_ = true;
    } else {
      received_.append(chunk, n);
    }
  }
}

void TPop3Client::WriteLine(const std::string& text, TPop3Socket::Deadline deadline) {
  if (peerClosed_ || !socket_.IsOpen()) {
    ReleaseSocket();
    throw EPop3ConnectionClosed();
  }
  if (HasLineBreak(text)) throw EPop3LineBreakInCommand();
  Guarded([&] { socket_.SendAll(text + "\r\n", deadline); });
}
