#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <filesystem>

#include "quillmetrics/PrometheusExporter.h"
#include "support/ChildProcess.h"
#include "support/Files.h"
#include "support/RecordingListener.h"

namespace Metrics::Testing {
namespace {

using Clock = std::chrono::steady_clock;
using ExporterPtr = RefCntPtr<PrometheusExporter, RefCntObject>;

#if defined(_WIN32)
using SocketHandle = SOCKET;
void CloseHandle(SocketHandle handle) { closesocket(handle); }
constexpr int kNoSignal = 0;
#else
using SocketHandle = int;
void CloseHandle(SocketHandle handle) { close(handle); }
constexpr int kNoSignal = MSG_NOSIGNAL;
#endif

// False once the peer has closed the connection.
bool SendOn(SocketHandle handle, const std::string& data) {
    return send(handle, data.data(), static_cast<int>(data.size()), kNoSignal) > 0;
}

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
        // A server that never answers fails the test instead of hanging it.
#if defined(_WIN32)
        const DWORD wait = 10000;
#else
        const timeval wait{10, 0};
#endif
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&wait),
                   sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            connect(m_socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    ~RawClient() { CloseHandle(m_socket); }
    bool Connected() const { return m_connected; }
    // False once the server has closed the connection.
    bool Send(const std::string& data) const { return SendOn(m_socket, data); }
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
    SocketHandle m_socket;
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

// Scrapes until the page comes (a refused connection is tried again); how long that took.
Clock::duration ScrapeUntilServed(int port) {
    const auto started = Clock::now();
    while (Get(port, "/metrics").rfind("HTTP/1.1 200", 0) != 0 &&
           Clock::now() - started < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return Clock::now() - started;
}

PrometheusOptions QuickOptions() {
    PrometheusOptions options;
    options.port = 0;
    options.maxConnections = 2;
    options.ioTimeout = std::chrono::milliseconds(300);
    return options;
}

// An exporter with QuickOptions, serving on the port it was given (a consumer of the manager's
// events when subscribe is set). Callers wrap it in ASSERT_NO_FATAL_FAILURE.
void StartQuickExporter(ExporterPtr& exporter, int& port, bool subscribe) {
    exporter = ExporterPtr(new PrometheusExporter(QuickOptions()));
    if (subscribe) {
        ASSERT_TRUE(MetricsManager::GetInstance().AddConsumer(AsListener(exporter), ~0ULL, false));
    }
    std::string error;
    ASSERT_TRUE(exporter->Start(error)) << error;
    port = exporter->Port();
}

constexpr unsigned long long kScopeBits = Category::Act;

// A scope records in the calling thread's current context, which this gives it.
void EmitScope(const char* name) {
    const Context context(0, Context::Create(true));
    const Metrics::Scope scope(name, kScopeBits);
}

// The exposition line that counts the scopes EmitScope made under that name.
std::string ScopeCount(const std::string& name, int count) {
    return R"(quillmetrics_scope_duration_seconds_count{scope=")" + name + R"(",category="act"} )" +
           std::to_string(count) + "\n";
}

TEST(PrometheusExporterTest, ServesOnlyGetMetricsAndOutlastsHostileClients) {
    MetricsManager& manager = StartManager();
    ExporterPtr exporter;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartQuickExporter(exporter, port, true));
    ASSERT_GT(port, 0);
    std::string error;
    EXPECT_FALSE(exporter->Start(error));
    EmitScope("request");
    manager.WaitUntilWritesFlushed(10000);

    const std::string page = Get(port, "/metrics");
    EXPECT_EQ(page.rfind("HTTP/1.1 200", 0), 0u) << page;
    EXPECT_NE(page.find("text/plain; version=0.0.4"), std::string::npos);
    EXPECT_NE(page.find("quillmetrics_scope_duration_seconds_count{scope=\"request\""),
              std::string::npos);
    const std::string head =
        Request(port, "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head.rfind("HTTP/1.1 200", 0), 0u) << head;
    EXPECT_EQ(head.find("# TYPE"), std::string::npos) << "HEAD sent a body";
    EXPECT_EQ(Get(port, "/").rfind("HTTP/1.1 404", 0), 0u);
    EXPECT_EQ(Get(port, "/metrics/x").rfind("HTTP/1.1 404", 0), 0u);
    // A refused request's body is never read: on a kept-alive connection, it would otherwise be
    // taken for a request of its own.
    const std::string smuggled = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
    std::string post;
    {
        const RawClient client(port);
        client.Send("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: " +
                    std::to_string(smuggled.size()) + "\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the body comes apart
        client.Send(smuggled);
        post = client.ReceiveAll();
    }
    EXPECT_EQ(post.rfind("HTTP/1.1 405", 0), 0u) << post;
    EXPECT_NE(post.find("Allow: GET, HEAD"), std::string::npos);
    EXPECT_EQ(post.find("HTTP/1.1 200"), std::string::npos) << "the body was served";
    EXPECT_EQ(Request(port, "DELETE /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
                  .rfind("HTTP/1.1 405", 0),
              0u);
    EXPECT_EQ(Request(port, "\x16\x03\x01 garbage \xff\r\n\r\n").rfind("HTTP/1.1 400", 0), 0u);
    const std::string huge =
        Request(port, "GET /metrics HTTP/1.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n");
    EXPECT_EQ(huge.find("HTTP/1.1 200"), std::string::npos) << "a 1 MiB header was served";
    std::string lines = "GET /metrics HTTP/1.1\r\nHost: x\r\n";
    for (int i = 0; i < 100; ++i) {
        lines += "X: y\r\n";
    }
    EXPECT_EQ(Request(port, lines + "\r\n").rfind("HTTP/1.1 431", 0), 0u);
    for (const char* body :
         {"Content-Length: 1\r\n\r\nx", "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"}) {
        EXPECT_EQ(Request(port, std::string("GET /metrics HTTP/1.1\r\nHost: x\r\n") + body)
                      .rfind("HTTP/1.1 400", 0),
                  0u)
            << body;
    }

    // One address may hold only so many connections; the next one is closed at once. Limits too
    // large for the clock's or the HTTP library's arithmetic hold as the largest they can take.
    PrometheusOptions options = QuickOptions();
    options.maxConnectionsPerAddress = 1;
    options.maxConnections = size_t{1} << 32;
    options.ioTimeout = std::chrono::milliseconds::max();
    PrometheusExporter single(options);
    ASSERT_TRUE(single.Start(error)) << error;
    auto holder = std::make_unique<RawClient>(single.Port());
    EXPECT_EQ(Get(single.Port(), "/metrics"), "");
    holder.reset();
    EXPECT_LT(ScrapeUntilServed(single.Port()), std::chrono::seconds(5));
}

// The process's peak resident memory so far, in KiB (0 where the system does not say).
long PeakKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// What the server answers to a request head followed by `count` copies of `filler`, sent for as
// long as the server takes them; `cut` says whether it stopped taking them before the end.
std::string Flood(int port, const std::string& head, const std::string& filler, size_t count,
                  bool& cut) {
    const RawClient client(port);
    std::string block;
    size_t copies = 0;
    for (; block.size() < size_t{64} * 1024; ++copies) {
        block += filler;
    }
    size_t sent = client.Send(head) ? 0 : count;
    while (sent < count && client.Send(block)) {
        sent += copies;
    }
    cut = sent < count;
    return client.ReceiveAll();
}

TEST(PrometheusExporterTest, HostileRequestsCostBoundedMemory) {
    StartManager();
    ExporterPtr exporter;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartQuickExporter(exporter, port, false));
    const size_t pageSize = Get(port, "/metrics").size();
    const long before = PeakKiB();

    std::string ranges = "bytes=0-0";
    for (int i = 0; i < 2700; ++i) {
        ranges += ",0-";
    }
    const std::string ranged =
        Request(port, "GET /metrics HTTP/1.1\r\nHost: x\r\nRange: " + ranges +
                          "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(ranged.find("HTTP/1.1 206"), std::string::npos) << "ranges were served";
    EXPECT_LT(ranged.size(), pageSize + 1024);

    bool cut = false;
    const std::string lines =
        Flood(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n", "X: y\r\n", 3000000, cut);
    EXPECT_TRUE(cut) << "three million header lines were read";
    EXPECT_EQ(lines.find("HTTP/1.1 200"), std::string::npos);
    const std::string chunk = "1000\r\n" + std::string(4096, 'x') + "\r\n";
    const std::string chunked =
        Flood(port, "PUT /elsewhere HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n",
              chunk, size_t{256} << 20 >> 12, cut);
    EXPECT_TRUE(cut) << "a 256 MiB chunked body was read";

    const long grown = PeakKiB() - before;
    RecordProperty("PeakGrowthKiB", static_cast<int>(grown));
    EXPECT_LT(grown, 64 * 1024) << "KiB";
    EXPECT_NE(Get(port, "/metrics").rfind("HTTP/1.1 200", 0), std::string::npos);
}

// Clients that each send one byte of a request every 0.1 s, for as long as they live.
class Tricklers {
public:
    Tricklers(int port, int count) {
        for (int i = 0; i < count; ++i) {
            m_clients.push_back(std::make_unique<RawClient>(port));
        }
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                for (const auto& client : m_clients) {
                    client->Send("G");
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    Tricklers(const Tricklers&) = delete;
    Tricklers& operator=(const Tricklers&) = delete;
    ~Tricklers() {
        m_stop.store(true);
        m_thread.join();
    }
    // How long until the server closed every connection (a receive gives up after 10 s).
    Clock::duration UntilAllClosed() const {
        const auto started = Clock::now();
        for (const auto& client : m_clients) {
            client->ReceiveAll();
        }
        return Clock::now() - started;
    }

private:
    std::vector<std::unique_ptr<RawClient>> m_clients;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// Clients that trickle a request (one byte every 0.1 s) hold a connection only up to the
// deadline; Stop closes the ones still held, and frees the port for the next Start at once.
TEST(PrometheusExporterTest, TricklingClientsAreCutAtTheDeadline) {
    MetricsManager& manager = StartManager();
    ExporterPtr exporter;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartQuickExporter(exporter, port, true));
    {
        const Tricklers tricklers(port, 9);
        const auto waited = ScrapeUntilServed(port);
        RecordProperty("ScrapeWaitMs", static_cast<int>(waited / std::chrono::milliseconds(1)));
        EXPECT_LT(waited, std::chrono::seconds(5)) << "scrapes were shut out";
        EXPECT_LT(tricklers.UntilAllClosed(), std::chrono::seconds(8))
            << "a trickling client outlived the deadline";
    }
    // While clients hold every connection, delivery goes on, and Stop ends them.
    const Tricklers holding(port, 9);
    for (int i = 0; i < 1000; ++i) {
        EmitScope("while-held");
    }
    manager.WaitUntilWritesFlushed(10000);
    EXPECT_NE(exporter->Render().find(ScopeCount("while-held", 1000)), std::string::npos);
    const auto stopping = Clock::now();
    exporter->Stop();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(2));
    EXPECT_EQ(exporter->Port(), 0);
    PrometheusOptions samePort = QuickOptions();
    samePort.port = port;
    PrometheusExporter again(samePort);
    std::string error;
    EXPECT_TRUE(again.Start(error)) << error;
    EXPECT_EQ(Get(port, "/metrics").rfind("HTTP/1.1 200", 0), 0u);
}

// A fake Pushgateway: answers the first connection with `head`, sent in pieces of `piece` bytes
// every `pause`, then with `bodySize` bytes of `filler`, until the client goes.
class FakeGateway {
public:
    FakeGateway(std::string head, size_t piece, std::chrono::milliseconds pause, size_t bodySize,
                const std::string& filler = "x")
        : m_listening(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(m_listening, reinterpret_cast<const sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(m_listening, 4), 0);
        getsockname(m_listening, reinterpret_cast<sockaddr*>(&address), &size);
        m_port = ntohs(address.sin_port);
        std::string block;
        while (block.size() < size_t{1} << 16) {
            block += filler;
        }
        m_thread = std::thread([this, head = std::move(head), piece, pause, bodySize, block] {
            const SocketHandle client = accept(m_listening, nullptr, nullptr);
            bool open = true;
            for (size_t at = 0; open && at < head.size(); at += piece) {
                open = SendOn(client, head.substr(at, piece));
                std::this_thread::sleep_for(pause);
            }
            for (size_t sent = 0; open && sent < bodySize; sent += block.size()) {
                open = SendOn(client, block);
            }
            CloseHandle(client);
        });
    }
    FakeGateway(const FakeGateway&) = delete;
    FakeGateway& operator=(const FakeGateway&) = delete;
    ~FakeGateway() {
        m_thread.join();
        CloseHandle(m_listening);
    }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(m_port); }

private:
    SocketHandle m_listening;
    int m_port = 0;
    std::thread m_thread;
};

TEST(PrometheusExporterTest, PushHasOneDeadlineAndReadsBackLittle) {
    LogRecorder log;
    MetricsManager& manager = StartManager();
    manager.SetLoggingFunction(log.Function());
    const auto push = [](const std::string& url, std::string& error, double& seconds,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(300)) {
        PrometheusOptions options = QuickOptions();
        options.pushUrl = url;
        options.ioTimeout = timeout;
        const PrometheusExporter exporter(options);
        const auto started = Clock::now();
        const bool pushed = exporter.Push(error);
        seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return pushed;
    };
    std::string error;
    double seconds = 0;
    {
        const FakeGateway accepting("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 1 << 16,
                                    std::chrono::milliseconds(0), 0);
        // A deadline too long to add to the clock holds as the longest it can.
        EXPECT_TRUE(
            push(accepting.Url() + "/base/", error, seconds, std::chrono::milliseconds::max()))
            << error;
        const std::string pushed =
            "pushed to " + accepting.Url() + "/base/metrics/job/quillmetrics/instance/";
        const auto lines = log.Lines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LogLine& line) {
            return line.key == L"quillmetrics-prometheus" && line.message.rfind(pushed, 0) == 0;
        }));
    }
    {
        // An interim answer (any 1xx, not only 100 Continue) comes before the final one.
        const FakeGateway interim(
            "HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 1 << 16,
            std::chrono::milliseconds(0), 0);
        EXPECT_TRUE(push(interim.Url(), error, seconds)) << error;
    }
    {
        const FakeGateway trickling(
            "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(100, 'p') + "\r\nContent-Length: 0\r\n\r\n",
            1, std::chrono::milliseconds(100), 0);
        EXPECT_FALSE(push(trickling.Url(), error, seconds));
        EXPECT_NE(error.find("did not answer within 300 ms"), std::string::npos) << error;
        RecordProperty("TricklingPushMs", static_cast<int>(seconds * 1000));
        EXPECT_LT(seconds, 3.0);
    }
    const long before = PeakKiB();
    {
        // The quoted body ends at a whole character (200 bytes would split the 67th euro sign).
        const FakeGateway huge("HTTP/1.1 500 Busy\r\nContent-Length: 1073741824\r\n\r\n", 1 << 16,
                               std::chrono::milliseconds(0), size_t{1} << 30, "\u20ac");
        EXPECT_FALSE(push(huge.Url(), error, seconds));
        std::string euros;
        for (int i = 0; i < 66; ++i) {
            euros += "\u20ac";
        }
        EXPECT_EQ(error,
                  "the Pushgateway at " + huge.Url() + " refused the figures (HTTP 500): " + euros);
    }
    const long grown = PeakKiB() - before;
    RecordProperty("HugeReplyPeakGrowthKiB", static_cast<int>(grown));
    EXPECT_LT(grown, 64 * 1024) << "KiB";
    manager.SetLoggingFunction(nullptr);
}

#if !defined(_WIN32)
namespace fs = std::filesystem;

// Where the child changes to: deep enough under root that the relative path, read from there,
// stays inside root.
fs::path FolderUnder(const fs::path& root, const fs::path& relative) {
    fs::path folder = root;
    for (const fs::path& part : relative) {
        if (part == "..") {
            folder /= "down";
        }
    }
    return folder;
}

// Run as a child, with LD_LIBRARY_PATH naming, relatively, a folder of links to the core
// libraries (the exporter itself comes from this program's own search path).
TEST(PrometheusExporterTest, DISABLED_LoadsTheExporterBesideTheCoreLibraryAfterChdir) {
    const fs::path relative = std::getenv("LD_LIBRARY_PATH");  // NOLINT(concurrency-mt-unsafe)
    ASSERT_EQ(chdir(FolderUnder(fs::absolute(relative).parent_path(), relative).c_str()), 0);
    LogRecorder log;
    MetricsManager& manager = StartManager();
    manager.SetLoggingFunction(log.Function());
    const TempFile file("planted");
    MetricsRawClient client;
    client.ProcessArgument("-raw=" + file.Path());
    client.ProcessArgument("-prom=127.0.0.1:0");
    ASSERT_TRUE(client.Open());
    client.Close();
    std::string lines;
    for (const auto& line : log.Lines()) {
        lines += line.message + "\n";
    }
    manager.SetLoggingFunction(nullptr);
    EXPECT_NE(lines.find("serving http://127.0.0.1:"), std::string::npos) << lines;
}

// A host found the core library through a relative search path, then changed directory to one
// where that path leads to a planted copy of the exporter: the exporter beside the core library is
// the one loaded.
TEST(PrometheusExporterTest, LoadsTheExporterBesideTheCoreLibraryAfterChdir) {
    const fs::path root = fs::path(::testing::TempDir()) / ("planted-" + std::to_string(getpid()));
    const fs::path links = root / "lib";
    fs::create_directories(links);
    for (const char* name : {"libquillmetrics.so.0", "libquillsys.so.0"}) {
        fs::create_symlink(fs::path(QUILLMETRICS_LIBRARY_DIR) / name, links / name);
    }
    const fs::path relative = fs::relative(links);
    const fs::path planted =
        (FolderUnder(root, relative) / relative / "libquillmetrics_prometheus.so.0")
            .lexically_normal();
    fs::create_directories(planted.parent_path());
    fs::create_directories(FolderUnder(root, relative));
    std::ofstream(planted) << "not a library\n";
    EXPECT_EQ(RunThisProgram("PrometheusExporterTest.DISABLED_LoadsTheExporterBesideTheCoreLibrary"
                             "AfterChdir",
                             "LD_LIBRARY_PATH", relative.string(), std::chrono::seconds(60)),
              0);
    fs::remove_all(root);
}
#endif

TEST(PrometheusExporterTest, StopsWithTheManager) {
    MetricsManager& manager = StartManager();
    ExporterPtr exporter;
    int port = 0;
    ASSERT_NO_FATAL_FAILURE(StartQuickExporter(exporter, port, false));
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
    EXPECT_NE(failures[1].find("cannot reach the Pushgateway at http://127.0.0.1:1: "),
              std::string::npos)
        << failures[1];
    EXPECT_NE(failures[1].find("refused"), std::string::npos) << failures[1];
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
    const std::string serving = "serving http://127.0.0.1:" + std::to_string(port) + "/metrics";
    const auto lines = log.Lines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LogLine& line) {
        return line.key == L"quillmetrics-prometheus" && line.message == serving;
    })) << serving;
    manager.SetLoggingFunction(nullptr);  // the recorder goes before the shutdown at exit logs
}

}  // namespace
}  // namespace Metrics::Testing
