#include "app/Option.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "capture/AvStreamReader.h"
#include "capture/CameraAddress.h"
#include "capture/CaptureTimings.h"
#include "mail/AlertMail.h"
#include "monitor/ArmSchedule.h"
#include "mail/MimeMessage.h"
#include "mail/SmtpClient.h"
#include "monitor/MonitorCamera.h"
#include "mqtt/MqttConnectionTest.h"
#include "mqtt/MqttTopics.h"
#include "platform/MessageBox.h"
#include "platform/TextNumber.h"
#include "pop3/Pop3Error.h"
#include "pop3/RequestCheck.h"
#include "settings/Vardocamdef.h"

TOptionForm* OptionForm = nullptr;

namespace {
const char kDialogFontFamily[] = "ＭＳ Ｐゴシック";
constexpr int kDialogFontPixels = 12;
constexpr int kNoteFontPixels = 10;
const QColor kNoteColour(0x00, 0x00, 0x80);  // navy
const char kTestCameraName[] = "OPTION";
// The last text a digit-filtered box held, to tell what an edit inserted.
const char kPreviousTextProperty[] = "vardocamPreviousText";
const QColor kErrorColour(0xC0, 0x00, 0x00);

QString U(const char* utf8) { return QString::fromUtf8(utf8); }
std::string S(const QString& text) { return text.toStdString(); }

// Blanks and control characters off both ends, as the stored texts want.
QString TrimBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && text.at(begin).unicode() <= 0x20) ++begin;
  while (end > begin && text.at(end - 1).unicode() <= 0x20) --end;
  return text.mid(begin, end - begin);
}

std::string TrimmedText(const QLineEdit* edit) { return S(TrimBlanks(edit->text())); }

// The whole text as a decimal number (surrounding blanks allowed), or the
// fallback when it is empty, holds anything else or leaves 32 bits.
int32_t ToIntDef(const QString& text, int32_t fallback) {
  int32_t value = fallback;
  TextToInt32(S(TrimBlanks(text)), value);
  return value;
}

int32_t EditNumber(const QLineEdit* edit, int32_t fallback) { return ToIntDef(edit->text(), fallback); }

bool IsDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// Restores the normal cursor when a test ends, however it ends.
class WaitCursor {
public:
  WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~WaitCursor() { Restore(); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;
  void Restore() {
    if (active_) QApplication::restoreOverrideCursor();
    active_ = false;
  }

private:
  bool active_ = true;
};

QLabel* MakeLabel(const char* text, QWidget* parent) { return new QLabel(U(text), parent); }

QLabel* MakeNote(const char* text, QWidget* parent) {
  QLabel* label = new QLabel(U(text), parent);
  QFont font = label->font();
  font.setPixelSize(kNoteFontPixels);
  label->setFont(font);
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, kNoteColour);
  label->setPalette(palette);
  return label;
}

// A hint that wraps at the page's width rather than widen the page.
QLabel* MakeWrappedNote(const char* text, QWidget* parent) {
  QLabel* label = MakeNote(text, parent);
  label->setWordWrap(true);
  return label;
}
// Hints under a row stand in from its label.
constexpr int kNoteIndent = 12;

QLineEdit* MakeEdit(const char* name, QWidget* parent, int maxLength = 0, int width = 0) {
  QLineEdit* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  if (maxLength > 0) edit->setMaxLength(maxLength);
  if (width > 0) edit->setFixedWidth(width);
  return edit;
}

QCheckBox* MakeCheckBox(const char* name, const char* text, QWidget* parent) {
  QCheckBox* box = new QCheckBox(U(text), parent);
  box->setObjectName(name);
  return box;
}

// How a mail server connection is protected: none, STARTTLS (STLS), TLS.
QComboBox* MakeConnectTypeBox(const char* name, QWidget* parent) {
  QComboBox* box = new QComboBox(parent);
  box->setObjectName(name);
  box->addItems({U("なし"), U("TLS接続"), U("SSL接続")});
  box->setEditable(false);
  return box;
}

// The opt-out from the certificate check, for servers with a self-signed
// certificate, and its hint below it.
void AddCertificateChoice(QGridLayout* grid, int row, const char* name, QCheckBox*& box, QWidget* parent) {
  box = MakeCheckBox(name, "証明書を検証しない", parent);
  grid->addWidget(box, row, 1);
  grid->addWidget(MakeNote("※自己署名の証明書のサーバに限り使います。相手が本物か確かめられなくなります。", parent),
                  row + 1, 0, 1, 2);
}

// A connect type that the combo box knows, or -1 (no selection).
int KnownConnectType(int32_t type, const QComboBox* box) {
  return type >= 0 && type < box->count() ? type : -1;
}

QPushButton* MakeButton(const char* name, const char* text, QWidget* parent) {
  QPushButton* button = new QPushButton(U(text), parent);
  button->setObjectName(name);
  // Enter in a box does nothing, as no button is the dialog's default.
  button->setAutoDefault(false);
  return button;
}

// "Input method off": no input method at all, digits expected.
void InputMethodOff(QLineEdit* edit) {
  edit->setAttribute(Qt::WA_InputMethodEnabled, false);
  edit->setInputMethodHints(Qt::ImhDigitsOnly | Qt::ImhNoPredictiveText);
}

// "Input method closed": starts in plain Latin input; the user may still
// switch the input method on.
void InputMethodClosed(QLineEdit* edit) {
  edit->setInputMethodHints(Qt::ImhPreferLatin | Qt::ImhNoAutoUppercase |
                            Qt::ImhNoPredictiveText);
}

void MakePassword(QLineEdit* edit) { edit->setEchoMode(QLineEdit::Password); }

QWidget* Row(QWidget* parent, const std::vector<QWidget*>& widgets, int indent = 0) {
  QWidget* row = new QWidget(parent);
  QHBoxLayout* layout = new QHBoxLayout(row);
  layout->setContentsMargins(indent, 0, 0, 0);
  layout->setSpacing(4);
  for (QWidget* w : widgets) {
    w->setParent(row);
    layout->addWidget(w);
  }
  layout->addStretch(1);
  return row;
}

