#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QScrollArea>
#include <QTest>
#include <gtest/gtest.h>

#include "platform/MessageBox.h"
#include "app/Option.h"
#include "mqtt/MqttConnectionTest.h"
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "QtTestApp.h"
#include "support/LoopbackPort.h"
#include "support/MqttPeer.h"
#include "support/TempDir.h"

namespace {
QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The dialog's broker group on the extension tab, on a profile or not.
class OptionMqttTest : public ::testing::Test {
protected:
  void SetUp() override {
    App();
    setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
  }
  void TearDown() override {
    form_.reset();
    SetSettingsProfile("");
    unsetenv("XDG_CONFIG_HOME");
    AppSettings = typVardocam();
  }
  void Open(const std::string& profile) {
    SetSettingsProfile(profile);
    LoadSettings();
    form_ = std::make_unique<TOptionForm>();
    form_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  }
  void Retype(QLineEdit* edit, const char* text) {
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, U(text));
  }
  typVardocam Stored(const std::string& profile) {
    typVardocam stored;
    ZBRegIni store(SettingsFilePathFor(profile));
    LoadSettingsFrom(store, stored);
    return stored;
  }

  // The tab's rows are built from the settings' table: found by stored name.
  QLineEdit* Edit(const char* setting) { return qobject_cast<QLineEdit*>(form_->ExtensionControl(setting)); }
  QCheckBox* Check(const char* setting) { return qobject_cast<QCheckBox*>(form_->ExtensionControl(setting)); }
  QGroupBox* Group() { return form_->findChild<QGroupBox*>("MqttGroup"); }

  TempDir config_;
  std::unique_ptr<TOptionForm> form_;
};

TEST_F(OptionMqttTest, GroupOnTheExtensionTabEditsTheProfileItWasOpenedOn) {
  Open("");
  ASSERT_NE(Group(), nullptr);
  EXPECT_TRUE(form_->ExtensionSheet->isAncestorOf(Group()));
  int hints = 0;
  for (QLabel* label : Group()->findChildren<QLabel*>())
    if (label->text().startsWith(U("※"))) ++hints;
  EXPECT_EQ(hints, 6);
  // Shown as loaded: no broker, the usual port, the default topic offered.
  EXPECT_EQ(Edit("MQTT_HOSTNAME")->text(), "");
  EXPECT_EQ(Edit("MQTT_PORTNUMBER")->text(), "1883");
  EXPECT_FALSE(Check("MQTT_USETLS")->isChecked());
  EXPECT_EQ(Edit("MQTT_TOPIC")->placeholderText(), "vardocam/default");
  EXPECT_EQ(Edit("MQTT_PASSWORD")->echoMode(), QLineEdit::Password);
  form_.reset();

  // Opened on a profile, the dialog edits that profile.
  Open("front");
  EXPECT_EQ(Edit("MQTT_TOPIC")->placeholderText(), "vardocam/front");
  Retype(Edit("MQTT_HOSTNAME"), " broker.lan ");
  Retype(Edit("MQTT_PORTNUMBER"), "88x83");
  Retype(Edit("MQTT_USERNAME"), "cam");
  Retype(Edit("MQTT_PASSWORD"), "secret");
  Retype(Edit("MQTT_TOPIC"), "site/front");
  Check("MQTT_USETLS")->setChecked(true);
  QTest::mouseClick(form_->SettiongBtn, Qt::LeftButton);
  EXPECT_EQ(form_->result(), QDialog::Accepted);

  const typVardocam front = Stored("front");
  EXPECT_EQ(front.MQTT_HOSTNAME, "broker.lan");
  EXPECT_EQ(front.MQTT_PORTNUMBER, 8883) << "letters never reach a number box";
  EXPECT_EQ(front.MQTT_USERNAME, "cam");
  EXPECT_EQ(front.MQTT_PASSWORD, "secret");
  EXPECT_TRUE(front.MQTT_USETLS);
  EXPECT_EQ(front.MQTT_TOPIC, "site/front");
  // The default profile's store was not written at all.
  EXPECT_FALSE(std::filesystem::exists(SettingsFilePathFor("")));

  // Reopened, the dialog shows what was stored; an empty port falls back.
  form_.reset();
  Open("front");
  EXPECT_EQ(Edit("MQTT_HOSTNAME")->text(), "broker.lan");
  EXPECT_TRUE(Check("MQTT_USETLS")->isChecked());
  Retype(Edit("MQTT_PORTNUMBER"), "");
  QTest::mouseClick(form_->SettiongBtn, Qt::LeftButton);
  EXPECT_EQ(Stored("front").MQTT_PORTNUMBER, FindExtensionSetting("MQTT_PORTNUMBER")->field.defaultNumber);
}

