// Inputs that fuzzing found to break a property, kept as ordinary cases.
#include <gtest/gtest.h>

#include "mail/HeaderDecode.h"
#include "net/SocketError.h"
#include "net/TcpSocket.h"
#include "support/ScriptedServer.h"

// A line of exactly the allowed length whose CR LF is split between two
// packets was refused while its CR waited for the LF.
TEST(FuzzFindings, LineOfTheFullLengthWithItsEndSplitIsAccepted) {
  constexpr int kLimit = 50;
  const std::string line(kLimit, 'a');
  ScriptedServer server;
  server.Send(line + "\r").Pause(100).Send("\n250 next\r\n").Start();
  TTcpSocket sock;
  sock.MaxLineLength = kLimit;
  sock.Connect("127.0.0.1", server.Port());
  ASSERT_EQ(sock.LastError(), 0);
  EXPECT_EQ(sock.RecvString(2000), line);
  EXPECT_EQ(sock.LastError(), 0);
  EXPECT_EQ(sock.RecvString(2000), "250 next");

  // One byte more is still refused.
  ScriptedServer longer;
  longer.Send(line + "a\r").Pause(100).Send("\n").Start();
  TTcpSocket sock2;
  sock2.MaxLineLength = kLimit;
  sock2.Connect("127.0.0.1", longer.Port());
  EXPECT_EQ(sock2.RecvString(2000), "");
  EXPECT_EQ(sock2.LastError(), kSockErrNoBuffers);
}

// A From value whose address held two "@" was taken as a sender.
TEST(FuzzFindings, SenderAddressWithTwoAtSignsIsNone) {
  for (const char* from : {"~ <@nheorome.@me.test>", "owner@home.test@else.test", "<a@b@c>"})
    EXPECT_EQ(SenderAddress(from), "") << from;
  EXPECT_EQ(SenderAddress("~ <nheorome@me.test>"), "nheorome@me.test");
}
