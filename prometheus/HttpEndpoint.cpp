#include "HttpEndpoint.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "quillmetrics/MetricsManager.h"

namespace Metrics::Prometheus {

namespace {

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr auto kIdlePoll = std::chrono::milliseconds(100);
constexpr size_t kMaxRequestBody = 4096;
constexpr size_t kMaxRequestsPerConnection = 16;

}  // namespace

struct HttpEndpoint::Shared {
    httplib::Server server;
    std::chrono::milliseconds ioTimeout{0};
    bool stopWithManager = false;
    // Stop asks; the listener stops the server itself, so that its socket is never closed under
    // a wait on another thread.
    std::atomic<bool> stopRequested{false};

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> waiting;  // guarded by mutex
    size_t maxWaiting = 0;
    bool closing = false;  // guarded by mutex
    int threads = 0;       // guarded by mutex: the listener and the workers still running

    void Ended() {
        std::lock_guard<std::mutex> lock(mutex);
        --threads;
        changed.notify_all();
    }

    // Until the deadline: whether every thread but `others` has ended.
    bool WaitForThreads(int others, std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_until(lock, deadline, [&] { return threads <= others; });
    }
};

namespace {

// The connection queue the server asks for. Workers take the connections in turn; beyond the
// ones waiting for a worker, the listener serves a connection itself, and accepts no other until
// it is done, so further clients wait in the system's listen backlog rather than in memory.
class BoundedQueue : public httplib::TaskQueue {
public:
    BoundedQueue(std::shared_ptr<HttpEndpoint::Shared> shared, size_t workers)
        : m_shared(std::move(shared)) {
        for (size_t i = 0; i < workers; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_shared->mutex);
                ++m_shared->threads;
            }
            std::thread(&BoundedQueue::Work, m_shared).detach();
        }
    }

    void enqueue(std::function<void()> job) override {
        StopIfAsked();
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            if (!m_shared->closing && m_shared->waiting.size() < m_shared->maxWaiting) {
                m_shared->waiting.push_back(std::move(job));
                m_shared->changed.notify_all();
                return;
            }
        }
        job();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(m_shared->mutex);
            m_shared->closing = true;
            m_shared->changed.notify_all();
        }
        // Only the listener (this thread) left, or a stalled worker left behind.
        m_shared->WaitForThreads(1, std::chrono::steady_clock::now() + 2 * m_shared->ioTimeout);
    }

    // The listener asks while it waits for connections (every kIdlePoll), and at each one.
    void on_idle() override { StopIfAsked(); }

private:
    void StopIfAsked() {
        if (m_shared->stopRequested.load() ||
            (m_shared->stopWithManager && !MetricsManager::GetInstance().IsRunning())) {
            m_shared->server.stop();
        }
    }

    // Holds the shared block until the last connection it took is done.
    static void Work(const std::shared_ptr<HttpEndpoint::Shared>& shared) {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(shared->mutex);
                shared->changed.wait(lock,
                                     [&] { return shared->closing || !shared->waiting.empty(); });
                if (shared->waiting.empty()) {
                    break;
                }
                job = std::move(shared->waiting.front());
                shared->waiting.pop_front();
            }
            job();  // serves and closes the connection; nothing escapes it
        }
        shared->Ended();
    }

    std::shared_ptr<HttpEndpoint::Shared> m_shared;
};

void Serve(const std::function<std::string()>& render, httplib::Response& response) {
    try {
        response.set_content(render(), kContentType);
    } catch (...) {
        response.status = 500;
        response.set_content("cannot render the metrics\n", "text/plain");
    }
}

void Refuse(httplib::Response& response) {
    response.status = 405;
    response.set_header("Allow", "GET, HEAD");
    response.set_content("only GET is served here\n", "text/plain");
}

}  // namespace

HttpEndpoint::HttpEndpoint(std::function<std::string()> render, size_t maxConnections,
                           std::chrono::milliseconds ioTimeout)
    : m_render(std::move(render))
    , m_maxConnections(maxConnections == 0 ? 1 : maxConnections)
    , m_ioTimeout(ioTimeout < std::chrono::milliseconds(1) ? std::chrono::milliseconds(1)
                                                           : ioTimeout) {}

HttpEndpoint::~HttpEndpoint() { Stop(); }

bool HttpEndpoint::Start(const std::string& address, int port, bool stopWithManager,
                         std::string& error) {
    if (m_shared) {
        error = "the exporter is already serving";
        return false;
    }
    if (port < 0 || port > 65535) {
        error = "port out of range: " + std::to_string(port);
        return false;
    }
    auto shared = std::make_shared<Shared>();
    shared->ioTimeout = m_ioTimeout;
    shared->stopWithManager = stopWithManager;
    shared->maxWaiting = m_maxConnections;
    httplib::Server& server = shared->server;
    const std::weak_ptr<Shared> weak = shared;
    const size_t workers = m_maxConnections;
    server.new_task_queue = [weak, workers]() -> httplib::TaskQueue* {
        return new BoundedQueue(weak.lock(), workers);
    };
    // The library's default lets a second server share the port (SO_REUSEPORT), and the
    // system would then split the scrapes between two processes: a port in use must be an error.
    server.set_socket_options([](socket_t socket) {
        int yes = 1;
#if defined(_WIN32)
        setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
                   sizeof yes);
#else
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
#endif
    });
    server.set_read_timeout(m_ioTimeout);
    server.set_write_timeout(m_ioTimeout);
    server.set_keep_alive_timeout(1);
    server.set_keep_alive_max_count(kMaxRequestsPerConnection);
    server.set_payload_max_length(kMaxRequestBody);
    server.set_idle_interval(kIdlePoll);
    const std::function<std::string()> render = m_render;
    server.Get("/metrics", [render](const httplib::Request&, httplib::Response& response) {
        Serve(render, response);
    });
    // Before any body is read: other methods on the one path are refused, whatever they carry.
    server.set_pre_routing_handler(
        [](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/metrics" && request.method != "GET" && request.method != "HEAD") {
                Refuse(response);
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });

    const int bound = port == 0 ? server.bind_to_any_port(address)
                                : (server.bind_to_port(address, port) ? port : -1);
    if (bound <= 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) +
                ": the port is in use or the address is not this machine's";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->threads = 1;
    }
    std::thread([shared] {
        shared->server.listen_after_bind();
        shared->Ended();
    }).detach();
    // A stop that came before the listener runs would be lost: wait until it runs, or has ended.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!server.is_running() && !shared->WaitForThreads(0, std::chrono::steady_clock::now()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    m_shared = std::move(shared);
    m_port = bound;
    return true;
}

void HttpEndpoint::Stop() {
    if (!m_shared) {
        return;
    }
    m_shared->stopRequested.store(true);
    m_shared->WaitForThreads(
        0, std::chrono::steady_clock::now() + 2 * m_ioTimeout + std::chrono::milliseconds(500));
    m_shared.reset();
    m_port = 0;
}

}  // namespace Metrics::Prometheus
