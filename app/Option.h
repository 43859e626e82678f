#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QDialog>

#include "pop3/Pop3Client.h"
#include "settings/ExtensionSettings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QVBoxLayout;
class QWidget;
class IMonitorCamera;

// Longest texts the boxes take, in characters.
constexpr int kCameraNumberMaxLength = 2;
constexpr int kCheckIntervalMaxLength = 3;
constexpr int kStartMoveObjectMaxLength = 4;
constexpr int kBorderMaxLength = 3;
// Five, so every port up to 65535 can be typed and a stored one shows whole.
constexpr int kPortNumberMaxLength = 5;
constexpr int kMailAddressMaxLength = 255;
constexpr int kCameraUrlMaxLength = 1024;

// What a number box stores when its text is empty or no number.
constexpr int32_t kCameraNumberFallback = 0;
constexpr int32_t kPortNumberFallback = 25;
constexpr int32_t kBinBorderFallback = 64;
constexpr int32_t kMoveBorderFallback = 12;
constexpr int32_t kRPortNumberFallback = 110;
constexpr int32_t kCheckIntervalFallback = 1;
constexpr int32_t kStartMoveObjectFallback = 60;

// The designed inside of the dialog and its button panel, in pixels.
constexpr int kOptionClientWidth = 419;
constexpr int kOptionClientHeight = 449;
constexpr int kOptionButtonPanelHeight = 41;

// The option dialog: edits AppSettings on three tabs, saves them, and tests
// the camera, the SMTP login and the POP3 login. Each showing loads the
// controls afresh, so what was typed and cancelled is gone.
class TOptionForm : public QDialog {
  Q_OBJECT
public:
  explicit TOptionForm(QWidget* parent = nullptr);
  ~TOptionForm() override;

  // Components, in tab order.
  QTabWidget* PageControl1;
  QWidget* BasicSheet;
  QLineEdit* CameraNumberEdit;
  QPushButton* CameraTestBtn;
  QLineEdit* CameraUrlEdit;
  QCheckBox* StartCBox;
  QCheckBox* UseSoundCBox;
  QCheckBox* UseMailCBox;
  QCheckBox* IsCheckCBox;
  QLineEdit* CheckIntervalEdit;
  QLineEdit* StartMoveObjectEdit;
  QCheckBox* OotsuCBox;
  QLineEdit* BinEdit;
  QLineEdit* MoveEdit;

  QWidget* MailSheet;
  QGroupBox* SmtpServerGroup;
  QLineEdit* HostNameEdit;
  QLineEdit* PortNumberEdit;
  QComboBox* ConnectDefanceModeCBox;
  QCheckBox* NoVerifyCertCBox;  // stored after CAMERA_URL
  QGroupBox* SmtpLoginGroup;
  QLineEdit* UserNameEdit;
  QLineEdit* PassWordEdit;
  QGroupBox* FromGroup;
  QLineEdit* FromNameEdit;
  QLineEdit* FromMailAddressEdit;
  QGroupBox* ToGroup;
  QLineEdit* ToMailAddressEdit;
  QPushButton* SMTPConnectTestBtn;

  QWidget* ReceiveSheet;
  QGroupBox* Pop3ServerGroup;
  QLineEdit* RHostNameEdit;
  QLineEdit* RPortNumberEdit;
  QComboBox* RConnectDefanceModeCBox;
  QCheckBox* RNoVerifyCertCBox;  // stored after CAMERA_URL
  QGroupBox* Pop3LoginGroup;
  QLineEdit* RUserNameEdit;
  QLineEdit* RPassWordEdit;
  QPushButton* Pop3ConnectTestBtn;

  // The fourth tab, "拡張設定": a row for each setting stored after
  // CAMERA_URL that has a group there, built from the settings' table.
  QWidget* ExtensionSheet;
  QVBoxLayout* ExtensionPage;
  // The control of a setting's row on that tab, by its stored name
  // (a QLineEdit or a QCheckBox); nullptr when it has none.
  QWidget* ExtensionControl(const std::string& name) const;
  // In the MQTT group: connects with what is typed there.
  QPushButton* MqttConnectTestBtn = nullptr;
  // Under the schedule: why it does not parse, or when it switches next.
  QLabel* ArmSchedulePreview = nullptr;

  QWidget* Panel1;
  QPushButton* SettiongBtn;
  QPushButton* CancelBtn;

  // The POP3 test's own client.
  TPop3Client PopClient;

  // Event handlers.
  void FormShow();
  void SettiongBtnClick();
  void CancelBtnClick();
  // The number boxes' filter, per typed character: a null `key` is dropped.
  static void CameraNumberEditKeyPress(QChar& key);
  void CameraTestBtnClick();
  void StreamCameraTest(const std::string& url);
  void SMTPConnectTestBtnClick();
  void Pop3ConnectTestBtnClick();
  void MqttConnectTestBtnClick();

protected:
  // The camera test's device: opened, and closed again at once. The
  // defaults use the main window's camera object (a camera object of the
  // dialog's own before the main window has one); tests replace them.
  virtual bool OpenTestCamera(int32_t cameraNumber, const std::string& url);
  virtual void CloseTestCamera();

  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void BuildBasicSheet();
  void BuildMailSheet();
  void BuildReceiveSheet();
  void BuildExtensionSheet();
  void BuildExtensionGroup(const ExtensionGroup& group);
  void BuildSchedulePreview();
  void UpdateSchedulePreview();
  QWidget* MakeExtensionControl(const ExtensionSetting& setting, QWidget* parent,
                                std::vector<QWidget*>& line);
  void LoadExtensionRows();
  void StoreExtensionRows(typVardocam& s) const;
  void BuildButtonPanel();
  void CentreOnMainWindow();
  void AttachDigitFilter(QLineEdit* edit);
  void FilterInsertedText(QLineEdit* edit, const QString& text);

  struct ExtensionRow {
    const ExtensionSetting* setting;
    QWidget* control;
  };
  std::vector<ExtensionRow> extensionRows_;
  IMonitorCamera* testCamera_ = nullptr;      // the one the test opened
  std::unique_ptr<IMonitorCamera> ownCamera_;  // when the main window has none
};

// The one dialog, made with the main window.
extern TOptionForm* OptionForm;
