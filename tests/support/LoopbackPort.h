#pragma once

// A port on 127.0.0.1 that nothing listens on at the moment of the call:
// for a server a test is about to start, or for a connection that must fail.
int FreeLoopbackPort();

// Whether a server on 127.0.0.1:port is up, seen without connecting (a
// server that takes one client would be spent by a look that connects): it
// listens, or with `orConnected` has already taken its one client.
bool LoopbackPortUp(int port, bool orConnected = false);
