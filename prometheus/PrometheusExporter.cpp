#include "quillmetrics/PrometheusExporter.h"

#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "Exposition.h"
#include "HttpEndpoint.h"
#include "HttpPut.h"

#if defined(_WIN32)
#include <process.h>

#include "PlatformWindows.h"
#else
#include <unistd.h>
#endif

namespace Metrics {

namespace {

std::string HostAndPid() {
    char host[256] = {};
#if defined(_WIN32)
    DWORD size = sizeof host;
    if (!GetComputerNameA(host, &size)) {
        host[0] = '\0';
    }
    const int pid = _getpid();
#else
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    const int pid = static_cast<int>(getpid());
#endif
    std::string name = host[0] != '\0' ? host : "host";
    for (char& c : name) {  // a path segment of the push URL
        if (c == '/' || c == '%' || c == '?' || c == '#') {
            c = '_';
        }
    }
    return name + "-" + std::to_string(pid);
}

void CopyError(const std::string& text, char* error, size_t errorSize) {
    if (error != nullptr && errorSize > 0) {
        const size_t length = std::min(text.size(), errorSize - 1);
        std::memcpy(error, text.data(), length);
        error[length] = '\0';
    }
}

void LogInfo(const std::string& message) {
    MetricsManager::GetInstance().Log(MetricsManager::LogSeverity::Info, L"quillmetrics-prometheus",
                                      TStringCore::fromStdString(message));
}

}  // namespace

// The figures live in a block of their own, which the server's threads share: a client still
// being served after Stop reads them, not a destroyed exporter.
struct Figures {
    std::mutex mutex;
    Prometheus::Aggregate aggregate;  // guarded by mutex

    Figures(size_t maxSeries, std::vector<double> buckets)
        : aggregate(maxSeries, std::move(buckets)) {}

    std::string Render() {
        // Copied under the lock and rendered outside it: delivery waits only for the copy.
        std::unique_lock<std::mutex> lock(mutex);
        const Prometheus::Counts copy = aggregate.Counted();
        lock.unlock();
        return copy.Render(MetricsManager::GetInstance().GetQueuedEventCount());
    }
};

namespace {

// What the server's threads call: it holds the figures, not the exporter. A named type of this
// file's own, so that nothing about it is exported with the class.
struct RenderFigures {
    std::shared_ptr<Figures> figures;
    std::string operator()() const { return figures->Render(); }
};

}  // namespace

class PrometheusExporter::Impl {
public:
    explicit Impl(PrometheusOptions options)
        : options(std::move(options))
        , figures(std::make_shared<Figures>(this->options.maxSeriesPerMetric,
                                            this->options.bucketsSeconds))
        , endpoint(RenderFigures{figures},
                   Prometheus::HttpLimits{this->options.maxConnections,
                                          this->options.maxConnectionsPerAddress,
                                          this->options.ioTimeout}) {}

