// Loopback sockets for the benchmark tools.
#ifndef ZORVANE_BENCH_NET_H
#define ZORVANE_BENCH_NET_H

// A listener on 127.0.0.1; port 0 lets the system choose. -1 on failure.
int ListenOnLoopback(unsigned port);
// The port a socket is bound to; 0 on failure.
unsigned BoundPort(int fd);
// A blocking connection to 127.0.0.1; -1 on failure.
int ConnectToLoopback(unsigned port);
bool SetNonBlocking(int fd);
bool SetNoDelay(int fd);
// The main loop of a benchmark server: takes "[--port PORT]", listens on
// loopback, prints "port=N" and serves one connection after another.
int ServeConnectionsForever(const char* program, int argc, char** argv, void (*serve)(int fd));

#endif
