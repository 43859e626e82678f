#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <opencv2/imgcodecs.hpp>

#include "monitor/MotionEpisode.h"
#include "mqtt/MqttLink.h"
#include "mqtt/MqttPublisher.h"
#include "mqtt/MqttTopics.h"
#include "net/NameLookup.h"
#include "settings/Vardocamdef.h"
#include "support/ChildProcess.h"
#include "support/HangingResolver.h"
#include "support/MqttPeer.h"
#include "support/SmtpPeer.h"
#include "support/TempDir.h"

namespace {
constexpr int kArriveMs = 10000;
constexpr int kEventCalls = 2000;
// Catches a call that waits on the network (a connect or a full socket),
// not a busy machine: the figures are bench/mqtt_tick_timing's.
constexpr double kMaxEventCallMs = 250.0;

QCoreApplication& App() {
  static int argc = 1;
  static char name[] = "mqtt_test";
  static char* argv[] = {name, nullptr};
  static QCoreApplication app(argc, argv);
  return app;
}

// Runs the Qt event loop (the motion-end timer, status calls) until the
// condition holds.
bool Pump(int timeoutMs, const std::function<bool()>& condition) {
  return WaitFor(timeoutMs, [&] {
    QCoreApplication::processEvents();
    return condition();
  });
}

MqttSettings Local(int port, const std::string& profile = "front") {
  MqttSettings s;
  s.host = "127.0.0.1";
  s.port = port;
  s.profile = profile;
  s.prefix = TopicPrefix("", profile);
  return s;
}

// Ids of the default profile and of plain names are what they always were;
// a name that loses characters on the way to an id gets a hash of it, so
// that no two profiles share a client id, a topic or a unique_id.
TEST(MqttTopics, PrefixNamesTheProfileAndKeepsTopicsPublishable) {
  const struct {
    const char *configured, *profile, *prefix, *node;
  } rows[] = {
      {"", "", "vardocam/default", "vardocam_default"},
      {"", "front", "vardocam/front", "vardocam_front"},
      {"/home/cams/door/", "x", "home/cams/door", "home_cams_door"},
      {"a/+/#", "", "a/_/_", "a____"},
      {"", "玄関 カメラ", "vardocam/玄関 カメラ", "vardocam_a53857e5"},
      {"", "裏口 カメラ", "vardocam/裏口 カメラ", "vardocam_5e0d1a54"},
      {"", "front door", "vardocam/front door", "vardocam_front_door_4ceb16fe"},
      {"", "front_door", "vardocam/front_door", "vardocam_front_door"},
      {"", "a+b#", "vardocam/a_b__4c7c9572", "vardocam_a_b__4c7c9572"},
      {"", "a_b_", "vardocam/a_b_", "vardocam_a_b_"},
  };
  std::set<std::string> clients;
  for (const auto& row : rows) {
    EXPECT_EQ(TopicPrefix(row.configured, row.profile), row.prefix);
    EXPECT_EQ(NodeId(row.prefix), row.node);
    clients.insert(MqttClientId("cam.pc", row.prefix));
  }
  EXPECT_EQ(clients.size(), std::size(rows));
  EXPECT_EQ(MqttClientId("cam.pc", "vardocam/default"), "vardocam-cam_pc-vardocam_default");
}

TEST(MqttTopics, PayloadsAreJsonWithEscapedText) {
  EXPECT_EQ(JsonString("a\"b\\c\nd"), "\"a\\\"b\\\\c\\u000ad\"");
  EXPECT_EQ(MailPayload(false, "接続\"失敗\""),
            "{\"kind\":\"alert\",\"sent\":false,\"failure\":\"接続\\\"失敗\\\"\"}");
  EXPECT_EQ(MailHeldBackPayload(55),
            "{\"kind\":\"alert\",\"sent\":false,\"held_back\":true,\"seconds_left\":55,\"failure\":\"\"}");
  EXPECT_EQ(MailHeldBackPayload(0, true), "{\"kind\":\"alert\",\"sent\":false,\"held_back\":true,\"seconds_left\":0,"
                                          "\"same_event\":true,\"failure\":\"\"}");
  // Each mail says its kind; the alert's bytes are as they always were.
  const std::pair<MailKind, std::string> kinds[] = {
      {MailKind::Alert, "alert"},   {MailKind::PersonAlert, "person_alert"}, {MailKind::Summary, "summary"},
      {MailKind::Health, "health"}, {MailKind::Confirmation, "confirmation"}, {MailKind::Test, "test"}};
  for (const auto& [kind, name] : kinds)
    EXPECT_EQ(MailPayload(true, "", kind), "{\"kind\":\"" + name + "\",\"sent\":true,\"failure\":\"\"}");
  EXPECT_EQ(MailPayload(true, ""), MailPayload(true, "", MailKind::Alert));
  EXPECT_EQ(TestPayload(), "{\"kind\":\"test\",\"text\":\"テスト警報です。実際の警報ではありません。\"}");
  const std::string motion = DiscoveryPayload(Entity(MqttEntityId::Motion), "vardocam/front", "front");
  EXPECT_NE(motion.find("\"state_topic\":\"vardocam/front/motion\""), std::string::npos);
  EXPECT_NE(motion.find("\"device_class\":\"motion\""), std::string::npos);
  EXPECT_NE(motion.find("\"availability_topic\":\"vardocam/front/availability\""), std::string::npos);
  const std::string camera = DiscoveryPayload(Entity(MqttEntityId::Snapshot), "vardocam/front", "front");
  EXPECT_NE(camera.find("\"topic\":\"vardocam/front/snapshot\""), std::string::npos);
  const std::string state = DiscoveryPayload(Entity(MqttEntityId::Camera), "vardocam/front", "玄関");
  EXPECT_NE(state.find("\"payload_on\":\"ok\",\"payload_off\":\"lost\""), std::string::npos);
  EXPECT_NE(state.find("\"device\":{\"identifiers\":[\"vardocam_front\"],\"name\":\"玄関\""), std::string::npos);
  EXPECT_EQ(MqttDeviceName("", "front"), "防犯カメラ・ヴァルド front");
  EXPECT_EQ(DiscoveryTopic(Entity(MqttEntityId::Motion), "vardocam_front"),
            "homeassistant/binary_sensor/vardocam_front/motion/config");
  EXPECT_EQ(DiscoveryTopic(Entity(MqttEntityId::Snapshot), "vardocam_front"),
            "homeassistant/camera/vardocam_front/snapshot/config");
  EXPECT_EQ(RegionsPayload({{300, 200, 32, 48, 1200}, {1, 2, 16, 16, 256}}),
            "{\"regions\":[{\"x\":300,\"y\":200,\"width\":32,\"height\":48,\"pixels\":1200},"
            "{\"x\":1,\"y\":2,\"width\":16,\"height\":16,\"pixels\":256}]}");
  EXPECT_NE(DiscoveryPayload(Entity(MqttEntityId::Person), "vardocam/front", "front")
                .find("\"state_topic\":\"vardocam/front/person\""),
            std::string::npos);
  EXPECT_EQ(DiscoveryTopic(Entity(MqttEntityId::MonitoringSwitch), "vardocam_front"),
            "homeassistant/switch/vardocam_front/monitoring/config");
}

// Every entity's discovery as it went out when each had functions of its
// own: the table changed how they are written, not what Home Assistant gets.
TEST(MqttTopics, DiscoveryOfEveryEntityIsWhatItAlwaysWas) {
  const std::string device = ",\"availability_topic\":\"vardocam/front/availability\",\"device\":{\"identifiers\":"
                             "[\"vardocam_front\"],\"name\":\"玄関\",\"manufacturer\":\"Korvane\",\"model\":\"vardocam\"}}";
  const auto sensor = [&](const char* name, const char* leaf, const char* on, const char* off, const char* cls) {
    return std::string("{\"name\":\"") + name + "\",\"unique_id\":\"vardocam_front_" + leaf +
           "\",\"state_topic\":\"vardocam/front/" + leaf + "\",\"payload_on\":\"" + on + "\",\"payload_off\":\"" +
           off + "\",\"device_class\":\"" + cls + "\"" + device;
  };
  const struct {
    MqttEntityId id;
    const char* topic;
    std::string payload;
  } rows[] = {
      {MqttEntityId::Monitoring, "binary_sensor/vardocam_front/monitoring",
       sensor("監視", "monitoring", "ON", "OFF", "running")},
      {MqttEntityId::Motion, "binary_sensor/vardocam_front/motion", sensor("動き", "motion", "ON", "OFF", "motion")},
      {MqttEntityId::Alarm, "binary_sensor/vardocam_front/alarm", sensor("警報", "alarm", "ON", "OFF", "safety")},
      {MqttEntityId::Person, "binary_sensor/vardocam_front/person", sensor("人物", "person", "ON", "OFF", "occupancy")},
      {MqttEntityId::Camera, "binary_sensor/vardocam_front/camera",
       sensor("カメラ接続", "camera", "ok", "lost", "connectivity")},
      {MqttEntityId::Snapshot, "camera/vardocam_front/snapshot",
       "{\"name\":\"映像\",\"unique_id\":\"vardocam_front_snapshot\",\"topic\":\"vardocam/front/snapshot\"" + device},
      {MqttEntityId::MonitoringSwitch, "switch/vardocam_front/monitoring",
       "{\"name\":\"監視の切替\",\"unique_id\":\"vardocam_front_monitoring_switch\",\"command_topic\":"
       "\"vardocam/front/monitoring/set\",\"state_topic\":\"vardocam/front/monitoring\",\"payload_on\":\"ON\","
       "\"payload_off\":\"OFF\",\"state_on\":\"ON\",\"state_off\":\"OFF\",\"json_attributes_topic\":"
       "\"vardocam/front/monitoring/armed_by\"" + device},
  };
  ASSERT_EQ(std::size(rows), std::size(kMqttEntities));
  for (const auto& row : rows) {
    EXPECT_EQ(DiscoveryTopic(Entity(row.id), "vardocam_front"), std::string("homeassistant/") + row.topic + "/config");
    EXPECT_EQ(DiscoveryPayload(Entity(row.id), "vardocam/front", "玄関"), row.payload) << row.topic;
  }
}

class MqttBrokerTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    ASSERT_TRUE(broker_.Start()) << broker_.Log();
  }
  MqttBroker broker_;
};