// A row whose text boxes that may grow share the room the row has: a path
// shows as much of itself as fits. Without such a box it keeps left.
QWidget* GrowingRow(QWidget* parent, const std::vector<QWidget*>& widgets) {
  QWidget* row = new QWidget(parent);
  QHBoxLayout* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  bool grows = false;
  for (QWidget* w : widgets) {
    w->setParent(row);
    const bool edit = qobject_cast<QLineEdit*>(w) && w->minimumWidth() != w->maximumWidth();
    layout->addWidget(w, edit ? 1 : 0);
    grows = grows || edit;
  }
  if (!grows) layout->addStretch(1);
  return row;
}

// Labels in the left column, the boxes beside them.
QGridLayout* FormGrid(QGroupBox* group) {
  QGridLayout* grid = new QGridLayout(group);
  grid->setContentsMargins(10, 2, 10, 4);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(2);
  grid->setColumnMinimumWidth(0, 80);
  grid->setColumnStretch(1, 1);
  return grid;
}

QGroupBox* MakeGroup(const char* title, const char* name, QWidget* parent) {
  QGroupBox* group = new QGroupBox(U(title), parent);
  group->setObjectName(name);
  return group;
}

// A mail server's group as both mail tabs have it: name, port, connection
// protection and the certificate opt-out. `prefix` starts the controls'
// names ("R" on the receiving side).
QGroupBox* MakeServerGroup(const char* title, const char* name, const std::string& prefix, QWidget* sheet,
                           QLineEdit*& host, QLineEdit*& port, QComboBox*& type, QCheckBox*& noVerify) {
  QGroupBox* group = MakeGroup(title, name, sheet);
  QGridLayout* server = FormGrid(group);
  host = MakeEdit((prefix + "HostNameEdit").c_str(), group, kHostNameMaxLength);
  InputMethodClosed(host);
  port = MakeEdit((prefix + "PortNumberEdit").c_str(), group, kPortNumberMaxLength, 48);
  InputMethodOff(port);
  type = MakeConnectTypeBox((prefix + "ConnectDefanceModeCBox").c_str(), group);
  server->addWidget(MakeLabel("サーバ名", group), 0, 0);
  server->addWidget(host, 0, 1);
  server->addWidget(MakeLabel("ポート番号", group), 1, 0);
  server->addWidget(port, 1, 1, Qt::AlignLeft);
  server->addWidget(MakeLabel("接続の保護", group), 2, 0);
  server->addWidget(type, 2, 1, Qt::AlignLeft);
  AddCertificateChoice(server, 3, (prefix + "NoVerifyCertCBox").c_str(), noVerify, group);
  return group;
}

// The login of a mail server: user name and password.
QGroupBox* MakeLoginGroup(const char* name, const std::string& prefix, QWidget* sheet, QLineEdit*& user,
                          QLineEdit*& password) {
  QGroupBox* group = MakeGroup(" ログイン認証設定 ", name, sheet);
  QGridLayout* login = FormGrid(group);
  user = MakeEdit((prefix + "UserNameEdit").c_str(), group);
  InputMethodClosed(user);
  password = MakeEdit((prefix + "PassWordEdit").c_str(), group, kPassWordMaxLength);
  MakePassword(password);
  login->addWidget(MakeLabel("ユーザ名", group), 0, 0);
  login->addWidget(user, 0, 1);
  login->addWidget(MakeLabel("パスワード", group), 1, 0);
  login->addWidget(password, 1, 1);
  return group;
}
} // namespace

TOptionForm::TOptionForm(QWidget* parent) : QDialog(parent) {
  setObjectName("OptionForm");
  setWindowTitle(U("設定"));
  // A fixed frame with the system menu and the close box only.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  QFont font(U(kDialogFontFamily));
  font.setPixelSize(kDialogFontPixels);
  setFont(font);
  setFixedSize(kOptionClientWidth, kOptionClientHeight);

  QVBoxLayout* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 0);
  layout->setSpacing(0);
  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName("PageControl1");
  layout->addWidget(PageControl1, 1);

  BuildBasicSheet();
  BuildMailSheet();
  BuildReceiveSheet();
  BuildExtensionSheet();
  BuildButtonPanel();
  layout->addWidget(Panel1);

  for (QLineEdit* edit : {CameraNumberEdit, BinEdit, MoveEdit, CheckIntervalEdit, StartMoveObjectEdit})
    AttachDigitFilter(edit);

  // Tab order as the tables list the controls; rows were built apart.
  const std::initializer_list<std::initializer_list<QWidget*>> tabOrders = {
      {CameraNumberEdit, CameraTestBtn, CameraUrlEdit, StartCBox, UseSoundCBox, UseMailCBox,
       IsCheckCBox, CheckIntervalEdit, StartMoveObjectEdit, OotsuCBox, BinEdit, MoveEdit},
      {HostNameEdit, PortNumberEdit, ConnectDefanceModeCBox, UserNameEdit, PassWordEdit,
       FromNameEdit, FromMailAddressEdit, ToMailAddressEdit, SMTPConnectTestBtn},
      {RHostNameEdit, RPortNumberEdit, RUserNameEdit, RPassWordEdit, Pop3ConnectTestBtn},
      {SettiongBtn, CancelBtn}};
  for (const auto& order : tabOrders) {
    QWidget* previous = nullptr;
    for (QWidget* w : order) {
      if (previous) setTabOrder(previous, w);
      previous = w;
    }
  }

  // The Tab key passes over the two server tests; they are clicked.
  SMTPConnectTestBtn->setFocusPolicy(Qt::ClickFocus);
  Pop3ConnectTestBtn->setFocusPolicy(Qt::ClickFocus);

  connect(SettiongBtn, &QPushButton::clicked, this, &TOptionForm::SettiongBtnClick);
  connect(CancelBtn, &QPushButton::clicked, this, &TOptionForm::CancelBtnClick);
  connect(CameraTestBtn, &QPushButton::clicked, this, &TOptionForm::CameraTestBtnClick);
  connect(SMTPConnectTestBtn, &QPushButton::clicked, this, &TOptionForm::SMTPConnectTestBtnClick);
  connect(Pop3ConnectTestBtn, &QPushButton::clicked, this, &TOptionForm::Pop3ConnectTestBtnClick);
}

