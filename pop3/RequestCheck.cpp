#include "pop3/RequestCheck.h"

#include "mail/HeaderDecode.h"
#include "net/SocketError.h"
#include "pop3/HandledMail.h"
#include "pop3/Pop3Client.h"
#include "pop3/Pop3Error.h"
#include "settings/Vardocamdef.h"

MailServerSettings PopServerOf(const typVardocam& settings) {
  MailServerSettings s;
  s.host = settings.MAIL_R_HOSTNAME;
  s.connectType = settings.MAIL_R_CONNECT_TYPE;
  s.port = settings.MAIL_R_PORTNUMBER;
  s.userName = settings.MAIL_R_USERNAME;
  s.password = settings.MAIL_R_PASSWORD;
  s.verifyCert = !settings.MAIL_R_NOVERIFY_CERT;
  return s;
}

void FillPopSettings(MailServerSettings& s) { s = PopServerOf(AppSettings); }

void ApplyPopSettings(TPop3Client& popClient, const MailServerSettings& settings) {
  popClient.Host = settings.host;
  popClient.Port = settings.port;
  popClient.UserId = settings.userName;
  popClient.Password = settings.password;
  popClient.ConnectType = settings.connectType;
  popClient.VerifyCert = settings.verifyCert;
  popClient.Cancel = settings.cancel;
}

std::string ConnectPop3(TPop3Client& popClient, const MailServerSettings& settings) {
  ApplyPopSettings(popClient, settings);
  std::string failure;
  try {
    popClient.Connect();
  } catch (const EPop3CertificateNotTrusted& e) {
    failure = e.what();
  } catch (const EPop3StlsRefused& e) {
    failure = e.what();
  } catch (const EPop3Timeout&) {
    failure = "POP3サーバからの応答が時間内にありませんでした。サーバ名・ポート番号・接続方式を確認してください。";
  } catch (const EPop3ReplyTooLong& e) {
    failure = e.what();
  } catch (const EPop3SocketError& e) {
    if (e.Code() == kSockErrConnRefused)
      failure = "POP3サーバに接続を拒否されました。サーバ名とポート番号を確認してください。";
    else if (e.Code() == kSockErrHostNotFound || e.Code() == kSockErrNoData || e.Code() == kSockErrTryAgain ||
             e.Code() == kSockErrNoRecovery)
      failure = "POP3サーバ名が見つかりません。サーバ名を確認してください。";
    else
      failure = "POP3サーバとの接続に失敗しました。";
  } catch (const EPop3ReplyError&) {
    failure = "POP3サーバにログインできませんでした。ユーザ名とパスワードを確認してください。";
  } catch (...) {
    failure = "POP3サーバとの接続に失敗しました。";
  }
  if (!failure.empty()) {
    // Also the way out of a connection that an earlier poll left open: the
    // Quit makes the server remove what that poll marked.
    try {
      if (popClient.Connected()) popClient.Disconnect();
    } catch (...) {
    }
  }
  return failure;
}

std::string HandledMailId(const std::string& uid, const std::string& header) {
  if (!uid.empty()) return "uid:" + uid;
  const std::vector<std::string> ids = HeaderFields(header, "Message-ID");
  if (ids.size() != 1) return "";
  const size_t first = ids[0].find_first_not_of(" \t"), last = ids[0].find_last_not_of(" \t");
  if (first == std::string::npos) return "";
  const std::string id = "msgid:" + ids[0].substr(first, last - first + 1);
  return id.size() <= kMaxHandledIdBytes ? id : "";
}

RequestCheckResult CheckRequestMail(TPop3Client& popClient, const MailServerSettings& settings,
                                    const ReportMailSender& sendReport, const RequestCommands* commands,
                                    HandledMail* handled) {
  RequestCheckResult result;
  const std::string failure = ConnectPop3(popClient, settings);
  if (!failure.empty()) {
    result.ok = false;
    result.failure = failure;
    return result;
  }

  const int count = popClient.GetMessageCount();
  const bool taking = commands && commands->take;
  bool uidl = handled != nullptr;  // until the server shows it has none
  std::vector<std::string> ids;
  for (int i = 1; i <= count; ++i) {
    std::string uid, header;
    if (uidl && (uid = popClient.UniqueId(i)).empty()) uidl = false;
    const bool read = (taking || (handled && uid.empty())) &&
                      popClient.ReadHeader(i, kMaxCommandHeaderBytes, header) == TPop3Client::HeaderResult::Read;
    const std::string id = handled ? HandledMailId(uid, read ? header : "") : "";
    if (!id.empty() && handled->Seen(id)) {
      ++result.repeated;
    } else {
      if (!id.empty()) ids.push_back(id);
      if (taking && read && commands->take(header)) ++result.commands;
      else ++result.requests;
    }
    popClient.DeleteMessage(i);
  }
  result.committed = popClient.Disconnect();
  // Saved after any mail, not only one with an id: the desk's lock-out rides along.
  if (handled && (!ids.empty() || result.requests + result.commands > 0)) {
    for (const std::string& id : ids) handled->Add(id);
    std::string why;
    if (!handled->Save(&why))
      result.notices.push_back("処理済みのメールを記録できませんでした（" + why +
                               "）。サーバがメールを消さない場合、同じメールをもう一度処理することがあります。");
  }
  // Commands are carried out only once their mails are gone, so a poll that
  // breaks off never runs one twice.
  std::vector<std::string> failures;
  if (result.commands > 0 && commands->run) {
    const MailResult answers = commands->run();
    if (!answers.sent) failures.push_back(answers.failure);
  }
  if (result.requests > 0) {
    const MailResult report = sendReport();
    if (!report.sent) failures.push_back(report.failure);
  }
  for (const std::string& why : failures) {
    result.ok = false;
    result.failure += (result.failure.empty() ? "" : " ") + why;
  }
  return result;
}
