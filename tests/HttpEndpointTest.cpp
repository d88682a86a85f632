#include <gtest/gtest.h>

#include "HttpEndpoint.h"
#include "Sockets.h"
#include "support/AllocationHooks.h"

#if !defined(_WIN32)
#include <poll.h>
#endif

namespace Metrics::Prometheus {
namespace {

// A client that keeps its connection open for as many requests as the test sends on it.
class Client {
public:
    explicit Client(int port) {
        std::string error;
        m_socket = OpenStreamSocket(AF_INET, false, error);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  0);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { CloseSocket(m_socket); }

    // What comes back, until it ends with `last` or the server closes the connection.
    std::string Ask(const std::string& request, const std::string& last = "page\n") const {
        std::string answer;
        if (SendSome(m_socket, request.data(), request.size()) <= 0) {
            return answer;
        }
        char buffer[4096];
        long got = 0;
        while (answer.find(last) == std::string::npos &&
               WaitFor(m_socket, POLLIN, std::chrono::seconds(10)) == 1 &&
               (got = ReceiveSome(m_socket, buffer, sizeof buffer)) > 0) {
            answer.append(buffer, static_cast<size_t>(got));
        }
        return answer;
    }

private:
    Socket m_socket;
};

const std::string kGet = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";

// The host's memory can run out while the serving thread takes a connection or answers a request:
// that costs at most the connection, never the host, and serving goes on once memory comes back.
TEST(HttpEndpointTest, AllocationsFailingOnTheServingThreadCostOnlyThatConnection) {
    int renders = 0;  // only the serving thread renders
    HttpEndpoint endpoint(
        [&renders] {
            std::string page = "page\n";
            // The third render leaves every allocation of the serving thread failing, until the
            // next one.
            Testing::FailAllocations(++renders == 3);
            return page;
        },
        HttpLimits{16, 16, std::chrono::seconds(20)});
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, false, error)) << error;
    // Connections taken while memory lasts, so that the server has their state.
    const Client refused(endpoint.Port());
    const Client recovering(endpoint.Port());
    for (const Client* client : {&refused, &recovering, &refused}) {
        EXPECT_EQ(client->Ask(kGet).rfind("HTTP/1.1 200", 0), 0u);
    }
    EXPECT_EQ(Client(endpoint.Port()).Ask(kGet), "") << "a connection without a deadline";
    EXPECT_EQ(refused.Ask("GET / HTTP/1.1\r\nHost: x\r\n\r\n").find("HTTP/1.1 200"),
              std::string::npos);
    EXPECT_EQ(recovering.Ask(kGet).rfind("HTTP/1.1 200", 0), 0u);
    EXPECT_EQ(Client(endpoint.Port()).Ask(kGet).rfind("HTTP/1.1 200", 0), 0u);
    endpoint.Stop();
    EXPECT_EQ(renders, 5);
}

// The deadline bounds one request, not a connection: a scraper that keeps its connection alive
// is served for as long as it asks, well past one deadline.
TEST(HttpEndpointTest, KeptAliveConnectionGetsADeadlinePerRequest) {
    HttpEndpoint endpoint([] { return std::string("page\n"); },
                          HttpLimits{4, 4, std::chrono::milliseconds(300)});
    std::string error;
    ASSERT_TRUE(endpoint.Start("127.0.0.1", 0, false, error)) << error;
    const Client client(endpoint.Port());
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(client.Ask(kGet).rfind("HTTP/1.1 200", 0), 0u) << "cut at the first deadline";
    }
}

}  // namespace
}  // namespace Metrics::Prometheus
