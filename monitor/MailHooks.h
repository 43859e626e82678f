#pragma once

class nsOpenCV;

// The two mail operations the monitoring cycle starts. They run to the end
// inside the tick; an exception they raise ends that tick.

// Sends the alert mail with the camera's current colour picture when mail is
// switched on. False only when the login to the mail server failed.
bool SendAlertMail(nsOpenCV& camera);

// Polls the request mailbox and, when a request waits, sends the status
// report with the camera's current picture.
void CheckRequestMail(nsOpenCV& camera);