TOptionForm::~TOptionForm() {
  try {
    if (PopClient.Connected()) PopClient.Disconnect();
  } catch (const EPop3Error&) {
    // Going away anyway; the socket is released by the client.
  }
}

void TOptionForm::BuildBasicSheet() {
  BasicSheet = new QWidget;
  BasicSheet->setObjectName("BasicSheet");
  PageControl1->addTab(BasicSheet, U("基本設定"));
  QVBoxLayout* page = new QVBoxLayout(BasicSheet);
  page->setContentsMargins(10, 8, 10, 6);
  page->setSpacing(3);

  CameraNumberEdit = MakeEdit("CameraNumberEdit", BasicSheet, kCameraNumberMaxLength, 32);
  InputMethodOff(CameraNumberEdit);
  CameraTestBtn = MakeButton("CameraTestBtn", "テスト", BasicSheet);
  page->addWidget(Row(BasicSheet, {MakeLabel("カメラ番号", BasicSheet), CameraNumberEdit, CameraTestBtn}));
  page->addWidget(Row(BasicSheet,
                      {MakeLabel("※カメラ１台接続時は「0」、複数接続時は「0～台数-1」の間で設定", BasicSheet)},
                      12));

  CameraUrlEdit = MakeEdit("CameraUrlEdit", BasicSheet, kCameraUrlMaxLength, 270);
  InputMethodClosed(CameraUrlEdit);
  page->addWidget(Row(BasicSheet, {MakeLabel("映像アドレス(URL)", BasicSheet), CameraUrlEdit}));
  page->addWidget(Row(BasicSheet,
                      {MakeLabel("※ネットワークカメラ・動画ファイル用。空欄ならカメラ番号を使用", BasicSheet)},
                      12));
  page->addSpacing(4);

  StartCBox = MakeCheckBox("StartCBox", "ソフト起動時に自動的に監視を開始する", BasicSheet);
  UseSoundCBox = MakeCheckBox("UseSoundCBox", "異常動体検出時に音を鳴らす", BasicSheet);
  UseMailCBox = MakeCheckBox("UseMailCBox", "異常動体検出時にメールを出す", BasicSheet);
  IsCheckCBox = MakeCheckBox("IsCheckCBox", "(調査要求)メール受信時、現在の映像付きメールを出す", BasicSheet);
  for (QCheckBox* box : {StartCBox, UseSoundCBox, UseMailCBox, IsCheckCBox}) page->addWidget(box);

  CheckIntervalEdit = MakeEdit("CheckIntervalEdit", BasicSheet, kCheckIntervalMaxLength, 40);
  InputMethodOff(CheckIntervalEdit);
  page->addWidget(Row(BasicSheet, {MakeLabel("(調査要求)メールチェック間隔", BasicSheet), CheckIntervalEdit,
                                   MakeLabel("分", BasicSheet)}));

  StartMoveObjectEdit = MakeEdit("StartMoveObjectEdit", BasicSheet, kStartMoveObjectMaxLength, 48);
  InputMethodOff(StartMoveObjectEdit);
  page->addWidget(Row(BasicSheet, {MakeLabel("監視開始後", BasicSheet), StartMoveObjectEdit,
                                   MakeLabel("秒後から、異常動体検出処理を始める", BasicSheet)}));
  page->addSpacing(4);

  OotsuCBox = MakeCheckBox("OotsuCBox", "大津氏の二値化法による、自動しきい値の決定", BasicSheet);
  page->addWidget(OotsuCBox);

  BinEdit = MakeEdit("BinEdit", BasicSheet, kBorderMaxLength, 40);
  InputMethodOff(BinEdit);
  page->addWidget(Row(BasicSheet, {MakeLabel("二値化しきい値", BasicSheet), BinEdit}));
  page->addWidget(Row(BasicSheet, {MakeLabel("※大津氏の二値化法を用いないとき利用します", BasicSheet)}, 12));
  page->addWidget(
      Row(BasicSheet, {MakeLabel("※「0～255」の間で設定。小さいほど敏感になります。", BasicSheet)}, 12));

  MoveEdit = MakeEdit("MoveEdit", BasicSheet, kBorderMaxLength, 40);
  InputMethodOff(MoveEdit);
  page->addWidget(Row(BasicSheet, {MakeLabel("動体検出しきい値", BasicSheet), MoveEdit}));
  page->addWidget(
      Row(BasicSheet, {MakeLabel("※「0～100」の間で設定。小さいほど敏感になります。", BasicSheet)}, 12));
  page->addStretch(1);
}

