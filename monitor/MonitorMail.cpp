#include "monitor/MonitorMail.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "monitor/MonitorCamera.h"
#include "settings/Vardocamdef.h"

namespace {
// Thick enough to find at a glance on a phone, thin enough to see past.
constexpr int kPersonBoxLineWidth = 3;

// A picture that cannot be written leaves the file as it was; the mail
// then says what it can.
void WriteJpeg(const std::string& path, const cv::Mat& picture) {
  try {
    cv::imwrite(path, picture);
  } catch (const cv::Exception&) {
  }
}

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
} // namespace

MailResult MonitorMail::SendAlertMail(IMonitorCamera& camera) {
  return ::SendAlertMail(MailInputsFrom(AppSettings.USEMAIL, camera));
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
      ::CheckRequestMail(PopClient, settings, [&camera] {
        return SendReportMail(MailInputsFrom(AppSettings.IS_CHECK, camera));
      }, arm_ ? &commands : nullptr);
  result.notices.insert(result.notices.begin(), notices.begin(), notices.end());
  return result;
}
