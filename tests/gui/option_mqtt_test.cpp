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
#include "settings/Vardocamdef.h"
#include "settings/ZBRegIni.h"
#include "support/TempDir.h"

namespace {
QApplication& App() {
  static int argc = 1;
  static char name[] = "option_mqtt_test";
  static char* argv[] = {name, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

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

  TempDir config_;
  std::unique_ptr<TOptionForm> form_;
};

TEST_F(OptionMqttTest, GroupOnTheExtensionTabEditsTheProfileItWasOpenedOn) {
  Open("");
  ASSERT_NE(form_->MqttGroup, nullptr);
  EXPECT_TRUE(form_->ExtensionSheet->isAncestorOf(form_->MqttGroup));
  int hints = 0;
  for (QLabel* label : form_->MqttGroup->findChildren<QLabel*>())
    if (label->text().startsWith(U("※"))) ++hints;
  EXPECT_EQ(hints, 6);
  // Shown as loaded: no broker, the usual port, the default topic offered.
  EXPECT_EQ(form_->MqttHostNameEdit->text(), "");
  EXPECT_EQ(form_->MqttPortNumberEdit->text(), "1883");
  EXPECT_FALSE(form_->MqttUseTlsCBox->isChecked());
  EXPECT_EQ(form_->MqttTopicEdit->placeholderText(), "vardocam/default");
  EXPECT_EQ(form_->MqttPassWordEdit->echoMode(), QLineEdit::Password);
  form_.reset();

  // Opened on a profile, the dialog edits that profile.
  Open("front");
  EXPECT_EQ(form_->MqttTopicEdit->placeholderText(), "vardocam/front");
  Retype(form_->MqttHostNameEdit, " broker.lan ");
  Retype(form_->MqttPortNumberEdit, "88x83");
  Retype(form_->MqttUserNameEdit, "cam");
  Retype(form_->MqttPassWordEdit, "secret");
  Retype(form_->MqttTopicEdit, "site/front");
  form_->MqttUseTlsCBox->setChecked(true);
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
  EXPECT_EQ(form_->MqttHostNameEdit->text(), "broker.lan");
  EXPECT_TRUE(form_->MqttUseTlsCBox->isChecked());
  Retype(form_->MqttPortNumberEdit, "");
  QTest::mouseClick(form_->SettiongBtn, Qt::LeftButton);
  EXPECT_EQ(Stored("front").MQTT_PORTNUMBER, kMqttPortNumberFallback);
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
  form.findChild<QScrollArea*>("ExtensionScroll")->ensureWidgetVisible(form.MqttGroup, 0, 0);
  QTest::qWait(100);
  EXPECT_TRUE(form.grab().save(QString::fromUtf8(dir) + "/option-mqtt.png"));
  SetSettingsProfile("");
  unsetenv("XDG_CONFIG_HOME");
}
} // namespace
