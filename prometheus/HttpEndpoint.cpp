#include "HttpEndpoint.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "Sockets.h"
#include "quillmetrics/MetricsManager.h"

// After the socket headers: it takes the system's socket types from them.
#include <microhttpd.h>

namespace Metrics::Prometheus {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kContentType = "text/plain; version=0.0.4; charset=utf-8";
constexpr int kListenBacklog = 64;

// A request's state between the library's calls: seen once (its head has been read).
char s_headSeen;

}  // namespace

struct HttpEndpoint::Server {
    MHD_Daemon* daemon = nullptr;
    std::function<std::string()> render;
    std::chrono::milliseconds deadline{0};
    bool stopWithManager = false;
    std::atomic<bool> stopRequested{false};
    std::thread thread;

    struct Open {
        Socket socket;
        Clock::time_point deadline;
        bool cut;
    };
    // Only the serving thread reads or writes it: the library calls back on that thread alone.
    std::unordered_map<MHD_Connection*, Open> open;

    void Run() {
        while (!stopRequested.load() &&
               !(stopWithManager && !MetricsManager::GetInstance().IsRunning())) {
            MHD_run_wait(daemon, static_cast<int32_t>(kPollInterval.count()));
            CutLateConnections();
        }
        MHD_stop_daemon(daemon);  // closes every connection and the listening socket
        daemon = nullptr;
        open.clear();
    }

    // The library's own timeout restarts with each byte that arrives, so a client trickling its
    // request would never meet it. A connection past its deadline is shut down instead: the
    // library then sees it end and closes it on its next round (the socket stays open until then,
    // so its number cannot be someone else's yet).
    void CutLateConnections() {
        const Clock::time_point now = Clock::now();
        for (auto& [connection, state] : open) {
            if (!state.cut && now >= state.deadline) {
                state.cut = true;
                ShutdownSocket(state.socket);
            }
        }
    }
};

namespace {

HttpEndpoint::Server& ServerOf(void* cls) { return *static_cast<HttpEndpoint::Server*>(cls); }

// The library is C: nothing may leave its callbacks, not even a std::bad_alloc.
void OnConnection(void* cls, MHD_Connection* connection, void** /*socketContext*/,
                  MHD_ConnectionNotificationCode what) {
    HttpEndpoint::Server& server = ServerOf(cls);
    if (what == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        if (info != nullptr) {
            try {
                server.open[connection] = {info->connect_fd, Clock::now() + server.deadline, false};
            } catch (...) {
                // A connection without a deadline could be held for ever: it ends here.
                ShutdownSocket(info->connect_fd);
            }
        }
    } else {
        server.open.erase(connection);
    }
}

// The next request on a kept-alive connection has a deadline of its own.
void OnRequestDone(void* cls, MHD_Connection* connection, void** /*requestContext*/,
                   MHD_RequestTerminationCode /*why*/) {
    HttpEndpoint::Server& server = ServerOf(cls);
    const auto found = server.open.find(connection);
    if (found != server.open.end() && !found->second.cut) {
        found->second.deadline = Clock::now() + server.deadline;
    }
}

MHD_Result Answer(MHD_Connection* connection, unsigned int status, const std::string& body,
                  const char* contentType, const char* allow = nullptr) {
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;  // the library closes the connection
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (allow != nullptr) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, allow);
    }
    const MHD_Result queued = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

bool HasBody(MHD_Connection* connection) {
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return (length != nullptr && std::strcmp(length, "0") != 0) ||
           MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

// Called once the head is read, and again once the (empty) body is. An answer given at the first
// call makes the library skip whatever body follows and close the connection after the answer,
// so a refused request's body is never read, nor taken for a request of its own. Only a request
// that will be served waits for the second call, which keeps its connection alive.
MHD_Result AnswerRequest(HttpEndpoint::Server& server, MHD_Connection* connection, const char* url,
                         const char* method, void** requestContext) {
    const bool metrics = std::strcmp(url, "/metrics") == 0;
    const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 ||
                     std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (*requestContext == nullptr) {
        *requestContext = &s_headSeen;
        if (MHD_get_connection_values(connection, MHD_HEADER_KIND, nullptr, nullptr) >
            static_cast<int>(HttpEndpoint::kMaxHeaderLines)) {
            return Answer(connection, MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE,
                          "too many header lines\n", "text/plain");
        }
        if (!metrics) {
            return Answer(connection, MHD_HTTP_NOT_FOUND, "only /metrics is served here\n",
                          "text/plain");
        }
        if (!get) {
            return Answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "only GET is served here\n",
                          "text/plain", "GET, HEAD");
        }
        if (HasBody(connection)) {
            return Answer(connection, MHD_HTTP_BAD_REQUEST, "a GET takes no body\n", "text/plain");
        }
        return MHD_YES;
    }
    try {
        return Answer(connection, MHD_HTTP_OK, server.render(), kContentType);
    } catch (...) {
        return Answer(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "cannot render the metrics\n",
                      "text/plain");
    }
}

MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                     const char* /*version*/, const char* /*uploadData*/,
                     size_t* /*uploadDataSize*/, void** requestContext) {
    try {
        return AnswerRequest(ServerOf(cls), connection, url, method, requestContext);
    } catch (...) {
        return MHD_NO;  // the library closes the connection
    }
}

// Binds and listens on address:port. kNoSocket, with the reason, when it cannot.
Socket Listen(const std::string& address, int port, std::string& error) {
    const std::string where = address + ":" + std::to_string(port);
    if (!StartSockets(error)) {
        return kNoSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (resolved != 0 || found == nullptr) {
        error = "cannot listen on " + where + ": not an address of this machine";
        return kNoSocket;
    }
    Socket listening = OpenStreamSocket(found->ai_family, true, error);
    if (listening == kNoSocket) {
        freeaddrinfo(found);
        error = "cannot listen on " + where + ": " + error;
        return kNoSocket;
    }
    const bool bound =
        bind(listening, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) == 0;
    freeaddrinfo(found);
    if (!bound || listen(listening, kListenBacklog) != 0) {
        const int code = LastSocketError();
#if defined(_WIN32)
        const bool inUse = code == WSAEADDRINUSE || code == WSAEACCES;
#else
        const bool inUse = code == EADDRINUSE;
#endif
        error = "cannot listen on " + where + ": " +
                (inUse ? std::string("the port is in use") : SocketErrorText(code));
        CloseSocket(listening);
        return kNoSocket;
    }
    return listening;
}

int PortOf(Socket socket) {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
        return 0;
    }
    if (bound.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

}  // namespace

HttpEndpoint::HttpEndpoint(std::function<std::string()> render, HttpLimits limits)
    : m_render(std::move(render))
    , m_limits(limits) {
    // The library counts connections in an unsigned int, where 0 would mean none at all.
    m_limits.maxConnections = std::clamp<size_t>(m_limits.maxConnections, 1, UINT_MAX);
    if (m_limits.maxConnectionsPerAddress == 0) {
        m_limits.maxConnectionsPerAddress = m_limits.maxConnections;
    }
    m_limits.maxConnectionsPerAddress =
        std::min<size_t>(m_limits.maxConnectionsPerAddress, m_limits.maxConnections);
    m_limits.deadline = std::clamp<std::chrono::milliseconds>(
        m_limits.deadline, std::chrono::milliseconds(1), kLongestDeadline);
}

HttpEndpoint::~HttpEndpoint() { Stop(); }

bool HttpEndpoint::Start(const std::string& address, int port, bool stopWithManager,
                         std::string& error) {
    if (m_server) {
        error = "the exporter is already serving";
        return false;
    }
    if (port < 0 || port > 65535) {
        error = "port out of range: " + std::to_string(port);
        return false;
    }
    // Made before the socket, which a failing allocation would otherwise leave open.
    auto server = std::make_unique<Server>();
    server->render = m_render;
    server->deadline = m_limits.deadline;
    server->stopWithManager = stopWithManager;
    const Socket listening = Listen(address, port, error);
    if (listening == kNoSocket) {
        return false;
    }
    // The library's own timeout (whole seconds, restarted by every byte) is only a backstop.
    const auto backstop = static_cast<unsigned int>(
        std::chrono::duration_cast<std::chrono::seconds>(m_limits.deadline).count() + 2);
    server->daemon = MHD_start_daemon(
        MHD_USE_AUTO, 0, nullptr, nullptr, &OnRequest, server.get(), MHD_OPTION_LISTEN_SOCKET,
        listening, MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned int>(m_limits.maxConnections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned int>(m_limits.maxConnectionsPerAddress),
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMaxRequestHead, MHD_OPTION_CONNECTION_TIMEOUT,
        backstop, MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_NOTIFY_CONNECTION, &OnConnection,
        server.get(), MHD_OPTION_NOTIFY_COMPLETED, &OnRequestDone, server.get(), MHD_OPTION_END);
    if (server->daemon == nullptr) {
        // The library may have closed the socket already: leaving it open is the safe mistake.
        error = "cannot serve on " + address + ":" + std::to_string(port);
        return false;
    }
    m_port = PortOf(listening);
    Server* running = server.get();
    try {
        server->thread = std::thread([running] { running->Run(); });
    } catch (...) {
        MHD_stop_daemon(server->daemon);
        throw;
    }
    m_server = std::move(server);
    return true;
}

void HttpEndpoint::Stop() {
    if (!m_server) {
        return;
    }
    m_server->stopRequested.store(true);
    m_server->thread.join();
    m_server.reset();
    m_port = 0;
}

}  // namespace Metrics::Prometheus
