#pragma once

// The few socket calls the exporter makes itself, the same on both systems.

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>

#include <sys/socket.h>
#endif

#include <chrono>
#include <string>

namespace Metrics::Prometheus {

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#endif

// The longest deadline taken from a host's options; a longer one is taken as this. The clock's
// nanoseconds, poll's milliseconds and the HTTP library's seconds all hold it.
constexpr std::chrono::hours kLongestDeadline{24};

// Starts the system's sockets once per process (Windows); false with the reason when it cannot.
bool StartSockets(std::string& error);
// The last socket call's error code, and its text.
int LastSocketError();
std::string SocketErrorText(int code);
void CloseSocket(Socket socket);
// Ends both directions of a connection without closing it: whoever waits on it sees it end.
void ShutdownSocket(Socket socket);
// A socket that is not inherited across exec, and that a second process cannot bind to the same
// address and port while this one is bound (on Linux, still bound over connections left in
// TIME_WAIT). kNoSocket, with the reason, when it cannot be made.
Socket OpenStreamSocket(int family, bool listening, std::string& error);
bool SetNonBlocking(Socket socket);
// Waits until the socket is ready for events (POLLIN, POLLOUT) or timeout has passed. 1 when
// ready (or failed: the next call tells), 0 when the time ran out, -1 on error.
int WaitFor(Socket socket, short events, std::chrono::milliseconds timeout);
// Sends without a signal when the peer has gone; the system's result.
long SendSome(Socket socket, const char* data, size_t size);
long ReceiveSome(Socket socket, char* data, size_t size);
// Whether the last call failed only because it would have blocked, was interrupted, or a
// connect is under way: worth waiting and trying again.
bool WouldBlock(int code);

}  // namespace Metrics::Prometheus