TEST_F(MqttBrokerTest, EventsArriveWithTheirPayloadsAndDiscovery) {
  MqttRecorder recorder(broker_.Port());
  ASSERT_TRUE(recorder.Subscribed());
  auto publisher = std::make_unique<MqttPublisher>(Local(broker_.Port()));
  const cv::Mat picture(120, 160, CV_8UC3, cv::Scalar(0, 0, 200));
  publisher->SetPictureSource([&] { return picture.clone(); });
  ASSERT_TRUE(publisher->Start());
  const std::string p = "vardocam/front";
  ASSERT_TRUE(recorder.WaitFor(p + "/availability", "online", kArriveMs)) << broker_.Log();
  EXPECT_TRUE(recorder.WaitFor("homeassistant/binary_sensor/vardocam_front/motion/config"));
  EXPECT_TRUE(recorder.WaitFor("homeassistant/camera/vardocam_front/snapshot/config"));
  EXPECT_TRUE(recorder.WaitFor("homeassistant/binary_sensor/vardocam_front/monitoring/config"));
  EXPECT_TRUE(recorder.WaitFor("homeassistant/binary_sensor/vardocam_front/camera/config"));
  // Every entity is announced, the person's too.
  for (const MqttEntity& entity : kMqttEntities) {
    const std::string topic = DiscoveryTopic(entity, "vardocam_front");
    ASSERT_TRUE(recorder.WaitFor(topic)) << topic;
    EXPECT_EQ(recorder.Last(topic), DiscoveryPayload(entity, p, Local(broker_.Port()).device)) << topic;
  }
  EXPECT_TRUE(recorder.WaitFor(p + "/motion", "OFF"));

  publisher->On(MonitorEvent::MonitoringStarted(0));
  publisher->On(MonitorEvent::MotionDetected({{300, 200, 32, 48, 1200}}));
  publisher->On(MonitorEvent::MotionDetected({}));  // the same episode
  publisher->On(MonitorEvent::PersonDetected({296, 190, 40, 96, 0}));
  const auto motionOn = std::chrono::steady_clock::now();
  publisher->On(MonitorEvent::AlarmStarted());
  publisher->On(MonitorEvent::AlertMailDone(false, "SMTPサーバとの接続に失敗しました。"));
  publisher->On(MonitorEvent::AlertMailHeldBack(55));
  publisher->On(MonitorEvent::RequestCheckDone(true, 1, ""));
  publisher->On(MonitorEvent::MailDone(MailKind::Summary, true, ""));
  publisher->On(MonitorEvent::TestAlarmStarted());
  publisher->On(MonitorEvent::CameraLost());
  EXPECT_TRUE(recorder.WaitFor(p + "/monitoring", "ON"));
  EXPECT_TRUE(recorder.WaitFor(p + "/motion", "ON"));
  EXPECT_TRUE(recorder.WaitFor(p + "/motion/regions", RegionsPayload({{300, 200, 32, 48, 1200}})));
  EXPECT_TRUE(recorder.WaitFor(p + "/person", "ON"));
  EXPECT_TRUE(recorder.WaitFor(p + "/alarm", "ON"));
  EXPECT_TRUE(recorder.WaitFor(p + "/mail", MailPayload(false, "SMTPサーバとの接続に失敗しました。")));
  EXPECT_TRUE(recorder.WaitFor(p + "/mail", MailHeldBackPayload(55)));
  EXPECT_TRUE(recorder.WaitFor(p + "/request", "{\"ok\":true,\"requests\":1,\"failure\":\"\"}"));
  EXPECT_TRUE(recorder.WaitFor(p + "/mail", MailPayload(true, "", MailKind::Summary)));
  EXPECT_TRUE(recorder.WaitFor(p + "/test", TestPayload()));
  EXPECT_TRUE(recorder.WaitFor(p + "/camera", "lost"));
  ASSERT_TRUE(recorder.WaitFor(p + "/snapshot"));
  const std::string jpeg = recorder.Last(p + "/snapshot");
  const cv::Mat shown = cv::imdecode(cv::Mat(1, static_cast<int>(jpeg.size()), CV_8UC1,
                                             const_cast<char*>(jpeg.data())), cv::IMREAD_COLOR);
  ASSERT_EQ(shown.size(), picture.size());
  EXPECT_GT(cv::mean(shown)[2], 150.0);

  // Motion ends on its own once it has been quiet for a while.
  EXPECT_TRUE(Pump(static_cast<int>(kMotionQuietMs) * 3, [&] { return recorder.Last(p + "/motion") == "OFF"; }));
  // Published right after the motion's OFF; the recorder may read it a moment later.
  WaitFor(kArriveMs, [&] { return recorder.Last(p + "/person") == "OFF"; });
  EXPECT_EQ(recorder.Last(p + "/person"), "OFF") << "the person goes with the motion";
  EXPECT_GE(std::chrono::steady_clock::now() - motionOn, std::chrono::milliseconds(kMotionQuietMs - 100));
  const auto motions = recorder.Messages();
  EXPECT_EQ(std::count_if(motions.begin(), motions.end(),
                          [&](const auto& m) { return m.topic == p + "/motion" && m.payload == "ON"; }),
            1);
  publisher->On(MonitorEvent::AlarmEnded());
  EXPECT_TRUE(recorder.WaitFor(p + "/alarm", "OFF"));

  // A clean end says "offline" itself, retained for whoever comes later,
  // and monitoring "OFF" before it, though monitoring was never stopped.
  publisher.reset();
  EXPECT_TRUE(recorder.WaitFor(p + "/availability", "offline"));
  const auto all = recorder.Messages();
  const auto at = [&](auto from, const char* leaf, const char* payload) {
    return std::find_if(from, all.end(), [&](const auto& m) { return m.topic == p + leaf && m.payload == payload; });
  };
  const auto on = at(all.begin(), "/monitoring", "ON");
  EXPECT_LT(at(on, "/monitoring", "OFF"), at(on, "/availability", "offline"));
  MqttRecorder late(broker_.Port(), p + "/#");
  ASSERT_TRUE(late.WaitFor(p + "/availability"));
  ASSERT_TRUE(late.WaitFor(p + "/alarm"));
  ASSERT_TRUE(late.WaitFor(p + "/monitoring"));
  EXPECT_EQ(late.Last(p + "/availability"), "offline");
  EXPECT_EQ(late.Last(p + "/alarm"), "OFF");
  EXPECT_EQ(late.Last(p + "/monitoring"), "OFF");
  for (const auto& m : late.Messages()) EXPECT_TRUE(m.retained) << m.topic;
}