void TOptionForm::BuildMailSheet() {
  MailSheet = new QWidget;
  MailSheet->setObjectName("MailSheet");
  PageControl1->addTab(MailSheet, U("メール設定"));
  QVBoxLayout* page = new QVBoxLayout(MailSheet);
  page->setContentsMargins(8, 4, 8, 4);
  page->setSpacing(2);

  SmtpServerGroup = MakeServerGroup(" SMTPサーバ設定 ", "SmtpServerGroup", "", MailSheet, HostNameEdit,
                                    PortNumberEdit, ConnectDefanceModeCBox, NoVerifyCertCBox);
  page->addWidget(SmtpServerGroup);

  SmtpLoginGroup = MakeLoginGroup("SmtpLoginGroup", "", MailSheet, UserNameEdit, PassWordEdit);
  page->addWidget(SmtpLoginGroup);

  FromGroup = MakeGroup(" 差出人(From)情報 ", "FromGroup", MailSheet);
  QGridLayout* from = FormGrid(FromGroup);
  FromNameEdit = MakeEdit("FromNameEdit", FromGroup);
  FromMailAddressEdit = MakeEdit("FromMailAddressEdit", FromGroup, kMailAddressMaxLength);
  InputMethodClosed(FromMailAddressEdit);
  from->addWidget(MakeLabel("名前", FromGroup), 0, 0);
  from->addWidget(FromNameEdit, 0, 1);
  from->addWidget(MakeLabel("メールアドレス", FromGroup), 1, 0);
  from->addWidget(FromMailAddressEdit, 1, 1);
  from->addWidget(MakeNote("※もし名前が全角(漢字など)の時に送信出来ないときは、", FromGroup), 2, 0, 1, 2);
  from->addWidget(
      MakeNote("名前をアルファベット等の半角文字にするか空白にして動作確認してください。", FromGroup), 3,
      0, 1, 2);
  page->addWidget(FromGroup);

  ToGroup = MakeGroup(" 宛先(To)情報 ", "ToGroup", MailSheet);
  QGridLayout* to = FormGrid(ToGroup);
  ToMailAddressEdit = MakeEdit("ToMailAddressEdit", ToGroup, kMailAddressMaxLength);
  InputMethodClosed(ToMailAddressEdit);
  to->addWidget(MakeLabel("メールアドレス", ToGroup), 0, 0);
  to->addWidget(ToMailAddressEdit, 0, 1);
  page->addWidget(ToGroup);

  SMTPConnectTestBtn = MakeButton("SMTPConnectTestBtn", "SMTP接続テスト", MailSheet);
  QHBoxLayout* buttonRow = new QHBoxLayout;
  buttonRow->addStretch(1);
  buttonRow->addWidget(SMTPConnectTestBtn);
  page->addLayout(buttonRow);
  page->addStretch(1);
}

void TOptionForm::BuildReceiveSheet() {
  ReceiveSheet = new QWidget;
  ReceiveSheet->setObjectName("ReceiveSheet");
  PageControl1->addTab(ReceiveSheet, U("受信(調査要求)メール設定"));
  QVBoxLayout* page = new QVBoxLayout(ReceiveSheet);
  page->setContentsMargins(8, 6, 8, 6);
  page->setSpacing(4);

  Pop3ServerGroup = MakeServerGroup(" POP3サーバ設定 ", "Pop3ServerGroup", "R", ReceiveSheet, RHostNameEdit,
                                    RPortNumberEdit, RConnectDefanceModeCBox, RNoVerifyCertCBox);
  page->addWidget(Pop3ServerGroup);

  Pop3LoginGroup = MakeLoginGroup("Pop3LoginGroup", "R", ReceiveSheet, RUserNameEdit, RPassWordEdit);
  page->addWidget(Pop3LoginGroup);

  Pop3ConnectTestBtn = MakeButton("Pop3ConnectTestBtn", "POP3接続テスト", ReceiveSheet);
  QHBoxLayout* buttonRow = new QHBoxLayout;
  buttonRow->addStretch(1);
  buttonRow->addWidget(Pop3ConnectTestBtn);
  page->addLayout(buttonRow);
  page->addStretch(1);
}

// Settings beyond the three classic tabs. The page scrolls down, so that
// each group added here keeps its hint lines without growing the dialog;
// it never scrolls sideways: hints wrap to the page's width instead.
void TOptionForm::BuildExtensionSheet() {
  QScrollArea* scroll = new QScrollArea;
  scroll->setObjectName("ExtensionScroll");
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ExtensionSheet = new QWidget;
  ExtensionSheet->setObjectName("ExtensionSheet");
  scroll->setWidget(ExtensionSheet);
  PageControl1->addTab(scroll, U("拡張設定"));
  ExtensionPage = new QVBoxLayout(ExtensionSheet);
  ExtensionPage->setContentsMargins(8, 6, 8, 6);
  ExtensionPage->setSpacing(4);
  for (const ExtensionGroup& group : ExtensionGroups()) BuildExtensionGroup(group);
  if (auto* mqtt = ExtensionSheet->findChild<QGroupBox*>("MqttGroup")) {
    MqttConnectTestBtn = MakeButton("MqttConnectTestBtn", "接続テスト", mqtt);
    auto* grid = static_cast<QGridLayout*>(mqtt->layout());
    grid->addWidget(MqttConnectTestBtn, grid->rowCount(), 1, Qt::AlignRight);
    connect(MqttConnectTestBtn, &QPushButton::clicked, this, &TOptionForm::MqttConnectTestBtnClick);
  }
  BuildSchedulePreview();
  // One mail per event means nothing without events: the box waits for them.
  auto* archive = qobject_cast<QCheckBox*>(ExtensionControl("EVENT_ARCHIVE"));
  if (QWidget* firstOnly = ExtensionControl("ALERT_MAIL_FIRST_ONLY"); archive && firstOnly) {
    connect(archive, &QCheckBox::toggled, firstOnly, &QWidget::setEnabled);
    firstOnly->setEnabled(archive->isChecked());
  }
  ExtensionPage->addStretch(1);
  // The topic's default depends on the profile, so the box shows it.
  if (auto* topic = qobject_cast<QLineEdit*>(ExtensionControl("MQTT_TOPIC")))
    topic->setPlaceholderText(QString::fromStdString(DefaultTopicPrefix(SettingsProfile())));
}

