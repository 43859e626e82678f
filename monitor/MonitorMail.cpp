#include "monitor/MonitorMail.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "archive/ContactSheet.h"
#include "archive/EventText.h"
#include "monitor/MonitorCamera.h"
#include "monitor/MonitorEvents.h"
#include "platform/LocalTime.h"
#include "platform/OpenCvModule.h"
#include "platform/ProgramName.h"
#include "settings/Vardocamdef.h"

namespace {
// Thick enough to find at a glance on a phone, thin enough to see past.
constexpr int kPersonBoxLineWidth = 3;

// An old picture must never go out as the current one: the file goes
// first, and a picture that cannot be written says why (the image module
// missing, a full disk), which ends the mail with that reason.
void WriteJpeg(const std::string& path, const cv::Mat& picture) {
  std::remove(path.c_str());
  std::string why;
  if (!WriteImageFile(path, picture, &why))
    throw std::runtime_error("メールの画像「" + path + "」を書き込めませんでした" + (why.empty() ? "" : ": " + why));
}

// The server and the picture are the context's: the settings of the
// moment the mail was asked for, and a copy of the camera's picture.
MailInputs MailInputsFrom(bool wanted, const MailContext& context) {
  MailInputs inputs;
  inputs.wanted = wanted;
  inputs.server = SmtpServerOf(context.settings);
  inputs.server.cancel = context.cancel;
  inputs.cameraName = CameraName(context.settings, SettingsProfile());
  // A camera without a detector has no picture of its own to give.
  if (!context.picture.empty()) {
    const cv::Mat picture = context.picture;
    inputs.writePicture = [picture](const std::string& path) { WriteJpeg(path, picture); };
  }
  return inputs;
}

// With mails kept, a mail is composed whole before its first try, so a
// resend is the very same mail.
bool Keeping(const MailInputs& inputs, const MailContext& context, const std::unique_ptr<MailOutbox>& outbox) {
  return inputs.wanted && context.settings.MAIL_RETRY && outbox;
}

} // namespace

MailResult MonitorMail::SendAlertMail(const MailContext& context) {
  const MailInputs inputs = MailInputsFrom(context.settings.USEMAIL, context);
  if (Keeping(inputs, context, outbox_)) return SendKeeping(context, ComposeAlertMail(inputs));
  return ::SendAlertMail(inputs);
}

// The frame the person was found in goes first, where the camera's picture
// always was; the copy with the box follows, so a glance finds the person.
MailResult MonitorMail::SendPersonAlertMail(const MailContext& context, const PersonFound& person) {
  MailInputs inputs = MailInputsFrom(context.settings.USEMAIL, context);
  const cv::Mat frame = person.frame;
  const cv::Rect box = person.box;
  inputs.writePicture = [frame](const std::string& path) { WriteJpeg(path, frame); };
  inputs.writeSecondPicture = [frame, box](const std::string& path) {
    cv::Mat marked = frame.clone();
    cv::rectangle(marked, box, cv::Scalar(0, 0, 255), kPersonBoxLineWidth);
    WriteJpeg(path, marked);
  };
  if (Keeping(inputs, context, outbox_)) return SendKeeping(context, ComposeAlertMail(inputs));
  return ::SendAlertMail(inputs);
}

