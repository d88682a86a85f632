#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace Metrics::Prometheus {

// What one client can cost the endpoint, whatever it sends.
struct HttpLimits {
    size_t maxConnections = 16;                // open at once; more wait in the listen backlog
    size_t maxConnectionsPerAddress = 4;       // more from one address are closed at once
    std::chrono::milliseconds deadline{1000};  // for a whole request, answer included
};

// Serves GET and HEAD /metrics with the text a callback renders: 405 for other methods there, 404
// elsewhere, and no ranges. Every connection is served by one thread of its own, with nonblocking
// sockets, so that no client holds a thread: a request head may take at most kMaxRequestHead
// bytes and kMaxHeaderLines lines, no request body is read (a request that has one is answered
// and its connection closed), and a connection is cut once a request on it (or its wait for one)
// outlasts the deadline. Thread-compatible: Start and Stop from one thread at a time.
class HttpEndpoint {
public:
    HttpEndpoint(std::function<std::string()> render, HttpLimits limits);
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;
    ~HttpEndpoint();

    // Binds (port 0: any free port) and starts serving. False with the reason when it cannot.
    // When stopWithManager is set, the server ends by itself (and frees its port) once the
    // manager stops running.
    bool Start(const std::string& address, int port, bool stopWithManager, std::string& error);
    // Returns within about kPollInterval and one render, with the thread ended and the port free.
    void Stop();
    int Port() const { return m_port; }

    static constexpr size_t kMaxRequestHead = 16 * 1024;
    static constexpr size_t kMaxHeaderLines = 100;
    static constexpr std::chrono::milliseconds kPollInterval{100};

    struct Server;

private:
    std::function<std::string()> m_render;
    HttpLimits m_limits;
    std::unique_ptr<Server> m_server;
    int m_port = 0;
};

}  // namespace Metrics::Prometheus
