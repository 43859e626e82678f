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
  // Sends bytes without any line end until count is reached, the client
  // goes or the script's time limit has passed.
  ScriptedServer& Flood(size_t count);
  // Sends bytes one at a time, everyMs apart, until all are sent, the client
  // goes or the script's time limit has passed.
  ScriptedServer& Drip(std::string bytes, int everyMs);
  // Stops reading: the client's sends fill the buffers and then block.
  ScriptedServer& StopReading();

  // Plays the script to each client in turn, not to the first one only.
  ScriptedServer& EveryClient();
  // Clients accepted so far.
  int Clients() const { return clients_; }

  void Start();
  // Waits for the script to end and the client to close (at most a few
  // seconds) and returns everything received.
  std::string Received();

private:
  enum class Kind { Send, Pause, ReadLine, ReadMessage, Close, Flood, Drip, StopReading };
  struct Step {
    Kind kind;
    std::string bytes;
    size_t count = 0;
  };

  void Run();
  void Play(int conn);
  bool ReadMore(int conn);
  bool WaitForText(int conn, const std::string& text);

  int listen_ = -1;
  int port_ = 0;
  std::vector<Step> steps_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool everyClient_ = false;
  std::atomic<int> clients_{0};
  std::string received_;
  size_t consumed_ = 0;
};
