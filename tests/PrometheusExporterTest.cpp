#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include "quillmetrics/PrometheusExporter.h"
#include "support/Files.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using ExporterPtr = RefCntPtr<PrometheusExporter, RefCntObject>;

// A client that says exactly what the test wants it to, and closes when the test says so.
class RawClient {
public:
    explicit RawClient(int port) {
#if defined(_WIN32)
        static const bool started = [] {
            WSADATA data;
            return WSAStartup(MAKEWORD(2, 2), &data) == 0;
        }();
        (void)started;
#endif
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient() {
#if defined(_WIN32)
        closesocket(m_socket);
#else
        close(m_socket);
#endif
    }
    bool Connected() const { return m_connected; }
    void Send(const std::string& data) const {
        send(m_socket, data.data(), static_cast<int>(data.size()), 0);
    }
    // Everything until the server closes the connection.
    std::string ReceiveAll() const {
        std::string data;
        char buffer[4096];
        for (;;) {
            const auto got = recv(m_socket, buffer, sizeof buffer, 0);
            if (got <= 0) {
                return data;
            }
            data.append(buffer, static_cast<size_t>(got));
        }
    }

private:
#if defined(_WIN32)
    SOCKET m_socket;
#else
    int m_socket;
#endif
    bool m_connected = false;
};

std::string Request(int port, const std::string& request) {
    const RawClient client(port);
    if (!client.Connected()) {
        return "";
    }
    client.Send(request);
    return client.ReceiveAll();
}

std::string Get(int port, const std::string& path) {
    return Request(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
}

PrometheusOptions QuickOptions() {
    PrometheusOptions options;
    options.port = 0;
    options.maxConnections = 2;
    options.ioTimeout = std::chrono::milliseconds(300);
    return options;
}

constexpr unsigned long long kScopeBits = 0x10000;

// A scope records in the calling thread's current context, which this gives it.
void EmitScope(const char* name) {
    const Context context(0, Context::Create(true));
    const Metrics::Scope scope(name, kScopeBits);
}

// The exposition line that counts the scopes EmitScope made under that name.
std::string ScopeCount(const std::string& name, int count) {
    return "quillmetrics_scope_duration_seconds_count{scope=\"" + name + "\",category=\"" +
           MetricsBitsUtils::MetricsBitsToMnemonicList(kScopeBits) + "\"} " +
           std::to_string(count) + "\n";
}

TEST(PrometheusExporterTest, ServesOnlyGetMetricsAndOutlastsHostileClients) {
    MetricsManager& manager = StartManager();
    const ExporterPtr exporter(new PrometheusExporter(QuickOptions()));
    ASSERT_TRUE(manager.AddConsumer(AsListener(exporter), ~0ULL, false));
    std::string error;
    ASSERT_TRUE(exporter->Start(error)) << error;
    const int port = exporter->Port();
    ASSERT_GT(port, 0);
    EXPECT_FALSE(exporter->Start(error));
    EmitScope("request");
    manager.WaitUntilWritesFlushed(10000);

    const std::string page = Get(port, "/metrics");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page;
    EXPECT_NE(page.find("text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(page.find("quillmetrics_scope_duration_seconds_count{scope=\"request\""),
              std::string::npos);
    const std::string head = Request(port, "HEAD /metrics HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_EQ(head.find("# TYPE"), std::string::npos) << "HEAD sent a body";
    EXPECT_EQ(Get(port, "/").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(Get(port, "/metrics/x").rfind("HTTP/1.1 404", 0), 0u);
    const std::string post = Request(
        port, "POST /metrics HTTP/1.1\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc");
    EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
    EXPECT_NE(post.find("Allow: GET, HEAD"), std::string::npos);
    EXPECT_EQ(Request(port, "DELETE /metrics HTTP/1.1\r\nConnection: close\r\n\r\n")
                  .rfind("HTTP/1.1 405", 0),
              0u);
    EXPECT_EQ(Request(port, "\x16\x03\x01 garbage \xff\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    const std::string huge =
        Request(port, "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n");
    EXPECT_EQ(huge.find("HTTP/1.1 200"), std::string::npos) << "a 1 MiB header was served";

    // Clients that connect and send nothing, or half a request, hold every connection the
    // exporter serves and more. Delivery goes on, and so does Stop.
    std::vector<std::unique_ptr<RawClient>> stalled;
    for (int i = 0; i < 12; ++i) {
        stalled.push_back(std::make_unique<RawClient>(port));
        if (i % 2 == 0) {
            stalled.back()->Send("GET /metr");
        }
    }
    for (int i = 0; i < 1000; ++i) {
        EmitScope("while-stalled");
    }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_NE(exporter->Render().find(ScopeCount("while-stalled", 1000)), std::string::npos);
    const auto stopping = Clock::now();
    exporter->Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5));
    EXPECT_EQ(exporter->Port(), 0);
    stalled.clear();
    EXPECT_EQ(Get(port, "/metrics"), "");  // nobody listens any more
}

TEST(PrometheusExporterTest, StopsWithTheManager) {
    MetricsManager& manager = StartManager();
    const ExporterPtr exporter(new PrometheusExporter(QuickOptions()));
    std::string error;
    ASSERT_TRUE(exporter->Start(error)) << error;
    const int port = exporter->Port();
    EXPECT_NE(Get(port, "/metrics"), "");
    EXPECT_TRUE(manager.Disable());
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!Get(port, "/metrics").empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(Get(port, "/metrics"), "") << "the server outlived the manager";
    PrometheusOptions descending;
    descending.bucketsSeconds = {1, 0.5};
    EXPECT_THROW(PrometheusExporter{descending}, std::invalid_argument);
}

// The raw client's options load the exporter from its library: it serves what the file records,
// and a port in use or an unreachable Pushgateway is reported while the recording goes on.
TEST(PrometheusExporterTest, RawClientOptionsServeWhatTheFileRecords) {
    LogRecorder log;
    MetricsManager& manager = MetricsManager::GetInstance();
    manager.SetLoggingFunction(log.Function());
    manager.Enable();
    const ExporterPtr holder(new PrometheusExporter(QuickOptions()));
    std::string error;
    ASSERT_TRUE(holder->Start(error)) << error;
    const std::string busy = "127.0.0.1:" + std::to_string(holder->Port());
    const std::string path = ::testing::TempDir() + "prometheus-raw-client.csv";
    {
        PrometheusExporter other([&] {
            PrometheusOptions options = QuickOptions();
            options.port = holder->Port();
            return options;
        }());
        EXPECT_FALSE(other.Start(error));
        EXPECT_NE(error.find("in use"), std::string::npos) << error;

        MetricsRawClient client;
        for (const std::string& argument :
             {"-raw=" + path, "-prom=" + busy, std::string("-push=http://127.0.0.1:1")}) {
            EXPECT_TRUE(client.ProcessArgument(argument));
        }
        ASSERT_TRUE(client.Open());
        EmitScope("recorded");
        client.Close();
    }
    const auto exporterFailures = [&] {
        std::vector<std::string> messages;
        for (const auto& line : log.Lines()) {
            if (line.key == L"quillmetrics-prometheus-failed") {
                messages.push_back(line.message);
            }
        }
        return messages;
    };
    const auto failures = exporterFailures();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_NE(failures[0].find("in use"), std::string::npos) << failures[0];
    EXPECT_NE(failures[1].find("Pushgateway"), std::string::npos) << failures[1];
    EXPECT_NE(ReadFile(path).find("recorded"), std::string::npos);

    // Now with a free port: the exporter serves the figures while the client is open.
    const int port = holder->Port();
    holder->Stop();
    MetricsRawClient client;
    client.ProcessArgument("-raw=" + path);
    client.ProcessArgument("-prom=127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(client.Open());
    EmitScope("served");
    manager.WaitUntilWritesFlushed(10000);
    const std::string page = Get(port, "/metrics");
    EXPECT_NE(page.find(ScopeCount("served", 1)), std::string::npos) << page;
    client.Close();
    EXPECT_EQ(Get(port, "/metrics"), "");
    EXPECT_EQ(exporterFailures().size(), 2u) << "the second run reported a failure";
    manager.SetLoggingFunction(nullptr);  // the recorder goes before the shutdown at exit logs
}

}  // namespace
}  // namespace Metrics::Testing
