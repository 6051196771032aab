#pragma once
// Servers under test listen on loopback only.

// A TCP port on 127.0.0.1 that nobody listens on now (asked of the kernel, then let go); 0 when none.
int FreeLoopbackPort();

// A TCP connection to 127.0.0.1:`port`; -1 when it cannot be made.
int ConnectLoopback(int port);
