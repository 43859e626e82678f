#include "monitor/MonitorMail.h"

#include <cstdio>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "archive/ContactSheet.h"
#include "archive/EventText.h"
#include "monitor/MonitorCamera.h"
#include "monitor/MonitorEvents.h"
#include "platform/OpenCvModule.h"
#include "platform/ProgramName.h"
#include "settings/Vardocamdef.h"

namespace {
// Thick enough to find at a glance on a phone, thin enough to see past.
constexpr int kPersonBoxLineWidth = 3;

// A picture that cannot be written leaves the file as it was; the mail
// then says what it can.
void WriteJpeg(const std::string& path, const cv::Mat& picture) { WriteImageFile(path, picture); }

// The settings are read when the mail is about to go, so a change in the
// option dialog holds from the next mail on.
MailInputs MailInputsFrom(bool wanted, IMonitorCamera& camera) {
  MailInputs inputs;
  inputs.wanted = wanted;
  FillSmtpSettings(inputs.server);
  // A camera without a detector has no picture of its own to give.
  if (nsOpenCV* detector = camera.Detector())
    inputs.writePicture = [detector](const std::string& path) { detector->SaveImage(path); };
  return inputs;
}

// With mails kept, a mail is composed whole before its first try, so a
// resend is the very same mail.
bool Keeping(const MailInputs& inputs, const std::unique_ptr<MailOutbox>& outbox) {
  return inputs.wanted && AppSettings.MAIL_RETRY && outbox;
}
} // namespace

MailResult MonitorMail::SendAlertMail(IMonitorCamera& camera) {
  const MailInputs inputs = MailInputsFrom(AppSettings.USEMAIL, camera);
  if (Keeping(inputs, outbox_)) return SendKeeping(ComposeAlertMail(inputs));
  return ::SendAlertMail(inputs);
}

// The frame the person was found in goes first, where the camera's picture
// always was; the copy with the box follows, so a glance finds the person.
MailResult MonitorMail::SendPersonAlertMail(IMonitorCamera& camera, const PersonFound& person) {
  MailInputs inputs = MailInputsFrom(AppSettings.USEMAIL, camera);
  const cv::Mat frame = person.frame;
  const cv::Rect box = person.box;
  inputs.writePicture = [frame](const std::string& path) { WriteJpeg(path, frame); };
  inputs.writeSecondPicture = [frame, box](const std::string& path) {
    cv::Mat marked = frame.clone();
    cv::rectangle(marked, box, cv::Scalar(0, 0, 255), kPersonBoxLineWidth);
    WriteJpeg(path, marked);
  };
  if (Keeping(inputs, outbox_)) return SendKeeping(ComposeAlertMail(inputs));
  return ::SendAlertMail(inputs);
}

// Each command is answered to the settings' recipient and, where another,
// to its sender, who is on the user's own list.
RequestCheckResult MonitorMail::CheckRequestMail(IMonitorCamera& camera) {
  MailServerSettings settings;
  FillPopSettings(settings);
  std::vector<std::string> notices;
  commands_.BeginPoll();
  RequestCommands commands;
  commands.take = [this, &notices](const std::string& header) {
    return commands_.Take(header, AppSettings, notices);
  };
  commands.run = [this, &camera, &notices]() -> MailResult {
    std::string failure;
    const bool sent = commands_.Run(
        *arm_, AppSettings,
        [&camera](const CommandAnswer& reply, std::string& why) {
          MailInputs inputs = MailInputsFrom(true, camera);
          inputs.moreAttachments = reply.attachments;
          if (!SenderAllowed(inputs.server.toAddress, reply.sender))
            inputs.moreRecipients.push_back(reply.sender);
          const MailResult result = SendConfirmationMail(inputs, reply.what, reply.lines);
          why = result.failure;
          return result.sent;
        },
        notices, failure);
    return {sent, failure};
  };
  RequestCheckResult result =
      ::CheckRequestMail(PopClient, settings, [this, &camera] {
        return SendReportMail(MailInputsFrom(AppSettings.IS_CHECK, camera),
                              arm_ ? "現在の状態: " + ArmStateText(arm_->State()) : "");
      }, arm_ ? &commands : nullptr);
  result.notices.insert(result.notices.begin(), notices.begin(), notices.end());
  return result;
}