// Events keep their pace with no broker at all, nothing piles up, and the
// broker is found once it comes.
TEST_F(MqttBrokerTest, NoBrokerCostsTicksNothingAndItIsFoundWhenItComes) {
  broker_.Stop();
  MqttPublisher publisher(Local(broker_.Port(), "garage"));
  publisher.SetPictureSource([] { return cv::Mat(480, 640, CV_8UC3, cv::Scalar(1, 2, 3)); });
  ASSERT_TRUE(publisher.Start());
  double worstMs = 0;
  for (int i = 0; i < kEventCalls; ++i) {
    const auto start = std::chrono::steady_clock::now();
    publisher.On(MonitorEvent::MotionDetected({}));
    publisher.On(MonitorEvent::AlarmStarted());
    publisher.On(MonitorEvent::AlertMailDone(true, ""));
    publisher.On(MonitorEvent::AlarmEnded());
    worstMs = std::max(worstMs, std::chrono::duration<double, std::milli>(
                                    std::chrono::steady_clock::now() - start).count());
  }
  EXPECT_LT(worstMs, kMaxEventCallMs);
  const MqttPublisher::Stats down = publisher.Counters();
  EXPECT_FALSE(down.connected);
  EXPECT_EQ(down.pending, 0);
  EXPECT_GE(down.dropped, static_cast<uint64_t>(kEventCalls));

  ASSERT_TRUE(broker_.Start());
  MqttRecorder recorder(broker_.Port());
  EXPECT_TRUE(recorder.WaitFor("vardocam/garage/availability", "online",
                               static_cast<int>(kMqttReconnectMaxSeconds) * 1000 + kArriveMs));
  EXPECT_TRUE(publisher.Counters().connected);
}

