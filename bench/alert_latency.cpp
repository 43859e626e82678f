// Latency of an alert on loopback: from the start of the tick that detects
// motion (frame file written, read back, grey, binarised, compared) to the
// SMTP server having stored the whole alert mail, for a 640 x 480 and a
// 1920 x 1080 frame, plain and with TLS from the first byte. The server is
// the tests' aiosmtpd peer script on 127.0.0.1, which writes msg-N.eml and
// then msg-N.json once a message is in.
//   alert_latency [REPEATS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <sys/stat.h>
#include <unistd.h>

#include "capture/BmpFile.h"
#include "mail/AlertMail.h"
#include "settings/Vardocamdef.h"
#include "vision/Nsopencv.h"

namespace {
using Clock = std::chrono::steady_clock;
constexpr char kFrameFile[] = "result.bmp";
// How long one mail may take to reach the server before the run gives up.
constexpr int kArrivalTimeoutMs = 10000;
// How long the server may take to name its port.
constexpr int kServerStartTimeoutMs = 15000;

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

long FileSize(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

// The SMTP peer script as a plain child: it writes "PORT n" once it
// listens and stops when its standard input, the pipe held here, ends.
class SmtpServer {
public:
  SmtpServer(const std::string& mode, const std::string& outdir,
             const std::vector<std::string>& extra) {
    const std::string portFile = outdir + "/port.txt";
    std::string command = std::string("exec /usr/bin/python3 '") + VARDOCAM_TEST_PEERS_DIR +
                          "/smtp_server.py' --mode " + mode + " --outdir '" + outdir + "'";
    for (const std::string& arg : extra) command += " '" + arg + "'";
    command += " >'" + portFile + "' 2>'" + outdir + "/server.log'";
    input_ = popen(command.c_str(), "w");
    const auto deadline = Clock::now() + std::chrono::milliseconds(kServerStartTimeoutMs);
    while (input_ && port_ == 0 && Clock::now() < deadline) {
      // Only a whole line counts: the number may be half written.
      std::ifstream in(portFile);
      std::string line;
      if (std::getline(in, line) && !in.eof() && line.rfind("PORT ", 0) == 0)
        port_ = std::atoi(line.c_str() + 5);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  ~SmtpServer() {
    if (input_) pclose(input_);
  }
  SmtpServer(const SmtpServer&) = delete;
  SmtpServer& operator=(const SmtpServer&) = delete;

  bool Running() const { return port_ > 0; }
  int Port() const { return port_; }

private:
  FILE* input_ = nullptr;
  int port_ = 0;
};

bool WriteSelfSignedCert(const std::string& cert, const std::string& key) {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 "
      "-subj /CN=127.0.0.1 -keyout '" + key + "' -out '" + cert + "' 2>/dev/null";
  return std::system(command.c_str()) == 0;
}

// A camera-like scene: a smooth gradient, a few objects, sensor noise, and
// one object that moves between the two scenes.
cv::Mat Scene(int width, int height, int shift) {
  cv::Mat scene(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r) {
    auto* row = scene.ptr<cv::Vec3b>(r);
    for (int c = 0; c < width; ++c)
      row[c] = cv::Vec3b(static_cast<uint8_t>(60 + 80 * r / height),
                         static_cast<uint8_t>(70 + 60 * c / width), 90);
  }
  cv::rectangle(scene, cv::Rect(width / 10, height / 2, width / 5, height / 3), {40, 50, 60},
                cv::FILLED);
  cv::circle(scene, {width * 3 / 4, height / 3}, height / 8, {200, 190, 180}, cv::FILLED);
  cv::rectangle(scene, cv::Rect(width / 4 + shift * width / 4, height / 5, width / 6, height / 2),
                {230, 230, 230}, cv::FILLED);
  cv::Mat noise(scene.size(), CV_8UC3);
  cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
  scene += noise;
  return scene;
}

struct Figures {
  double medianMs, maxMs, medianTickMs;
  long mailBytes;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

bool Measure(int width, int height, bool tls, int repeats, const std::string& folder,
             Figures& out) {
  const std::string outdir = folder + (tls ? "/tls-" : "/plain-") + std::to_string(width);
  mkdir(outdir.c_str(), 0700);
  std::vector<std::string> extra;
  if (tls) {
    const std::string cert = folder + "/cert.pem", key = folder + "/key.pem";
    if (!Exists(cert) && !WriteSelfSignedCert(cert, key)) return false;
    extra = {"--cert", cert, "--key", key};
  }
  SmtpServer peer(tls ? "tls" : "plain", outdir, extra);
  if (!peer.Running()) return false;

  AppSettings = typVardocam{};
  AppSettings.USEMAIL = true;
  AppSettings.MAIL_HOSTNAME = "127.0.0.1";
  AppSettings.MAIL_PORTNUMBER = peer.Port();
  AppSettings.MAIL_CONNECT_TYPE = tls ? 2 : 0;
  // The peer's certificate is self-signed: the measurement opts out of the check.
  AppSettings.MAIL_NOVERIFY_CERT = tls;
  AppSettings.MAIL_USERNAME = "user";
  AppSettings.MAIL_PASSWORD = "secret";
  AppSettings.MAIL_MAILADDRESS = "camera@example.com";
  AppSettings.MAIL_TOADDRESS = "owner@example.com";

  const cv::Mat scenes[2] = {Scene(width, height, 0), Scene(width, height, 1)};
  nsOpenCV vision("IMAGE");
  // The first frame only becomes the reference.
  WriteBmpFile(kFrameFile, scenes[0]);
  vision.LoadFrame(kFrameFile);
  vision.ConvertToGrey();
  vision.Binarize(-1);
  vision.DetectMotion(AppSettings.MOVEBORDER);

  std::vector<double> total, tick;
  for (int i = 1; i <= repeats; ++i) {
    const std::string stored = outdir + "/msg-" + std::to_string(i) + ".json";
    const auto start = Clock::now();
    WriteBmpFile(kFrameFile, scenes[i % 2]);
    vision.LoadFrame(kFrameFile);
    vision.ConvertToGrey();
    vision.Binarize(-1);
    if (!vision.DetectMotion(AppSettings.MOVEBORDER)) {
      std::fprintf(stderr, "no motion detected\n");
      return false;
    }
    const auto detected = Clock::now();
    // Built per mail, as the monitor builds them.
    MailInputs mail;
    FillSmtpSettings(mail.server);
    mail.writePicture = [&vision](const std::string& path) { vision.SaveImage(path); };
    if (!SendAlertMail(mail).sent) {
      std::fprintf(stderr, "the mail was not sent\n");
      return false;
    }
    // The server writes the .json after the whole .eml is closed.
    const auto deadline = start + std::chrono::milliseconds(kArrivalTimeoutMs);
    while (!Exists(stored)) {
      if (Clock::now() > deadline) {
        std::fprintf(stderr, "the mail did not arrive\n");
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const auto arrived = Clock::now();
    total.push_back(std::chrono::duration<double, std::milli>(arrived - start).count());
    tick.push_back(std::chrono::duration<double, std::milli>(detected - start).count());
  }
  out.medianMs = Median(total);
  out.maxMs = *std::max_element(total.begin(), total.end());
  out.medianTickMs = Median(tick);
  out.mailBytes = FileSize(outdir + "/msg-1.eml");
  return true;
}
} // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  char folderTemplate[] = "/dev/shm/alert_latency.XXXXXX";
  if (!mkdtemp(folderTemplate)) return 1;
  const std::string folder = folderTemplate;
  if (chdir(folder.c_str()) != 0) return 1;  // "result.bmp" and "recept.jpg" go here

  std::printf("%-11s %-5s %9s %10s %8s %12s\n", "frame", "mode", "median_ms", "max_ms",
              "tick_ms", "mail_bytes");
  int failures = 0;
  for (const auto& size : {std::make_pair(640, 480), std::make_pair(1920, 1080)}) {
    for (bool tls : {false, true}) {
      Figures f{};
      if (!Measure(size.first, size.second, tls, repeats, folder, f)) {
        std::printf("%dx%d %s: failed\n", size.first, size.second, tls ? "tls" : "plain");
        ++failures;
        continue;
      }
      std::printf("%4dx%-6d %-5s %9.1f %10.1f %8.1f %12ld\n", size.first, size.second,
                  tls ? "tls" : "plain", f.medianMs, f.maxMs, f.medianTickMs, f.mailBytes);
      std::fflush(stdout);
    }
  }
  if (chdir("/") == 0) std::system(("rm -rf '" + folder + "'").c_str());
  return failures == 0 ? 0 : 1;
}
