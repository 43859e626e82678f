#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include <QDialog>

#include "pop3/Pop3Client.h"
#include "settings/Vardocamdef.h"

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
constexpr int kHostNameMaxLength = 255;
// Five, so every port up to 65535 can be typed and a stored one shows whole.
constexpr int kPortNumberMaxLength = 5;
constexpr int kPassWordMaxLength = 32;
constexpr int kMailAddressMaxLength = 255;
constexpr int kCameraUrlMaxLength = 1024;

// What a number box stores when its text is empty or no number.
constexpr int32_t kCameraNumberFallback = 0;
constexpr int32_t kPortNumberFallback = 25;
// The broker's port when its box holds no number.
constexpr int32_t kMqttPortNumberFallback = 1883;
constexpr int32_t kBinBorderFallback = 64;
constexpr int32_t kMoveBorderFallback = 12;
constexpr int32_t kRPortNumberFallback = 110;
constexpr int32_t kCheckIntervalFallback = 1;
constexpr int32_t kStartMoveObjectFallback = 60;

// The motion-detail group on the extension tab: box lengths and what an
// empty box stores (the setting's own "off", or the usual interval).
constexpr int kReferenceIntervalMaxLength = 4;
constexpr int kLightingCutoffMaxLength = 3;
constexpr int kMotionFramesMaxLength = 3;
constexpr int kMaskFileMaxLength = 1024;
constexpr int kMailCooldownMaxLength = 5;
constexpr int32_t kReferenceIntervalFallback = static_cast<int32_t>(kDefaultReferenceIntervalMs);
constexpr int32_t kLightingCutoffFallback = 0;
constexpr int32_t kMotionFramesFallback = 0;
constexpr int32_t kMailCooldownFallback = 0;

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

  // The fourth tab, "拡張設定": settings stored after CAMERA_URL.
  QWidget* ExtensionSheet;
  QVBoxLayout* ExtensionPage;
  // How the main window shows the picture.
  QGroupBox* ViewGroup;
  QCheckBox* FitToWindowCBox;

  // Extension group: the message broker told of events.
  QGroupBox* MqttGroup;
  QLineEdit* MqttHostNameEdit;
  QLineEdit* MqttPortNumberEdit;
  QLineEdit* MqttUserNameEdit;
  QLineEdit* MqttPassWordEdit;
  QCheckBox* MqttUseTlsCBox;
  QLineEdit* MqttTopicEdit;

  // Motion detection and alert-mail spacing.
  QGroupBox* MotionDetailGroup;
  QLineEdit* ReferenceIntervalEdit;
  QLineEdit* LightingCutoffEdit;
  QLineEdit* MotionFramesEdit;
  QLineEdit* MaskFileEdit;
  QPushButton* MaskFileBtn;
  QLineEdit* MailCooldownEdit;

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
  void SMTPConnectTestBtnClick();
  void Pop3ConnectTestBtnClick();

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
  void BuildViewGroup();
  void BuildMqttGroup();
  void LoadMqttGroup();
  void StoreMqttGroup();
  void BuildMotionDetailGroup();
  void MaskFileBtnClick();
  void BuildButtonPanel();
  void CentreOnMainWindow();
  void AttachDigitFilter(QLineEdit* edit);
  void FilterInsertedText(QLineEdit* edit, const QString& text);

  IMonitorCamera* testCamera_ = nullptr;      // the one the test opened
  std::unique_ptr<IMonitorCamera> ownCamera_;  // when the main window has none
};

// The one dialog, made with the main window.
extern TOptionForm* OptionForm;
