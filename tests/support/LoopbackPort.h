#pragma once

// A port on 127.0.0.1 that nothing listens on at the moment of the call:
// for a server a test is about to start, or for a connection that must fail.
int FreeLoopbackPort();
