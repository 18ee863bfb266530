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
// Sends from `sent` on while the socket takes the bytes within timeout_ms;
// returns how far it got.
size_t SendWhileTaken(int fd, const std::string& bytes, size_t sent, int timeout_ms = 500);
// Reads until `count` bytes have come (or none for timeout_ms), meanwhile
// sending the rest of `bytes` from `sent` on whenever the socket takes it.
// Every segment is acknowledged at once: a peer with a small send buffer
// would otherwise wait for the delayed-ACK timer again and again.
std::string ReadWhileSending(int fd, size_t count, const std::string& bytes = std::string(), size_t sent = 0,
                             int timeout_ms = 5000);
// Ends a connection in order: shuts down writing, reads to end of stream, closes.
void HangUp(int* fd, int timeout_ms = 5000);
// Waits until fd is readable; false on timeout.
bool WaitReadable(int fd, int timeout_ms);
// Waits until fd is writable; false on timeout.
bool WaitWritable(int fd, int timeout_ms);

void CloseFd(int* fd);

#endif