// Under the schedule's box: what was typed, checked as it is typed, and
// when monitoring switches next if it is kept.
void TOptionForm::BuildSchedulePreview() {
  auto* edit = qobject_cast<QLineEdit*>(ExtensionControl("ARM_SCHEDULE"));
  if (!edit) return;
  QWidget* box = edit->parentWidget();
  while (box && !qobject_cast<QGroupBox*>(box)) box = box->parentWidget();
  if (!box) return;
  ArmSchedulePreview = MakeNote("", box);
  ArmSchedulePreview->setObjectName("ArmSchedulePreview");
  ArmSchedulePreview->setWordWrap(true);
  if (auto* grid = qobject_cast<QGridLayout*>(box->layout())) {
    grid->addWidget(ArmSchedulePreview, grid->rowCount(), 1);
  } else if (auto* rows = qobject_cast<QBoxLayout*>(box->layout())) {
    ArmSchedulePreview->setContentsMargins(kNoteIndent, 0, 0, 0);
    rows->addWidget(ArmSchedulePreview);
  }
  connect(edit, &QLineEdit::textChanged, this, [this] { UpdateSchedulePreview(); });
  UpdateSchedulePreview();
}

void TOptionForm::UpdateSchedulePreview() {
  auto* edit = qobject_cast<QLineEdit*>(ExtensionControl("ARM_SCHEDULE"));
  if (!edit || !ArmSchedulePreview) return;
  std::string why;
  const std::optional<ArmSchedule> schedule = ArmSchedule::Parse(S(edit->text()), &why);
  QPalette palette = ArmSchedulePreview->palette();
  palette.setColor(QPalette::WindowText, schedule ? kNoteColour : kErrorColour);
  ArmSchedulePreview->setPalette(palette);
  ArmSchedulePreview->setText(QString::fromStdString(schedule ? schedule->PreviewText(std::time(nullptr)) : why));
}

// One group box of the extension tab with a row for each of its settings.
void TOptionForm::BuildExtensionGroup(const ExtensionGroup& group) {
  QGroupBox* box = MakeGroup(group.title, group.name, ExtensionSheet);
  QGridLayout* form = nullptr;
  QVBoxLayout* rows = nullptr;
  if (group.layout == GroupLayout::Form) {
    form = FormGrid(box);
  } else {
    rows = new QVBoxLayout(box);
    rows->setContentsMargins(10, 2, 10, 4);
    rows->setSpacing(2);
  }
  int row = 0;
  for (const ExtensionSetting& setting : ExtensionSettings()) {
    if (setting.group != group.group) continue;
    std::vector<QWidget*> line;
    QWidget* control = MakeExtensionControl(setting, box, line);
    extensionRows_.push_back({&setting, control});
    const bool check = setting.input == SettingInput::Check;
    if (form) {
      form->addWidget(MakeLabel(check ? "" : setting.label, box), row, 0);
      form->addWidget(line.size() == 1 ? line.front() : GrowingRow(box, line), row++, 1);
      form->addWidget(MakeWrappedNote(setting.hint, box), row++, 1);
    } else {
      if (check) {
        rows->addWidget(control);
      } else {
        line.insert(line.begin(), MakeLabel(setting.label, box));
        rows->addWidget(GrowingRow(box, line));
      }
      QLabel* note = MakeWrappedNote(setting.hint, box);
      note->setContentsMargins(kNoteIndent, 0, 0, 0);
      rows->addWidget(note);
    }
  }
  ExtensionPage->addWidget(box);
}

// The control of one row, and in `line` what stands in the row after the
// label: the control, then its unit or its file or folder button.
QWidget* TOptionForm::MakeExtensionControl(const ExtensionSetting& setting, QWidget* parent,
                                           std::vector<QWidget*>& line) {
  constexpr int kNumberWidth = 48;
  // The least a text or path box narrows to; it grows with the page.
  constexpr int kWideTextMinWidth = 160;
  constexpr int kFileMinWidth = 120;
  const bool chooser = setting.input == SettingInput::File || setting.input == SettingInput::Folder;
  if (setting.input == SettingInput::Check) {
    QCheckBox* box = MakeCheckBox(setting.control, setting.label, parent);
    line.push_back(box);
    return box;
  }
  QLineEdit* edit = nullptr;
  switch (setting.input) {
  case SettingInput::Number:
    edit = MakeEdit(setting.control, parent, static_cast<int>(QString::number(setting.most).size()),
                    kNumberWidth);
    InputMethodOff(edit);
    AttachDigitFilter(edit);
    break;
  case SettingInput::Password:
    edit = MakeEdit(setting.control, parent, setting.most);
    MakePassword(edit);
    break;
  default:
    edit = MakeEdit(setting.control, parent, setting.most);
    InputMethodClosed(edit);
    if (setting.input == SettingInput::WideText) edit->setMinimumWidth(kWideTextMinWidth);
    if (chooser) edit->setMinimumWidth(kFileMinWidth);
    break;
  }
  line.push_back(edit);
  if (*setting.unit && !chooser) line.push_back(MakeLabel(setting.unit, parent));
  if (chooser) {
    // The button's name follows the box's: "MaskFileEdit" has "MaskFileBtn".
    QString name = QString::fromUtf8(setting.control);
    if (name.endsWith("Edit")) name.chop(4);
    QPushButton* button = MakeButton(S(name + "Btn").c_str(), "参照...", parent);
    line.push_back(button);
    const QString title = U(setting.label) + U("の選択");
    const QString filter = U(setting.unit);
    const bool folder = setting.input == SettingInput::Folder;
    connect(button, &QPushButton::clicked, this, [this, edit, title, filter, folder] {
      const QString chosen = folder ? QFileDialog::getExistingDirectory(this, title, edit->text())
                                    : QFileDialog::getOpenFileName(this, title, edit->text(), filter);
      if (!chosen.isEmpty()) edit->setText(chosen);
    });
  }
  return edit;
}

QWidget* TOptionForm::ExtensionControl(const std::string& name) const {
  for (const ExtensionRow& row : extensionRows_)
    if (name == row.setting->field.name) return row.control;
  return nullptr;
}

