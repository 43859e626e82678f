#pragma once
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// One accepted client of a Pop3ScriptServer, as the script sees it. Every
// read records what the client sent.
class ScriptConnection {
public:
  ScriptConnection(int fd, std::string& received) : fd_(fd), received_(received) {}
  void Send(const std::string& bytes);
  // The next line the client sent, without its line end; nothing when the
  // client closed or `timeoutMs` passed.
  std::optional<std::string> ReadLine(int timeoutMs = 5000);
  // Reads until the client closes; false when `timeoutMs` passed first.
  bool WaitClosed(int timeoutMs = 5000);
  // Ends the server's side of the connection in an orderly way.
  void Close();
  // Closes with a reset instead of an orderly close.
  void Reset();

private:
  bool Fill(int timeoutMs);
  int fd_;
  std::string& received_;
  std::string pending_;
  bool closed_ = false;
};

// A loopback server on 127.0.0.1 that plays `script` against the first
// client, for wire cases a real server will not produce on demand.
class Pop3ScriptServer {
public:
  using Script = std::function<void(ScriptConnection&)>;
  // Waits `acceptWaitMs` for the client; tests that expect none shorten it.
  explicit Pop3ScriptServer(Script script, int acceptWaitMs = 10000);
  ~Pop3ScriptServer();
  Pop3ScriptServer(const Pop3ScriptServer&) = delete;
  Pop3ScriptServer& operator=(const Pop3ScriptServer&) = delete;

  int Port() const { return port_; }
  // Waits for the script to end; rethrows what went wrong in it.
  void Join();
  // After Join: whether a client came, and every byte it sent.
  bool Accepted() const { return accepted_; }
  const std::string& Received() const { return received_; }

private:
  void Run(Script script, int acceptWaitMs);
  int listenFd_ = -1;
  int port_ = 0;
  bool accepted_ = false;
  std::string received_;
  std::exception_ptr error_;
  std::thread thread_;
};