// A broker that refuses is told once, not at every attempt, and its
// coming once.
TEST_F(MqttBrokerTest, FailureToConnectIsToldOnceAndSoIsTheRecovery) {
  broker_.Stop();
  std::vector<std::pair<bool, std::string>> told;
  MqttPublisher publisher(Local(broker_.Port(), "porch"));
  publisher.SetStatusListener([&](bool connected, const std::string& why) { told.push_back({connected, why}); });
  ASSERT_TRUE(publisher.Start());
  Pump(3500, [] { return false; });  // attempts after 1 s and 2 s
  ASSERT_EQ(told.size(), 1u);
  EXPECT_NE(told[0].second.find("接続を拒否されました"), std::string::npos) << told[0].second;
  ASSERT_TRUE(broker_.Start());
  Pump(static_cast<int>(kMqttReconnectMaxSeconds) * 1000, [&] { return told.size() > 1; });
  Pump(1000, [] { return false; });
  ASSERT_EQ(told.size(), 2u);
  EXPECT_TRUE(told[1].first);
}

// A name that did not resolve yet (a service started before the network)
// is looked up again; one that hangs fails after its bound.
std::atomic<int> lookupsToFail{0};
int FailingLookup(const char* host, const char* service, const addrinfo* hints, addrinfo** result) {
  if (lookupsToFail.fetch_sub(1) > 0) return EAI_NONAME;
  return getaddrinfo(host, service, hints, result);
}