void TOptionForm::LoadExtensionRows() {
  const typVardocam& s = AppSettings;
  for (const ExtensionRow& row : extensionRows_) {
    const SettingField& f = row.setting->field;
    if (auto* box = qobject_cast<QCheckBox*>(row.control))
      box->setChecked(s.*f.boolean);
    else if (auto* edit = qobject_cast<QLineEdit*>(row.control))
      edit->setText(f.kind == SettingKind::Integer ? QString::number(s.*f.integer)
                                                   : QString::fromStdString(s.*f.text));
  }
}

// An empty number box, or one without a number, stores the default.
void TOptionForm::StoreExtensionRows(typVardocam& s) const {
  for (const ExtensionRow& row : extensionRows_) {
    const SettingField& f = row.setting->field;
    if (auto* box = qobject_cast<QCheckBox*>(row.control))
      s.*f.boolean = box->isChecked();
    else if (auto* edit = qobject_cast<QLineEdit*>(row.control)) {
      if (f.kind == SettingKind::Integer)
        s.*f.integer = EditNumber(edit, f.defaultNumber);
      else
        s.*f.text = TrimmedText(edit);
    }
  }
}

void TOptionForm::BuildButtonPanel() {
  Panel1 = new QWidget(this);
  Panel1->setObjectName("Panel1");
  Panel1->setFixedHeight(kOptionButtonPanelHeight);
  QHBoxLayout* layout = new QHBoxLayout(Panel1);
  layout->setContentsMargins(8, 0, 8, 0);
  layout->addStretch(1);
  SettiongBtn = MakeButton("SettiongBtn", "設定", Panel1);
  CancelBtn = MakeButton("CancelBtn", "キャンセル", Panel1);
  for (QPushButton* button : {SettiongBtn, CancelBtn}) {
    button->setMinimumWidth(75);
    layout->addWidget(button);
  }
}

void TOptionForm::AttachDigitFilter(QLineEdit* edit) {
  edit->installEventFilter(this);
  // Pasted, dropped or otherwise inserted text passes the same filter.
  edit->setProperty(kPreviousTextProperty, edit->text());
  connect(edit, &QLineEdit::textChanged, edit,
          [edit] { edit->setProperty(kPreviousTextProperty, edit->text()); });
  connect(edit, &QLineEdit::textEdited, this,
          [this, edit](const QString& text) { FilterInsertedText(edit, text); });
}

void TOptionForm::FilterInsertedText(QLineEdit* edit, const QString& text) {
  const QString before = edit->property(kPreviousTextProperty).toString();
  qsizetype prefix = 0;
  while (prefix < before.size() && prefix < text.size() && before.at(prefix) == text.at(prefix)) ++prefix;
  qsizetype suffix = 0;
  while (suffix < before.size() - prefix && suffix < text.size() - prefix &&
         before.at(before.size() - 1 - suffix) == text.at(text.size() - 1 - suffix))
    ++suffix;
  const QString inserted = text.mid(prefix, text.size() - prefix - suffix);
  QString kept;
  for (QChar c : inserted) {
    QChar key = c;
    CameraNumberEditKeyPress(key);
    // A control character that passes is an editing key when typed; as
    // text it has no place in a number.
    if (!key.isNull() && key.unicode() >= 0x20) kept += key;
  }
  if (kept == inserted) return;
  edit->setText(text.left(prefix) + kept + text.right(suffix));
  edit->setCursorPosition(static_cast<int>(prefix + kept.size()));
}

bool TOptionForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* keyEvent = static_cast<QKeyEvent*>(event);
    const QString text = keyEvent->text();
    // Keys without a character (arrows, Delete, Home) and shortcuts (Ctrl+V)
    // type nothing and pass.
    const bool shortcut =
        keyEvent->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    if (text.size() == 1 && !shortcut) {
      QChar key = text.at(0);
      CameraNumberEditKeyPress(key);
      if (key.isNull()) return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void TOptionForm::CameraNumberEditKeyPress(QChar& key) {
  if (key == QChar(13)) {
    key = QChar();
    return;
  }
  if (key.unicode() < 32) return;
  if (IsDigit(key)) return;
  key = QChar();
}

void TOptionForm::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) {
    CentreOnMainWindow();
    FormShow();
  }
  QDialog::showEvent(event);
}

void TOptionForm::CentreOnMainWindow() {
  QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  if (!owner) return;
  QRect frame = frameGeometry();
  frame.moveCenter(owner->frameGeometry().center());
  // Kept whole on the owner's screen when the owner sits near its edge.
  if (const QScreen* screen = owner->screen()) {
    const QRect area = screen->availableGeometry();
    frame.moveLeft(std::max(area.left(), std::min(frame.left(), area.right() - frame.width() + 1)));
    frame.moveTop(std::max(area.top(), std::min(frame.top(), area.bottom() - frame.height() + 1)));
  }
  move(frame.topLeft());
}

