#pragma once

#include <chrono>
#include <string>

namespace Metrics::Prometheus {

// "http://host[:port][/path]", split; the host without the brackets of an IPv6 address.
struct HttpUrl {
    std::string host;
    std::string port = "80";
    std::string path = "/";
    bool ipv6 = false;

    // Whether url is of that form (no other scheme, no user part).
    bool Parse(const std::string& url);
    // "http://host:port", as a message names the server.
    std::string Base() const;
};

// What came back: the status and the body's first bytes, as printable text.
struct HttpReply {
    int status = 0;
    std::string excerpt;
};

// Sends body with PUT to url and reads the reply's status, all within one timeout: resolving the
// host's name, connecting, sending and reading back. Reads at most kMaxReplyHead bytes of head
// and kMaxExcerpt bytes of body, however much the server sends. False with the reason (naming
// url's server) when no status arrived in time.
bool HttpPutWithin(const HttpUrl& url, const std::string& body, const char* contentType,
                   std::chrono::milliseconds timeout, HttpReply& reply, std::string& error);

constexpr size_t kMaxReplyHead = 8 * 1024;
constexpr size_t kMaxExcerpt = 200;

}  // namespace Metrics::Prometheus