// Each command is answered to the settings' recipient and, where another,
// to its sender, who is on the user's own list.
RequestCheckResult MonitorMail::CheckRequestMail(const MailContext& context) {
  MailServerSettings settings = PopServerOf(context.settings);
  settings.cancel = context.cancel;
  std::vector<std::string> notices;
  if (!handledLoaded_) {
    handledLoaded_ = true;
    std::string why;
    if (!handled_->Load(&why))
      notices.push_back("処理済みメールの記録を読めないため、空の記録から始めます（" + why + "）。");
    commands_.SetRecord(handled_.get());
  }
  commands_.BeginPoll();
  RequestCommands commands;
  commands.take = [this, &notices, &context](const std::string& header) {
    return commands_.Take(header, context.settings, notices, std::time(nullptr));
  };
  std::vector<MailResult> confirmations;
  commands.run = [this, &context, &notices, &confirmations]() -> MailResult {
    std::string failure;
    const bool sent = commands_.Run(
        *arm_, context.settings,
        [&context, &confirmations](const CommandAnswer& reply, std::string& why) {
          MailInputs inputs = MailInputsFrom(true, context);
          inputs.moreAttachments = reply.attachments;
          if (!SenderAllowed(inputs.server.toAddress, reply.sender))
            inputs.moreRecipients.push_back(reply.sender);
          const MailResult result = SendConfirmationMail(inputs, reply.what, reply.lines);
          confirmations.push_back(result);
          why = result.failure;
          return result.sent;
        },
        notices, failure);
    return {sent, failure};
  };
  RequestCheckResult result =
      ::CheckRequestMail(PopClient, settings, [this, &context] {
        // The classic report, byte for byte, unless commands by mail are set up.
        const bool commandsSet = !context.settings.REMOTE_PIN.empty() && !context.settings.REMOTE_SENDERS.empty();
        return SendReportMail(MailInputsFrom(context.settings.IS_CHECK, context),
                              arm_ && commandsSet ? "現在の状態: " + ArmStateText(arm_->State()) : "");
      }, arm_ ? &commands : nullptr, handled_.get());
  // The owner hears of the lock-out from the camera itself, once, not
  // only in a history nobody may be looking at.
  if (commands_.TakeJustLocked()) {
    const MailResult told = SendConfirmationMail(
        MailInputsFrom(true, context), "メールでの操作を停止しました",
        {"暗証番号の誤りが続いたため、メールでの操作を1時間受け付けません。",
         "その間の操作メールは状況報告の要求として扱います。心当たりがなければ暗証番号を変えてください。"});
    if (!told.sent) notices.push_back("メールでの操作の停止を知らせるメールを送れませんでした: " + told.failure);
    confirmations.push_back(told);
  }
  result.confirmations = std::move(confirmations);
  result.notices.insert(result.notices.begin(), notices.begin(), notices.end());
  return result;
}

MailResult MonitorMail::SendHealthMail(const MailContext& context, const std::string& subject,
                                       const std::vector<std::string>& body) {
  MailInputs inputs = MailInputsFrom(true, context);
  inputs.withPicture = !context.picture.empty();
  const PreparedMail mail = ComposeMail(subject, body, inputs);
  if (Keeping(inputs, context, outbox_)) return SendKeeping(context, mail);
  const DeliveryResult result = DeliverMail(inputs.server, mail);
  return {result.sent, result.failure};
}

// Tried at once even while the outbox holds mails for a server thought
// down: the test is how the user finds out whether it is.
MailResult MonitorMail::SendTestMail(const MailContext& context) {
  MailInputs inputs = MailInputsFrom(true, context);
  inputs.withPicture = !context.picture.empty();
  const std::string time = LocalTimeText(std::time(nullptr), "%H:%M:%S");
  const PreparedMail mail = ComposeMail("【テスト】テスト警報(" + time + ")",
                                        {"【テスト】これはテスト警報のメールです。実際に動体を検出したのではありません。",
                                         "時刻[" + time + "]",
                                         "警報音・警報メール・イベントの記録・MQTTを一度ずつ試しています。",
                                         inputs.withPicture ? "現在の画像を添付します" : "画像はありません"},
                                        inputs);
  const DeliveryResult result = DeliverMail(inputs.server, mail);
  return {result.sent, result.failure};
}