void TOptionForm::FormShow() {
  const auto number = [](int32_t value) { return QString::number(value); };
  const auto text = [](const std::string& value) { return QString::fromStdString(value); };
  const typVardocam& s = AppSettings;

  CameraNumberEdit->setText(number(s.CAMERANUMBER));
  PortNumberEdit->setText(number(s.MAIL_PORTNUMBER));
  BinEdit->setText(number(s.BINBORDER));
  MoveEdit->setText(number(s.MOVEBORDER));
  RPortNumberEdit->setText(number(s.MAIL_R_PORTNUMBER));
  CheckIntervalEdit->setText(number(s.CHECK_INTERVAL));
  StartMoveObjectEdit->setText(number(s.START_MOVE_OBJECT));

  StartCBox->setChecked(s.STARTUPMONITORING);
  UseSoundCBox->setChecked(s.USESOUND);
  UseMailCBox->setChecked(s.USEMAIL);
  IsCheckCBox->setChecked(s.IS_CHECK);
  OotsuCBox->setChecked(s.USE_OOTSU);

  CameraUrlEdit->setText(text(s.CAMERA_URL));
  HostNameEdit->setText(text(s.MAIL_HOSTNAME));
  UserNameEdit->setText(text(s.MAIL_USERNAME));
  PassWordEdit->setText(text(s.MAIL_PASSWORD));
  FromNameEdit->setText(text(s.MAIL_FROMNAME));
  FromMailAddressEdit->setText(text(s.MAIL_MAILADDRESS));
  ToMailAddressEdit->setText(text(s.MAIL_TOADDRESS));
  RHostNameEdit->setText(text(s.MAIL_R_HOSTNAME));
  RUserNameEdit->setText(text(s.MAIL_R_USERNAME));
  RPassWordEdit->setText(text(s.MAIL_R_PASSWORD));

  ConnectDefanceModeCBox->setCurrentIndex(KnownConnectType(s.MAIL_CONNECT_TYPE, ConnectDefanceModeCBox));
  RConnectDefanceModeCBox->setCurrentIndex(KnownConnectType(s.MAIL_R_CONNECT_TYPE, RConnectDefanceModeCBox));
  NoVerifyCertCBox->setChecked(s.MAIL_NOVERIFY_CERT);
  RNoVerifyCertCBox->setChecked(s.MAIL_R_NOVERIFY_CERT);

  LoadExtensionRows();

  const bool known = s.MAIL_CONNECT_TYPE >= 0 && s.MAIL_CONNECT_TYPE < ConnectDefanceModeCBox->count();
  ConnectDefanceModeCBox->setCurrentIndex(known ? s.MAIL_CONNECT_TYPE : -1);

  PageControl1->setCurrentIndex(0);
  CameraNumberEdit->setFocus();
}

void TOptionForm::SettiongBtnClick() {
  // A schedule that does not parse would switch nothing: it is fixed first.
  if (auto* edit = qobject_cast<QLineEdit*>(ExtensionControl("ARM_SCHEDULE"))) {
    std::string why;
    if (!ArmSchedule::Parse(S(edit->text()), &why)) {
      PageControl1->setCurrentIndex(PageControl1->count() - 1);
      edit->setFocus();
      ShowErrorMessage("監視する時間帯を読めません。\n%s", why.c_str());
      return;
    }
  }
  typVardocam& s = AppSettings;
  s.CAMERANUMBER = EditNumber(CameraNumberEdit, kCameraNumberFallback);
  s.STARTUPMONITORING = StartCBox->isChecked();
  s.USESOUND = UseSoundCBox->isChecked();
  s.USEMAIL = UseMailCBox->isChecked();
  s.MAIL_HOSTNAME = TrimmedText(HostNameEdit);
  s.MAIL_PORTNUMBER = EditNumber(PortNumberEdit, kPortNumberFallback);
  s.MAIL_CONNECT_TYPE = ConnectDefanceModeCBox->currentIndex();
  s.MAIL_USERNAME = TrimmedText(UserNameEdit);
  s.MAIL_PASSWORD = TrimmedText(PassWordEdit);
  s.MAIL_FROMNAME = TrimmedText(FromNameEdit);
  s.MAIL_MAILADDRESS = TrimmedText(FromMailAddressEdit);
  s.MAIL_TOADDRESS = TrimmedText(ToMailAddressEdit);
  s.BINBORDER = EditNumber(BinEdit, kBinBorderFallback);
  s.MOVEBORDER = EditNumber(MoveEdit, kMoveBorderFallback);
  s.MAIL_R_HOSTNAME = TrimmedText(RHostNameEdit);
  s.MAIL_R_PORTNUMBER = EditNumber(RPortNumberEdit, kRPortNumberFallback);
  s.MAIL_R_USERNAME = TrimmedText(RUserNameEdit);
  s.MAIL_R_PASSWORD = TrimmedText(RPassWordEdit);
  s.IS_CHECK = IsCheckCBox->isChecked();
  s.CHECK_INTERVAL = EditNumber(CheckIntervalEdit, kCheckIntervalFallback);
  s.START_MOVE_OBJECT = EditNumber(StartMoveObjectEdit, kStartMoveObjectFallback);
  s.USE_OOTSU = OotsuCBox->isChecked();
  s.CAMERA_URL = TrimmedText(CameraUrlEdit);
  s.MAIL_R_CONNECT_TYPE = RConnectDefanceModeCBox->currentIndex();
  s.MAIL_NOVERIFY_CERT = NoVerifyCertCBox->isChecked();
  s.MAIL_R_NOVERIFY_CERT = RNoVerifyCertCBox->isChecked();
  StoreExtensionRows(AppSettings);

  // The values are in effect either way; a failed write is said, since
  // they would otherwise be lost at the next start.
  if (!SaveSettings())
    ShowErrorMessage("設定を保存できませんでした。\n%s の書き込みができるか確認してください。",
                     SettingsFilePath().c_str());
  accept();
}

void TOptionForm::CancelBtnClick() { reject(); }

bool TOptionForm::OpenTestCamera(int32_t cameraNumber, const std::string& url) {
  // Monitoring is stopped while the dialog is open, so the main window's
  // camera object is free for the test.
  auto* owner = dynamic_cast<ICameraOwner*>(parentWidget());
  testCamera_ = owner ? owner->Camera() : nullptr;
  if (!testCamera_) {
    ownCamera_ = std::make_unique<NsOpenCVCamera>(kTestCameraName);
    testCamera_ = ownCamera_.get();
  }
  return testCamera_->OpenCamera(cameraNumber, url);
}

void TOptionForm::CloseTestCamera() {
  if (testCamera_) testCamera_->CloseCamera();
  testCamera_ = nullptr;
  ownCamera_.reset();
}

