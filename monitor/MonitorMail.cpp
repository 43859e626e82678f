#include "monitor/MonitorMail.h"

#include "monitor/MonitorCamera.h"
#include "settings/Vardocamdef.h"

namespace {
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

RequestCheckResult MonitorMail::CheckRequestMail(IMonitorCamera& camera) {
  MailServerSettings settings;
  FillPopSettings(settings);
  return ::CheckRequestMail(PopClient, settings, [&camera] {
    return SendReportMail(MailInputsFrom(AppSettings.IS_CHECK, camera));
  });
}
