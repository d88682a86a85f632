#include "Sockets.h"

#include <algorithm>
#include <climits>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace Metrics::Prometheus {

#if defined(_WIN32)

bool StartSockets(std::string& error) {
    static const int started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0) {
        error = "cannot start Windows sockets: " + SocketErrorText(started);
    }
    return started == 0;
}

int LastSocketError() { return WSAGetLastError(); }
void CloseSocket(Socket socket) { closesocket(socket); }
void ShutdownSocket(Socket socket) { shutdown(socket, SD_BOTH); }

Socket OpenStreamSocket(int family, bool listening, std::string& error) {
    const Socket made = WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (made == kNoSocket) {
        error = SocketErrorText(LastSocketError());
        return kNoSocket;
    }
    if (listening) {
        // Without it, Windows lets another socket bind the same port and take half the clients.
        BOOL yes = TRUE;
        setsockopt(made, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                   sizeof yes);
    }
    return made;
}

bool SetNonBlocking(Socket socket) {
    u_long yes = 1;
    return ioctlsocket(socket, FIONBIO, &yes) == 0;
}

int WaitFor(Socket socket, short events, std::chrono::milliseconds timeout) {
    WSAPOLLFD watched{};
    watched.fd = socket;
    watched.events = events;
    const int ready =
        WSAPoll(&watched, 1, static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX)));
    return ready < 0 ? -1 : ready;
}

long SendSome(Socket socket, const char* data, size_t size) {
    return send(socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
}

long ReceiveSome(Socket socket, char* data, size_t size) {
    return recv(socket, data, static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
}

bool WouldBlock(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }

#else

bool StartSockets(std::string& /*error*/) { return true; }

int LastSocketError() { return errno; }
void CloseSocket(Socket socket) { close(socket); }
void ShutdownSocket(Socket socket) { shutdown(socket, SHUT_RDWR); }

Socket OpenStreamSocket(int family, bool listening, std::string& error) {
    const Socket made = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (made == kNoSocket) {
        error = SocketErrorText(LastSocketError());
        return kNoSocket;
    }
    if (listening) {
        // Binding again over connections in TIME_WAIT; unlike SO_REUSEPORT, not beside another
        // listener.
        int yes = 1;
        setsockopt(made, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    }
    return made;
}

bool SetNonBlocking(Socket socket) {
    const int flags = fcntl(socket, F_GETFL, 0);
    return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

int WaitFor(Socket socket, short events, std::chrono::milliseconds timeout) {
    pollfd watched{};
    watched.fd = socket;
    watched.events = events;
    for (;;) {
        const int ready =
            poll(&watched, 1, static_cast<int>(std::clamp<long long>(timeout.count(), 0, INT_MAX)));
        if (ready >= 0 || errno != EINTR) {
            return ready < 0 ? -1 : ready;
        }
    }
}

long SendSome(Socket socket, const char* data, size_t size) {
    return send(socket, data, size, MSG_NOSIGNAL);
}

long ReceiveSome(Socket socket, char* data, size_t size) { return recv(socket, data, size, 0); }

bool WouldBlock(int code) {
    return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS || code == EINTR;
}

#endif

std::string SocketErrorText(int code) { return std::system_category().message(code); }

}  // namespace Metrics::Prometheus
