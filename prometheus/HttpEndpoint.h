#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace Metrics::Prometheus {

// Serves GET /metrics (and HEAD) with the text a callback renders; 405 for other methods there,
// 404 elsewhere.
//
// Its threads (one listener, maxConnections workers) share one block that the last of them to end
// releases, so that Stop can return within a bounded time even while a stalled client holds a
// worker: that worker then ends once its client's timeout runs out, and touches nothing that Stop
// destroyed. For the same reason render must own what it reads.
class HttpEndpoint {
public:
    HttpEndpoint(std::function<std::string()> render, size_t maxConnections,
                 std::chrono::milliseconds ioTimeout);
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;
    ~HttpEndpoint();

    // Binds (port 0: any free port) and starts serving. False with the reason when it cannot.
    // When stopWithManager is set, the server ends by itself once the manager stops running.
    bool Start(const std::string& address, int port, bool stopWithManager, std::string& error);
    void Stop();
    int Port() const { return m_port; }

    // What the threads share.
    struct Shared;

private:
    std::function<std::string()> m_render;
    size_t m_maxConnections;
    std::chrono::milliseconds m_ioTimeout;
    std::shared_ptr<Shared> m_shared;
    int m_port = 0;
};

}  // namespace Metrics::Prometheus