    PrometheusOptions options;
    std::shared_ptr<Figures> figures;
    Prometheus::HttpEndpoint endpoint;
};

PrometheusExporter::PrometheusExporter(PrometheusOptions options) {
    const std::vector<double>& bounds = options.bucketsSeconds;
    for (size_t i = 0; i < bounds.size(); ++i) {
        if (!std::isfinite(bounds[i]) || (i > 0 && bounds[i] <= bounds[i - 1])) {
            throw std::invalid_argument("histogram buckets must be finite and ascending");
        }
    }
    m_impl = std::make_unique<Impl>(std::move(options));
}

PrometheusExporter::~PrometheusExporter() = default;

void PrometheusExporter::OnEvent(const MetricsEvent& event) {
    std::lock_guard<std::mutex> lock(m_impl->figures->mutex);
    m_impl->figures->aggregate.Add(event);
}

bool PrometheusExporter::Start(std::string& error) {
    if (!m_impl->endpoint.Start(m_impl->options.address, m_impl->options.port,
                                MetricsManager::GetInstance().IsRunning(), error)) {
        return false;
    }
    const std::string& address = m_impl->options.address;
    const bool ipv6 = address.find(':') != std::string::npos;
    LogInfo("serving http://" + (ipv6 ? "[" + address + "]" : address) + ":" +
            std::to_string(m_impl->endpoint.Port()) + "/metrics");
    return true;
}

void PrometheusExporter::Stop() { m_impl->endpoint.Stop(); }

int PrometheusExporter::Port() const { return m_impl->endpoint.Port(); }

std::string PrometheusExporter::Render() const { return m_impl->figures->Render(); }

bool PrometheusExporter::Push(std::string& error) const {
    const std::string& given = m_impl->options.pushUrl;
    Prometheus::HttpUrl url;
    if (!url.Parse(given)) {
        error = "not a Pushgateway URL (http://host:port): " + given;
        return false;
    }
    if (url.path.find("/metrics/job/") == std::string::npos) {
        while (!url.path.empty() && url.path.back() == '/') {
            url.path.pop_back();
        }
        url.path += "/metrics/job/quillmetrics/instance/" + HostAndPid();
    }
    Prometheus::HttpReply reply;
    if (!Prometheus::HttpPutWithin(url, Render(), "text/plain; version=0.0.4",
                                   m_impl->options.ioTimeout, reply, error)) {
        return false;
    }
    if (reply.status / 100 != 2) {
        error = "the Pushgateway at " + url.Base() + " refused the figures (HTTP " +
                std::to_string(reply.status) + ")" +
                (reply.excerpt.empty() ? std::string() : ": " + reply.excerpt);
        return false;
    }
    LogInfo("pushed to " + url.Base() + url.path);
    return true;
}

}  // namespace Metrics

extern "C" Metrics::IMetricsListener* QuillmetricsPrometheusOpen(const char* listen,
                                                                 const char* pushUrl, char* error,
                                                                 size_t errorSize) {
    try {
        Metrics::PrometheusOptions options;
        options.pushUrl = pushUrl != nullptr ? pushUrl : "";
        const std::string where = listen != nullptr ? listen : "";
        if (!where.empty()) {
            // "address:port", the address in brackets when it is IPv6.
            const std::string::size_type colon = where.rfind(':');
            std::string address = colon == std::string::npos ? where : where.substr(0, colon);
            if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
                address = address.substr(1, address.size() - 2);
            }
            int port = -1;
            const std::string digits = colon == std::string::npos ? "" : where.substr(colon + 1);
            if (!digits.empty() && digits.size() <= 5 &&
                digits.find_first_not_of("0123456789") == std::string::npos) {
                port = std::stoi(digits);
            }
            if (address.empty() || port < 0 || port > 65535) {
                Metrics::CopyError(
                    "-prom= takes address:port, for example 127.0.0.1:9464: " + where, error,
                    errorSize);
                return nullptr;
            }
            options.address = address;
            options.port = port;
        }
        auto exporter = std::make_unique<Metrics::PrometheusExporter>(options);
        std::string reason;
        if (!where.empty() && !exporter->Start(reason)) {
            Metrics::CopyError(reason, error, errorSize);
            if (options.pushUrl.empty()) {
                return nullptr;
            }
            // The figures can still be pushed at the end.
        }
        return exporter.release();
    } catch (const std::exception& e) {
        Metrics::CopyError(e.what(), error, errorSize);
        return nullptr;
    }
}

extern "C" bool QuillmetricsPrometheusClose(Metrics::IMetricsListener* listener, bool push,
                                            char* error, size_t errorSize) {
    auto* exporter = dynamic_cast<Metrics::PrometheusExporter*>(listener);
    if (exporter == nullptr) {
        return false;
    }
    bool pushed = true;
    try {
        std::string reason;
        if (push && !exporter->Push(reason)) {
            pushed = false;
            Metrics::CopyError(reason, error, errorSize);
        }
    } catch (const std::exception& e) {
        pushed = false;
        Metrics::CopyError(e.what(), error, errorSize);
    }
    exporter->Stop();
    return pushed;
}
