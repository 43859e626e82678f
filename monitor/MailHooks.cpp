#include "monitor/MailHooks.h"

// Placeholders until the mail and request-check code is in: nothing is sent
// and the cycle goes on as after a successful send.
bool SendAlertMail(nsOpenCV&) { return true; }

void CheckRequestMail(nsOpenCV&) {}