TEST_F(MqttBrokerTest, NameThatDoesNotResolveYetIsLookedUpAgain) {
  lookupsToFail = 2;
  SetLookupFunction(&FailingLookup);
  std::vector<bool> told;
  MqttPublisher publisher(Local(broker_.Port(), "gate"));
  publisher.SetStatusListener([&](bool connected, const std::string&) { told.push_back(connected); });
  ASSERT_TRUE(publisher.Start());
  Pump(static_cast<int>(kMqttReconnectMaxSeconds) * 1000, [&] { return told.size() == 2; });
  SetLookupFunction(nullptr);
  EXPECT_EQ(told, (std::vector<bool>{false, true}));
}

TEST_F(MqttBrokerTest, HungNameLookupFailsAfterItsBound) {
  HangingResolver hang;
  std::string told;
  const auto start = std::chrono::steady_clock::now();
  auto publisher = std::make_unique<MqttPublisher>(Local(broker_.Port(), "well"));
  publisher->SetStatusListener([&](bool, const std::string& why) { told = why; });
  ASSERT_TRUE(publisher->Start());
  ASSERT_TRUE(Pump(kMqttLookupTimeoutMs + kArriveMs, [&] { return !told.empty(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kMqttLookupTimeoutMs));
  EXPECT_NE(told.find("問い合わせに応答がありません"), std::string::npos) << told;
  // The end does not wait for the next look-up, which hangs too.
  std::this_thread::sleep_for(std::chrono::milliseconds(kMqttReconnectMinSeconds * 1000 + 500));
  const auto end = std::chrono::steady_clock::now();
  publisher.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - end, std::chrono::milliseconds(kMqttFarewellMs));
}

// The last words wait for the broker's acknowledgement at most their bound.
TEST_F(MqttBrokerTest, FarewellWaitsForTheBrokerAtMostItsBound) {
  auto publisher = std::make_unique<MqttPublisher>(Local(broker_.Port(), "loft"));
  ASSERT_TRUE(publisher->Start());
  ASSERT_TRUE(WaitFor(kArriveMs, [&] { return publisher->Counters().connected; }));
  broker_.Pause();
  const auto start = std::chrono::steady_clock::now();
  publisher.reset();
  const auto took = std::chrono::steady_clock::now() - start;
  broker_.Resume();
  EXPECT_GE(took, std::chrono::milliseconds(kMqttFarewellMs));
  EXPECT_LT(took, std::chrono::milliseconds(kMqttFarewellMs + 1000));
}

TEST_F(MqttBrokerTest, BrokerThatGoesAwayAndComesBackIsReconnected) {
  MqttPublisher publisher(Local(broker_.Port(), "shed"));
  ASSERT_TRUE(publisher.Start());
  ASSERT_TRUE(WaitFor(kArriveMs, [&] { return publisher.Counters().connected; }));
  broker_.Stop();
  ASSERT_TRUE(WaitFor(kArriveMs, [&] { return !publisher.Counters().connected; }));
  publisher.On(MonitorEvent::AlertMailDone(true, ""));
  EXPECT_EQ(publisher.Counters().pending, 0);
  ASSERT_TRUE(broker_.Start());
  MqttRecorder recorder(broker_.Port());
  EXPECT_TRUE(recorder.WaitFor("vardocam/shed/availability", "online",
                               static_cast<int>(kMqttReconnectMaxSeconds) * 1000 + kArriveMs));
  publisher.On(MonitorEvent::AlertMailDone(true, ""));
  EXPECT_TRUE(recorder.WaitFor("vardocam/shed/mail", MailPayload(true, "")));
}

// A broker that accepted the connection and then stopped reading: the
// socket's buffers fill, then the pending bounds hold and the rest is dropped.
TEST_F(MqttBrokerTest, StalledBrokerHoldsAtMostTheBoundedQueue) {
  MqttPublisher publisher(Local(broker_.Port(), "attic"));
  ASSERT_TRUE(publisher.Start());
  ASSERT_TRUE(WaitFor(kArriveMs, [&] { return publisher.Counters().connected; }));
  broker_.Pause();
  const std::string big(256 * 1024, 'x');
  for (int i = 0; i < 400; ++i) publisher.On(MonitorEvent::RequestCheckDone(false, 0, big));
  const MqttPublisher::Stats stalled = publisher.Counters();
  broker_.Resume();
  EXPECT_LE(stalled.pending, kMqttMaxPendingMessages);
  EXPECT_LE(stalled.pendingBytes, kMqttMaxPendingBytes);
  EXPECT_GT(stalled.dropped, 0u);
  EXPECT_GT(stalled.published, 0u);
  // Once the broker reads again the queue drains.
  EXPECT_TRUE(WaitFor(kArriveMs, [&] { return publisher.Counters().pending == 0; }));
}
} // namespace

