#include "HttpPut.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Sockets.h"
#include "Utf8.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace Metrics::Prometheus {

namespace {

using Clock = std::chrono::steady_clock;

// Rounded up, so that a wait that runs out has passed the deadline.
std::chrono::milliseconds Left(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()));
}

struct Address {
    sockaddr_storage address{};
    socklen_t size = 0;
    int family = 0;
};

// A name lookup that may outlive the wait for it: the system's resolver has no timeout of ours.
// The thread that looks up makes no allocation of ours, so nothing can fail there with no one to
// tell; the waiting side copies what was found.
struct Lookup {
    Lookup() = default;
    Lookup(const Lookup&) = delete;
    Lookup& operator=(const Lookup&) = delete;
    ~Lookup() {
        if (found != nullptr) {
            freeaddrinfo(found);
        }
    }

    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;      // guarded by mutex
    int code = 0;               // guarded by mutex
    addrinfo* found = nullptr;  // guarded by mutex
};

void Resolve(const std::shared_ptr<Lookup>& lookup, const std::string& host,
             const std::string& port, int flags) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int code = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    lookup->code = code;
    lookup->found = code == 0 ? found : nullptr;
    lookup->finished = true;
    lookup->done.notify_all();
}

// Whatever the lookup found, in order. Called with the lookup's mutex held.
std::vector<Address> AddressesOf(const Lookup& lookup) {
    std::vector<Address> addresses;
    for (const addrinfo* entry = lookup.found; entry != nullptr; entry = entry->ai_next) {
        Address address;
        address.size =
            static_cast<socklen_t>(std::min<size_t>(entry->ai_addrlen, sizeof address.address));
        std::memcpy(&address.address, entry->ai_addr, address.size);
        address.family = entry->ai_family;
        addresses.push_back(address);
    }
    return addresses;
}

// An address is taken as it is; a name is looked up on a thread of its own, which is left to
// finish by itself when the deadline comes first.
bool ResolveBy(const HttpUrl& url, Clock::time_point deadline, std::vector<Address>& addresses,
               std::string& error) {
    auto lookup = std::make_shared<Lookup>();
    Resolve(lookup, url.host, url.port, AI_NUMERICHOST);
    if (lookup->found == nullptr) {
        lookup = std::make_shared<Lookup>();
        std::thread(Resolve, lookup, url.host, url.port, 0).detach();
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; })) {
        error = "no address for " + url.host + " in time";
        return false;
    }
    addresses = AddressesOf(*lookup);
    if (addresses.empty()) {
        error = "no address for " + url.host;
        return false;
    }
    return true;
}

class Connection {
public:
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (m_socket != kNoSocket) {
            CloseSocket(m_socket);
        }
    }

    // The first address that takes the connection. False with the last reason when none does.
    bool Connect(const std::vector<Address>& addresses, Clock::time_point deadline,
                 std::string& error) {
        for (const Address& address : addresses) {
            if (m_socket != kNoSocket) {
                CloseSocket(m_socket);
            }
            m_socket = OpenStreamSocket(address.family, false, error);
            if (m_socket == kNoSocket || !SetNonBlocking(m_socket)) {
                continue;
            }
            if (connect(m_socket, reinterpret_cast<const sockaddr*>(&address.address),
                        address.size) == 0) {
                return true;
            }
            int code = LastSocketError();
            if (WouldBlock(code)) {
                if (WaitFor(m_socket, POLLOUT, Left(deadline)) == 0) {
                    error = "timed out";
                    return false;
                }
                socklen_t size = sizeof code;
                getsockopt(m_socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &size);
                if (code == 0) {
                    return true;
                }
            }
            error = SocketErrorText(code);
        }
        return false;
    }

    // False when the time ran out or the server stopped taking data.
    bool Send(const char* data, size_t size, Clock::time_point deadline) const {
        while (size > 0) {
            const long sent = SendSome(m_socket, data, size);
            if (sent > 0) {
                data += sent;
                size -= static_cast<size_t>(sent);
            } else if (!WouldBlock(LastSocketError()) ||
                       WaitFor(m_socket, POLLOUT, Left(deadline)) == 0) {
                return false;
            }
        }
        return true;
    }

    // Appends up to room bytes; 0 when the server closed, -1 when the time ran out or it failed.
    long Receive(std::string& into, size_t room, Clock::time_point deadline) const {
        char buffer[4096];
        for (;;) {
            const long got = ReceiveSome(m_socket, buffer, std::min(room, sizeof buffer));
            if (got >= 0) {
                into.append(buffer, static_cast<size_t>(got));
                return got;
            }
            if (!WouldBlock(LastSocketError()) || WaitFor(m_socket, POLLIN, Left(deadline)) == 0) {
                return -1;
            }
        }
    }

private:
    Socket m_socket = kNoSocket;
};