// While the server is known to be unreachable a new mail goes straight to
// the queue: one more try would only wait out the whole time-out again.
MailResult MonitorMail::SendKeeping(const MailContext& context, const PreparedMail& mail) {
  if (outbox_->ServerDown()) {
    outbox_->Keep(mail, false);
    return {false, std::string("SMTPサーバに送れない状態が続いているため、") + kResendLaterWords + "。"};
  }
  MailServerSettings server = SmtpServerOf(context.settings);
  server.cancel = context.cancel;
  const DeliveryResult result = DeliverMail(server, mail);
  if (result.sent) return {};
  if (!outbox_->Keep(mail, result.refused)) return {false, result.failure};
  return {false, result.failure + "（" + kResendLaterWords + "）"};
}

void MonitorMail::SetHandledMailFile(const std::string& path) {
  handled_ = std::make_unique<HandledMail>(path);
  handledLoaded_ = false;
}

void MonitorMail::SetOutboxFolder(const std::string& folder) {
  outbox_ = folder.empty() ? nullptr : std::make_unique<MailOutbox>(folder);
  outboxLoaded_ = false;
}

// The resend runs inside the first pump; the second takes its outcome, so
// one turn tells what became of it.
PendingMailReport MonitorMail::DeliverPending(const MailContext& context) {
  PendingMailReport report;
  if (!outbox_ || !context.settings.MAIL_RETRY) return report;
  if (!outboxLoaded_) {
    outboxLoaded_ = true;
    std::string error;
    if (!outbox_->Load(&error))
      report.notices.push_back("送れなかったメールの保存先を使えません（" + error +
                               "）。フォルダの権限を確認してください。");
  }
  const auto server = [&context] {
    MailServerSettings settings = SmtpServerOf(context.settings);
    settings.cancel = context.cancel;
    return settings;
  };
  for (int pump = 0; pump < 2; ++pump) {
    OutboxReport turn = outbox_->Pump(server);
    report.notices.insert(report.notices.end(), turn.notices.begin(), turn.notices.end());
    if (turn.changed) report.changed = true;
    report.waiting = static_cast<int>(turn.waiting);
  }
  return report;
}

// The sheet is made before the server is asked: an event whose folder
// holds no picture is told as such, and never goes out with an old sheet.
MailResult MonitorMail::SendEventSummaryMail(const MailContext& context, const EventInfo& event) {
  if (!context.settings.EVENT_SUMMARY_MAIL) return {};
  std::string why;
  const cv::Mat sheet = BuildContactSheet(EventSheetFrames(event, &why));
  std::vector<uchar> jpeg;
  if (sheet.empty() || !EncodeImage(".jpg", sheet, jpeg, {cv::IMWRITE_JPEG_QUALITY, kSheetJpegQuality}, &why))
    return {false, "イベントの画像を読めないため、まとめのメールを送れませんでした: " + event.folder +
                       (why.empty() ? "" : "（" + why + "）")};
  MailInputs inputs;
  inputs.server = SmtpServerOf(context.settings);
  inputs.server.cancel = context.cancel;
  inputs.writePicture = [&jpeg](const std::string& path) {
    // Nothing of an earlier sheet may stand in for one that was not written.
    std::remove(path.c_str());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return;
    std::fwrite(jpeg.data(), 1, jpeg.size(), file);
    std::fclose(file);
  };
  const std::string start = EventStartText(event);
  const std::string subject =
      "イベントのまとめ(" + start.substr(start.find(' ') + 1) + ")-" + CameraName(context.settings, SettingsProfile());
  const std::vector<std::string> body = {
      "警報のイベントを記録しました。",
      "開始時刻[" + start + "]",
      "長さ[" + EventLengthText(event) + "]",
      event.person ? "人物[あり]" : "人物[なし]",
      "イベント中の映像を並べた画像を添付します",
      kDisplayName,
  };
  try {
    if (Keeping(inputs, context, outbox_))
      return SendKeeping(context, ComposeMailAs(subject, body, kSummaryPictureFile, inputs));
    return SendSummaryMail(inputs, subject, body);
  } catch (const std::runtime_error&) {
    return {false, std::string("まとめの画像を作業フォルダに書き込めませんでした: ") + kSummaryPictureFile};
  }
}