namespace {
// What the option dialog changed reaches the broker at the next start of
// monitoring: a new topic says goodbye under the old one.
TEST_F(MqttBrokerTest, LinkFollowsTheSettingsAtEachStartOfMonitoring) {
  MqttRecorder recorder(broker_.Port());
  ASSERT_TRUE(recorder.Subscribed());
  AppSettings = typVardocam{};
  MqttLink link("porch", nullptr, nullptr);
  link.On(MonitorEvent::MonitoringStarted(0));
  EXPECT_EQ(link.Publisher(), nullptr) << "no host, no broker";

  AppSettings.MQTT_HOSTNAME = "127.0.0.1";
  AppSettings.MQTT_PORTNUMBER = broker_.Port();
  link.On(MonitorEvent::MonitoringStarted(0));
  ASSERT_NE(link.Publisher(), nullptr);
  EXPECT_TRUE(recorder.WaitFor("vardocam/porch/availability", "online"));
  EXPECT_TRUE(recorder.WaitFor("vardocam/porch/monitoring", "ON"));
  MqttPublisher* first = link.Publisher();
  link.On(MonitorEvent::MonitoringStarted(0));
  EXPECT_EQ(link.Publisher(), first) << "unchanged settings keep the connection";

  AppSettings.MQTT_TOPIC = "site/porch";
  link.On(MonitorEvent::MonitoringStarted(0));
  EXPECT_TRUE(recorder.WaitFor("vardocam/porch/availability", "offline"));
  EXPECT_TRUE(recorder.WaitFor("site/porch/availability", "online"));
  EXPECT_TRUE(recorder.WaitFor("site/porch/monitoring", "ON"));
  AppSettings = typVardocam{};
}

// What the house's switch asks for.
struct RecordingArm : IArmControl {
  std::vector<std::string> calls;
  static std::string Who(ArmedBy by) { return by == ArmedBy::House ? " by house" : ""; }
  bool Arm(ArmedBy by, std::string*) override { return calls.push_back("on" + Who(by)), true; }
  void Disarm(ArmedBy by) override { calls.push_back("off" + Who(by)); }
  void Snooze(int minutes, ArmedBy by) override { calls.push_back("snooze " + std::to_string(minutes) + Who(by)); }
  ArmState State() const override { return {}; }
};

// A link to the test broker on profile "gate" whose commands reach `arm`,
// its notices kept.
struct CommandLink {
  explicit CommandLink(int port) {
    AppSettings = typVardocam{};
    AppSettings.MQTT_HOSTNAME = "127.0.0.1";
    AppSettings.MQTT_PORTNUMBER = port;
    link.SetArmControl(&arm, [this](const std::string& text) { notices.push_back(text); });
    link.Apply(AppSettings);
  }
  RecordingArm arm;
  std::vector<std::string> notices;
  MqttLink link{"gate", nullptr, nullptr};
};

// Commands published by another client reach the controller on the main
// thread, as the house; anything else is said once per kind and ignored.
// The switch is announced beside the sensors, and who armed is retained.
TEST_F(MqttBrokerTest, CommandsFromTheHouseReachTheController) {
  MqttRecorder recorder(broker_.Port());
  ASSERT_TRUE(recorder.Subscribed());
  CommandLink house(broker_.Port());
  RecordingArm& arm = house.arm;
  std::vector<std::string>& notices = house.notices;
  MqttLink& link = house.link;
  const std::string node = NodeId("vardocam/gate");
  const std::string switchTopic = DiscoveryTopic(Entity(MqttEntityId::MonitoringSwitch), node);
  ASSERT_TRUE(recorder.WaitFor(switchTopic));
  const std::string discovery = recorder.Last(switchTopic);
  EXPECT_NE(discovery.find("\"command_topic\":\"vardocam/gate/monitoring/set\""), std::string::npos);
  EXPECT_NE(discovery.find("\"state_topic\":\"vardocam/gate/monitoring\""), std::string::npos);
  EXPECT_NE(discovery.find("\"payload_on\":\"ON\",\"payload_off\":\"OFF\""), std::string::npos);

  // The subscription follows the discovery on the link's own connection.
  const std::string set = "vardocam/gate/monitoring/set";
  ASSERT_TRUE(Pump(kArriveMs, [&] {
    if (arm.calls.empty()) recorder.Publish(set, "OFF");
    return !arm.calls.empty();
  }));
  // The broker keeps one sender's order: after this nothing earlier comes.
  recorder.Publish(set, "SNOOZE:7");
  ASSERT_TRUE(Pump(kArriveMs, [&] { return arm.calls.back() == "snooze 7 by house"; }));
  arm.calls.clear();
  for (const char* payload : {"ON", "bogus", "SNOOZE:0", "SNOOZE:5", "also bogus", "SNOOZE:1441", "OFF"})
    recorder.Publish(set, payload);
  ASSERT_TRUE(Pump(kArriveMs, [&] { return arm.calls.size() >= 3; }));
  EXPECT_EQ(arm.calls, (std::vector<std::string>{"on by house", "snooze 5 by house", "off by house"}));
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_NE(notices[0].find("「bogus」は分からない"), std::string::npos) << notices[0];
  EXPECT_NE(notices[1].find("「SNOOZE:0」は分数が使えない"), std::string::npos) << notices[1];

  link.On(MonitorEvent::ArmChanged({true, ArmedBy::House, 0}));
  EXPECT_TRUE(recorder.WaitFor("vardocam/gate/monitoring/armed_by",
                               "{\"armed\":true,\"by\":\"house\",\"until\":null,\"text\":\"監視中（家からの指示による）\"}"));
  AppSettings = typVardocam{};
}

// A retained order would be obeyed at every start, and a huge payload
// copied about: both are ignored before they cost anything, and said once.
TEST_F(MqttBrokerTest, RetainedAndOversizedCommandsAreIgnoredAndSaidOnce) {
  struct Row { bool retained; size_t bytes; CommandIntake intake; };
  for (const Row& row : {Row{false, kMaxMqttCommandBytes, CommandIntake::Take},
                         Row{false, kMaxMqttCommandBytes + 1, CommandIntake::TooLarge},
                         Row{true, 2, CommandIntake::Retained}})
    EXPECT_EQ(JudgeCommandMessage(row.retained, row.bytes), row.intake);
  MqttRecorder recorder(broker_.Port());
  ASSERT_TRUE(recorder.Subscribed());
  const std::string set = "vardocam/gate/monitoring/set";
  ASSERT_TRUE(recorder.Publish(set, "SNOOZE:1440", true));
  CommandLink house(broker_.Port());
  RecordingArm& arm = house.arm;
  std::vector<std::string>& notices = house.notices;
  ASSERT_TRUE(Pump(kArriveMs, [&] { return !notices.empty(); }));
  const std::string huge(8 * 1024 * 1024, 'O');
  for (int i = 0; i < 2; ++i) recorder.Publish(set, huge);
  recorder.Publish(set, "ON");
  ASSERT_TRUE(Pump(kArriveMs, [&] { return !arm.calls.empty(); }));
  EXPECT_EQ(arm.calls, std::vector<std::string>{"on by house"});
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_NE(notices[0].find("保持(retained)された指示"), std::string::npos) << notices[0];
  EXPECT_NE(notices[1].find("大きすぎる"), std::string::npos) << notices[1];
  recorder.Publish(set, "", true);  // the broker forgets the retained order
  AppSettings = typVardocam{};
}
} // namespace