// A stream camera (RTSP and whatever else FFmpeg opens, not MJPEG over
// HTTP): each of its streams is opened, its first picture decoded, and its
// codec, size and rate shown.
void TOptionForm::StreamCameraTest(const std::string& url) {
  typVardocam typed = AppSettings;
  StoreExtensionRows(typed);
  const CaptureTimings timings = CurrentCaptureTimings();
  std::vector<std::pair<std::string, std::string>> streams = {{"映像アドレス", url}};
  if (!typed.CAMERA_DETECT_URL.empty() && typed.CAMERA_DETECT_URL != url)
    streams.push_back({"検出用の映像アドレス", typed.CAMERA_DETECT_URL});
  std::string text;
  bool allOpened = true;
  {
    WaitCursor busy;
    for (const auto& [name, address] : streams) {
      StreamDescription description;
      std::string error;
      const bool opened = AvStreamReader::Probe(address, typed.CAMERA_RTSP_UDP, timings.streamOpenTimeoutMs,
                                                timings.streamReadTimeoutMs, description, &error);
      allOpened = allOpened && opened;
      text += name + "[" + AddressWithoutPassword(address) + "]: " + (opened ? description.Text() : error) + "\n";
    }
  }
  if (allOpened)
    ShowInfoMessage("カメラの接続に成功しました。\n%s", text.c_str());
  else
    ShowErrorMessage("カメラの接続に失敗しました。\n%s", text.c_str());
}

void TOptionForm::CameraTestBtnClick() {
  const std::string url = TrimmedText(CameraUrlEdit);
  const std::string number = TrimmedText(CameraNumberEdit);
  if (url.empty() && number.empty()) {
    ShowErrorMessage("カメラ番号を入力してください。");
    return;
  }
  if (IsStreamCameraAddress(url)) {
    StreamCameraTest(url);
    return;
  }
  bool opened = false;
  std::string reason;
  {
    WaitCursor busy;
    opened = OpenTestCamera(ToIntDef(QString::fromStdString(number), kCameraNumberFallback), url);
    if (!opened && testCamera_) reason = testCamera_->OpenFailure();
    // Whether it opened or not, nothing of the test stays open.
    CloseTestCamera();
  }
  // What is known of why follows the failure's own line.
  if (!reason.empty()) reason = "\n" + reason;
  if (!url.empty()) {
    const std::string shown = AddressWithoutPassword(url);
    if (opened)
      ShowInfoMessage("映像アドレス[%s]の接続に成功しました。", shown.c_str());
    else
      ShowErrorMessage("映像アドレス[%s]の接続に失敗しました。%s", shown.c_str(), reason.c_str());
    return;
  }
  if (opened)
    ShowInfoMessage("カメラ番号[%s]の接続に成功しました。", number.c_str());
  else
    ShowErrorMessage("カメラ番号[%s]の接続に失敗しました。%s", number.c_str(), reason.c_str());
}

void TOptionForm::SMTPConnectTestBtnClick() {
  MailServerSettings settings;
  settings.host = TrimmedText(HostNameEdit);
  settings.userName = TrimmedText(UserNameEdit);
  settings.password = TrimmedText(PassWordEdit);
  settings.fromName = TrimmedText(FromNameEdit);
  settings.mailAddress = TrimmedText(FromMailAddressEdit);
  settings.port = EditNumber(PortNumberEdit, kPortNumberFallback);
  settings.connectType = ConnectDefanceModeCBox->currentIndex();
  settings.toAddress = S(ToMailAddressEdit->text());
  settings.verifyCert = !NoVerifyCertCBox->isChecked();

  bool loggedIn = false;
  std::string reason;
  {
    WaitCursor busy;
    // The session ends with the client, without a QUIT.
    TSmtpClient client;
    TMimeMessage message;
    loggedIn = SmtpLogin(settings, client, &message);
    if (!loggedIn) reason = SmtpLoginFailureText(client);
  }
  if (loggedIn)
    ShowInfoMessage("SMTPサーバとの接続に成功しました。");
  else
    ShowErrorMessage("SMTPサーバとの接続に失敗しました。\n%s", reason.c_str());
}

// Tests what the dialog shows, as the SMTP test does: the saved settings
// may be empty or other than what was just typed.
void TOptionForm::Pop3ConnectTestBtnClick() {
  MailServerSettings settings;
  settings.host = TrimmedText(RHostNameEdit);
  settings.port = EditNumber(RPortNumberEdit, kRPortNumberFallback);
  settings.userName = TrimmedText(RUserNameEdit);
  settings.password = TrimmedText(RPassWordEdit);
  settings.connectType = RConnectDefanceModeCBox->currentIndex();
  settings.verifyCert = !RNoVerifyCertCBox->isChecked();
  if (settings.host.empty()) {
    ShowErrorMessage("POP3サーバ名を入力してください。");
    return;
  }

  std::string failure;
  {
    WaitCursor busy;
    failure = ConnectPop3(PopClient, settings);
    if (failure.empty()) {
      try {
        PopClient.Disconnect();
      } catch (const EPop3Error&) {
        // The login succeeded, which is what the test asks; a "Quit" that
        // could not be written closed the connection all the same.
      }
    }
  }
  if (failure.empty())
    ShowInfoMessage("POP3サーバとの接続に成功しました。");
  else
    ShowErrorMessage("POP3サーバとの接続に失敗しました。\n%s", failure.c_str());
}

void TOptionForm::MqttConnectTestBtnClick() {
  typVardocam typed = AppSettings;
  StoreExtensionRows(typed);
  const MqttSettings settings = MqttSettingsFrom(typed, SettingsProfile());
  if (settings.host.empty()) {
    ShowErrorMessage("MQTTのブローカーを入力してください。");
    return;
  }
  MqttTestResult result;
  {
    WaitCursor busy;
    result = TestMqttBroker(settings);
  }
  if (result.connected)
    ShowInfoMessage("MQTTブローカーとの接続に成功しました。\n%s", result.detail.c_str());
  else
    ShowErrorMessage("MQTTブローカーとの接続に失敗しました。\n%s", result.detail.c_str());
}
