// Loopback sockets and bounded reads for tests.
#ifndef TEST_NET_H
#define TEST_NET_H

#include <string>

// A listening socket on 127.0.0.1 with a port the kernel chose; -1 on failure.
int ListenLoopback(unsigned short* port);
// A port on 127.0.0.1 that was free a moment ago.
unsigned short FreeLoopbackPort();
// Connects to 127.0.0.1:port, retrying until timeout_ms has passed; -1 on failure.
int ConnectLoopback(unsigned short port, int timeout_ms = 3000);
// Accepts one client within timeout_ms; -1 on failure.
int AcceptWithin(int listen_fd, int timeout_ms = 3000);

bool WriteAll(int fd, const std::string& bytes);
// Reads until `out` holds `count` bytes more; false on timeout or end of stream.
bool ReadExactly(int fd, size_t count, std::string* out, int timeout_ms = 3000);
// Reads until the text read so far ends with `suffix`; returns what was read.
std::string ReadUntil(int fd, const std::string& suffix, int timeout_ms = 3000);
// Reads whatever arrives until nothing has come for quiet_ms.
std::string ReadAvailable(int fd, int quiet_ms = 100);
// Reads until end of stream; false on timeout (what was read is in `out`).
bool ReadToEof(int fd, std::string* out, int timeout_ms = 3000);
// Waits until fd is readable; false on timeout.
bool WaitReadable(int fd, int timeout_ms);
// Waits until fd is writable; false on timeout.
bool WaitWritable(int fd, int timeout_ms);

void CloseFd(int* fd);

#endif