namespace {
// TLS: the broker's certificate is checked against the system's
// authorities (OpenSSL's default paths, which SSL_CERT_FILE points at here).
TEST(MqttTls, ConnectsToATrustedBrokerAndRefusesAnUntrustedOne) {
  App();
  TempDir dir;
  ASSERT_TRUE(WriteSelfSignedCert(dir.File("cert.pem"), dir.File("key.pem"), "127.0.0.1", false));
  // The broker started as root reads them as its own unprivileged user.
  for (const std::string& path : {dir.Path(), dir.File("cert.pem"), dir.File("key.pem")})
    chmod(path.c_str(), path == dir.Path() ? 0755 : 0644);
  MqttBroker broker(dir.File("cert.pem"), dir.File("key.pem"));
  ASSERT_TRUE(broker.Start()) << "log: " << broker.Log();
  MqttSettings settings = Local(broker.Port(), "tls");
  settings.tls = true;
  {
    MqttPublisher untrusted(settings);
    ASSERT_TRUE(untrusted.Start());
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(untrusted.Counters().connected);
  }
  setenv("SSL_CERT_FILE", dir.File("cert.pem").c_str(), 1);
  MqttPublisher trusted(settings);
  ASSERT_TRUE(trusted.Start());
  EXPECT_TRUE(WaitFor(kArriveMs, [&] { return trusted.Counters().connected; })) << broker.Log();
  unsetenv("SSL_CERT_FILE");
}
} // namespace