MailResult MonitorMail::SendHealthMail(const std::string& subject, const std::vector<std::string>& body,
                                       IMonitorCamera& camera) {
  MailInputs inputs = MailInputsFrom(true, camera);
  nsOpenCV* detector = camera.Detector();
  inputs.withPicture = detector && !detector->ColourImage().empty();
  const PreparedMail mail = ComposeMail(subject, body, inputs);
  if (Keeping(inputs, outbox_)) return SendKeeping(mail);
  const DeliveryResult result = DeliverMail(inputs.server, mail);
  return {result.sent, result.failure};
}

// While the server is known to be unreachable a new mail goes straight to
// the queue: one more try would hold up the tick for the whole time-out.
MailResult MonitorMail::SendKeeping(const PreparedMail& mail) {
  if (outbox_->ServerDown()) {
    outbox_->Keep(mail, false);
    return {false, "SMTPサーバに送れない状態が続いているため、後で送り直します。"};
  }
  MailServerSettings server;
  FillSmtpSettings(server);
  const DeliveryResult result = DeliverMail(server, mail);
  if (result.sent) return {};
  if (!outbox_->Keep(mail, result.refused)) return {false, result.failure};
  return {false, result.failure + "（後で送り直します）"};
}

void MonitorMail::SetOutboxFolder(const std::string& folder) {
  outbox_ = folder.empty() ? nullptr : std::make_unique<MailOutbox>(folder);
  outboxLoaded_ = false;
}

void MonitorMail::DeliverPending(IMonitorEvents& events) {
  if (!outbox_ || !AppSettings.MAIL_RETRY) return;
  if (!outboxLoaded_) {
    outboxLoaded_ = true;
    std::string error;
    if (!outbox_->Load(&error))
      events.On(MonitorEvent::Notice("送れなかったメールの保存先を使えません（" + error +
                                     "）。フォルダの権限を確認してください。"));
  }
  const OutboxReport report = outbox_->Pump([] {
    MailServerSettings server;
    FillSmtpSettings(server);
    return server;
  });
  for (const std::string& notice : report.notices) events.On(MonitorEvent::Notice(notice));
  if (report.changed) events.On(MonitorEvent::MailQueueChanged(static_cast<int>(report.waiting)));
}

// The sheet is made before the server is asked: an event whose folder
// holds no picture is told as such, and never goes out with an old sheet.
MailResult MonitorMail::SendEventSummaryMail(const EventInfo& event) {
  if (!AppSettings.EVENT_SUMMARY_MAIL) return {};
  const cv::Mat sheet = BuildContactSheet(EventSheetFrames(event));
  std::vector<uchar> jpeg;
  if (sheet.empty() || !EncodeImage(".jpg", sheet, jpeg, {cv::IMWRITE_JPEG_QUALITY, kSheetJpegQuality}))
    return {false, "イベントの画像を読めないため、まとめのメールを送れませんでした: " + event.folder};
  MailInputs inputs;
  FillSmtpSettings(inputs.server);
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
      "イベントのまとめ(" + start.substr(start.find(' ') + 1) + ")-" + CameraName(AppSettings, SettingsProfile());
  const std::vector<std::string> body = {
      "警報のイベントを記録しました。",
      "開始時刻[" + start + "]",
      "長さ[" + EventLengthText(event) + "]",
      event.person ? "人物[あり]" : "人物[なし]",
      "イベント中の映像を並べた画像を添付します",
      kDisplayName,
  };
  try {
    if (Keeping(inputs, outbox_)) return SendKeeping(ComposeMailAs(subject, body, kSummaryPictureFile, inputs));
    return SendSummaryMail(inputs, subject, body);
  } catch (const std::runtime_error&) {
    return {false, std::string("まとめの画像を作業フォルダに書き込めませんでした: ") + kSummaryPictureFile};
  }
}
