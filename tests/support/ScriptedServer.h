#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

// A loopback server that plays a fixed script to the first client that
// connects and records every byte it receives. For exact wire edge cases:
// split packets, odd line ends, silence, sudden closes, endless lines.
class ScriptedServer {
public:
  ScriptedServer();   // listens on 127.0.0.1 on a free port
  ~ScriptedServer();  // stops the script and closes everything
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string Port() const { return std::to_string(port_); }

  // Script steps, run in order once Start is called.
  ScriptedServer& Send(std::string bytes);
  ScriptedServer& Pause(int ms);
  // Waits for the client's next line (up to LF).
  ScriptedServer& ReadLine();
  // Waits until the client has sent a message ended by CR LF "." CR LF.
  ScriptedServer& ReadMessage();
  ScriptedServer& Close();
  // Sends bytes without any line end until count is reached or the client goes.
  ScriptedServer& Flood(size_t count);
  // Stops reading: the client's sends fill the buffers and then block.
  ScriptedServer& StopReading();

  void Start();
  // Waits for the script to end and the client to close (at most a few
  // seconds) and returns everything received.
  std::string Received();

private:
  enum class Kind { Send, Pause, ReadLine, ReadMessage, Close, Flood, StopReading };
  struct Step {
    Kind kind;
    std::string bytes;
    size_t count = 0;
  };

  void Run();
  bool ReadMore(int conn);
  bool WaitForText(int conn, const std::string& text);

  int listen_ = -1;
  int port_ = 0;
  std::vector<Step> steps_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::string received_;
  size_t consumed_ = 0;
};