// The gateway's words as one line of valid UTF-8, control characters shown as spaces. A character
// that the cut at kMaxExcerpt bytes split is left out rather than shown as U+FFFD.
std::string Printable(std::string text) {
    for (size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const auto byte = static_cast<unsigned char>(text[text.size() - back]);
        if ((byte & 0xC0) != 0x80) {
            const size_t length = (byte & 0xE0) == 0xC0   ? 2
                                  : (byte & 0xF0) == 0xE0 ? 3
                                  : (byte & 0xF8) == 0xF0 ? 4
                                                          : 1;
            if (length > back) {
                text.resize(text.size() - back);
            }
            break;
        }
    }
    std::string shown;
    for (const char c : ValidUtf8(text)) {
        shown += (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
    }
    while (!shown.empty() && shown.back() == ' ') {
        shown.pop_back();
    }
    return shown;
}

// The status of a head that starts "HTTP/1.x NNN"; 0 for any other.
int StatusOf(const std::string& head) {
    if (head.size() < 12 || head.compare(0, 7, "HTTP/1.") != 0 || head[8] != ' ' ||
        (head.size() > 12 && head[12] != ' ' && head[12] != '\r')) {
        return 0;
    }
    int status = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (head[i] < '0' || head[i] > '9') {
            return 0;
        }
        status = status * 10 + (head[i] - '0');
    }
    return status;
}

// The body's length when the head gives one.
size_t ContentLength(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    const std::string::size_type at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) {
        return std::string::npos;
    }
    return std::strtoull(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

bool HttpUrl::Parse(const std::string& url) {
    const std::string scheme = "http://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    const std::string::size_type slash = url.find('/', scheme.size());
    std::string authority = url.substr(scheme.size(), slash - scheme.size());
    path = slash == std::string::npos ? "/" : url.substr(slash);
    if (authority.find('@') != std::string::npos) {
        return false;
    }
    std::string::size_type colon = authority.rfind(':');
    if (!authority.empty() && authority.front() == '[') {
        const std::string::size_type close = authority.find(']');
        if (close == std::string::npos) {
            return false;
        }
        ipv6 = true;
        host = authority.substr(1, close - 1);
        colon = close + 1 < authority.size() && authority[close + 1] == ':' ? close + 1
                                                                            : std::string::npos;
    } else {
        host = authority.substr(0, colon);
    }
    if (colon != std::string::npos) {
        port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
            return false;
        }
    }
    return !host.empty();
}

std::string HttpUrl::Base() const {
    return "http://" + (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

bool HttpPutWithin(const HttpUrl& url, const std::string& body, const char* contentType,
                   std::chrono::milliseconds timeout, HttpReply& reply, std::string& error) {
    timeout = std::clamp<std::chrono::milliseconds>(timeout, std::chrono::milliseconds(0),
                                                    kLongestDeadline);
    const Clock::time_point deadline = Clock::now() + timeout;
    const std::string where = "the Pushgateway at " + url.Base();
    const std::string late =
        where + " did not answer within " + std::to_string(timeout.count()) + " ms";
    std::vector<Address> addresses;
    std::string reason;
    if (!StartSockets(reason) || !ResolveBy(url, deadline, addresses, reason)) {
        error = "cannot reach " + where + ": " + reason;
        return false;
    }
    Connection connection;
    if (!connection.Connect(addresses, deadline, reason)) {
        error = Clock::now() >= deadline ? late : "cannot reach " + where + ": " + reason;
        return false;
    }
    const std::string head =
        "PUT " + url.path + " HTTP/1.1\r\nHost: " + (url.ipv6 ? "[" + url.host + "]" : url.host) +
        ":" + url.port + "\r\nContent-Type: " + contentType +
        "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
    // A server may answer (and close) before taking the whole body: its answer is still read.
    const bool sent = connection.Send(head.data(), head.size(), deadline) &&
                      connection.Send(body.data(), body.size(), deadline);
    // Interim answers (100 Continue and the like) may come before the final one; they count
    // against the same cap on the head.
    std::string received;
    size_t passed = 0;
    std::string::size_type headEnd = std::string::npos;
    int status = 0;
    for (;;) {
        headEnd = received.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            status = StatusOf(received);
            if (status / 100 != 1) {
                break;
            }
            status = 0;
            passed += headEnd + 4;
            received.erase(0, headEnd + 4);
            continue;
        }
        const size_t room = kMaxReplyHead - std::min(kMaxReplyHead, passed + received.size());
        if (room == 0 || connection.Receive(received, room, deadline) <= 0) {
            break;
        }
    }
    if (status < 100) {
        if (headEnd != std::string::npos || passed + received.size() >= kMaxReplyHead) {
            error = where + " did not answer in HTTP";
        } else {
            error = Clock::now() >= deadline ? late
                    : sent                   ? where + " closed the connection without an answer"
                                             : "cannot send to " + where;
        }
        return false;
    }
    std::string bodyStart = received.substr(headEnd + 4);
    const size_t wanted = std::min(ContentLength(received.substr(0, headEnd)), kMaxExcerpt);
    while (status / 100 != 2 && bodyStart.size() < wanted &&
           connection.Receive(bodyStart, wanted - bodyStart.size(), deadline) > 0) {
    }
    bodyStart.resize(std::min(bodyStart.size(), wanted));
    reply.status = status;
    reply.excerpt = Printable(std::move(bodyStart));
    return true;
}

}  // namespace Metrics::Prometheus
