#pragma once

class TPop3Client;

// One poll of the request mailbox: every message in it is a request. All
// of them are deleted, and when there was at least one, one status report
// is mailed. A failure to connect or log in ends the poll quietly; an
// error after the login (an error reply, a status without a count, a
// closed connection) is thrown to the caller, the monitoring cycle.
void CheckRequestMail(TPop3Client& popClient);