struct ShownMessages : IMessagePresenter {
  void ShowError(const std::string&, const std::string& text) override { shown.push_back("error: " + text); }
  void ShowInfo(const std::string&, const std::string& text) override { shown.push_back(text); }
  std::vector<std::string> shown;
};

// 接続テスト tries what is typed, not what is stored, on the real broker:
// connected, refused, or no answer within its limit.
TEST_F(OptionMqttTest, ConnectionTestUsesWhatIsTypedAndSaysWhetherItConnected) {
  MqttBroker broker;
  ASSERT_TRUE(broker.Start()) << broker.Log();
  ShownMessages messages;
  InstallMessagePresenter(&messages);
  Open("");
  EXPECT_TRUE(Group()->isAncestorOf(form_->MqttConnectTestBtn));
  const std::string port = std::to_string(broker.Port());
  const struct {
    std::string port;
    bool paused;
    std::string says;
  } rows[] = {
      {port, false, "MQTTブローカーとの接続に成功しました。\n127.0.0.1:" + port},
      {std::to_string(FreeLoopbackPort()), false, "error: MQTTブローカーとの接続に失敗しました。\n127.0.0.1:"},
      {port, true, "error: MQTTブローカーとの接続に失敗しました。\n127.0.0.1:" + port + ": ブローカーが " +
                       std::to_string(kMqttConnectTestMs / 1000) + " 秒以内に応答しませんでした"},
  };
  Retype(Edit("MQTT_HOSTNAME"), " 127.0.0.1 ");
  for (const auto& row : rows) {
    Retype(Edit("MQTT_PORTNUMBER"), row.port.c_str());
    messages.shown.clear();
    if (row.paused) broker.Pause();
    QTest::mouseClick(form_->MqttConnectTestBtn, Qt::LeftButton);
    if (row.paused) broker.Resume();
    ASSERT_EQ(messages.shown.size(), 1u) << row.port;
    EXPECT_EQ(messages.shown[0].rfind(row.says, 0), 0u) << messages.shown[0];
  }
  InstallMessagePresenter(nullptr);
  EXPECT_EQ(AppSettings.MQTT_HOSTNAME, "") << "nothing typed is stored by a test";
}
} // namespace

namespace {
// The README's picture of the tab: only when asked for, under Xvfb.
TEST(OptionMqttScreenshot, ExtensionTab) {
  const char* dir = std::getenv("VARDOCAM_SCREENSHOT_DIR");
  if (!dir || !*dir) GTEST_SKIP() << "VARDOCAM_SCREENSHOT_DIR not set";
  App();
  QFont::insertSubstitution(U("ＭＳ Ｐゴシック"), "IPAPGothic");
  TempDir config;
  setenv("XDG_CONFIG_HOME", config.Path().c_str(), 1);
  SetSettingsProfile("front");
  LoadSettings();
  AppSettings.MQTT_HOSTNAME = "broker.example.jp";
  AppSettings.MQTT_USERNAME = "camera";
  AppSettings.MQTT_PASSWORD = "password";
  TOptionForm form;
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
  form.PageControl1->setCurrentIndex(3);
  form.findChild<QScrollArea*>("ExtensionScroll")->ensureWidgetVisible(form.findChild<QGroupBox*>("MqttGroup"), 0, 0);
  QTest::qWait(100);
  EXPECT_TRUE(form.grab().save(QString::fromUtf8(dir) + "/option-mqtt.png"));
  SetSettingsProfile("");
  unsetenv("XDG_CONFIG_HOME");
}
} // namespace
