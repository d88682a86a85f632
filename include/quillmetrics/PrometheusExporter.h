#pragma once

// The optional Prometheus exporter: its own library (quillmetrics::prometheus, pkg-config
// quillmetrics-prometheus), so that hosts that want no HTTP server link none.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "quillmetrics/MetricsManager.h"

#if defined(QUILLMETRICS_STATIC)
#define QUILLMETRICS_PROMETHEUS_API
#elif defined(_WIN32)
#if defined(QUILLMETRICS_PROMETHEUS_BUILDING)
#define QUILLMETRICS_PROMETHEUS_API __declspec(dllexport)
#else
#define QUILLMETRICS_PROMETHEUS_API __declspec(dllimport)
#endif
#else
#define QUILLMETRICS_PROMETHEUS_API __attribute__((visibility("default")))
#endif

namespace Metrics {

struct PrometheusOptions {
    // Where Start listens. Loopback unless the host names another address; port 0 takes any free
    // port (see PrometheusExporter::Port).
    std::string address = "127.0.0.1";
    int port = 9464;
    // Distinct label sets kept per metric; further ones are folded into one whose host-given
    // labels read "other", and counted in quillmetrics_series_folded_total.
    size_t maxSeriesPerMetric = 1000;
    // Upper bounds of the scope duration histogram, in seconds, ascending; +Inf is implied.
    std::vector<double> bucketsSeconds = {1e-6, 1e-5, 1e-4,   2.5e-4, 5e-4, 1e-3, 2.5e-3,
                                          5e-3, 1e-2, 2.5e-2, 5e-2,   0.1,  0.25, 0.5,
                                          1,    2.5,  5,      10,     30};
    // Connections open at once, from all clients together; further clients wait in the system's
    // listen backlog until one ends. One thread serves them all.
    size_t maxConnections = 16;
    // Connections open at once from one address; a further one is closed as soon as it comes.
    size_t maxConnectionsPerAddress = 4;
    // The deadline of one exchange. A request served: from its connection, or the end of the
    // previous request on it, to the last byte of the answer; a connection past it is closed. A
    // push: from looking up the gateway's name to reading its answer. At most a day: a longer
    // one is taken as a day.
    std::chrono::milliseconds ioTimeout{1000};
    // A Pushgateway for Push: "http://host:port", to which "/metrics/job/quillmetrics/instance/
    // <host>-<pid>" is added, or a URL with its own ".../metrics/job/..." path.
    std::string pushUrl;
};

// An asynchronous consumer (register it with synchronous = false) that aggregates the events it
// receives into counters, gauges and histograms, and serves them in the Prometheus text format
// at GET /metrics. A client only ever takes the exporter's lock to copy the figures, never while
// it reads or writes the network: a slow or hostile client does not delay delivery. What a client
// can cost the host is bounded whatever it sends: see the README's "Inside someone else's
// process".
class QUILLMETRICS_PROMETHEUS_API PrometheusExporter : public IMetricsListener {
public:
    // Throws std::invalid_argument for buckets that are not ascending and finite.
    explicit PrometheusExporter(PrometheusOptions options = PrometheusOptions());
    PrometheusExporter(const PrometheusExporter&) = delete;
    PrometheusExporter& operator=(const PrometheusExporter&) = delete;
    // Stops the server, blocking as Stop does. Not from a consumer or a hook.
    ~PrometheusExporter() override;

    // Called by the manager on its background thread: counts the event under the exporter's lock,
    // which a scrape holds only to copy the figures. std::bad_alloc may leave it (the manager
    // then drops this event for this consumer); nothing else does.
    void OnEvent(const MetricsEvent& event) override;

    // Binds and starts serving on a thread of its own; does not wait for clients. False, with the
    // reason in error, when the address cannot be bound (a port in use) or the server is already
    // started. On success, logs "serving http://ADDR:PORT/metrics" (Info, key
    // "quillmetrics-prometheus"). Started while the manager runs, the server also ends by itself,
    // within about 0.1 s, once the manager stops running. Not from a consumer or a hook.
    bool Start(std::string& error);
    // Ends the server and closes every connection, whatever the clients do: returns within about
    // 0.1 s (and one render in progress) with the server's thread ended and the port free for
    // another Start. Any thread but a consumer's or a hook's; nothing when not started.
    void Stop();
    // The port listened on, 0 when not serving.
    int Port() const;

    // The figures in the text exposition format, as GET /metrics serves them. Any thread; takes
    // the exporter's lock only to copy the figures. May throw std::bad_alloc.
    std::string Render() const;
    // Sends Render's text to the options' Pushgateway with HTTP PUT, replacing what this instance
    // pushed before. Blocks at most ioTimeout, and reads back at most 8 KiB of the answer's head
    // and its body's first 200 bytes (quoted in error). False, with the reason in error, on
    // failure; on success logs "pushed to URL" (Info, key "quillmetrics-prometheus"). Not from a
    // consumer or a hook.
    bool Push(std::string& error) const;

private:
    class Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace Metrics

// What MetricsRawClient loads from this library when a host passes "-prom=" or "-push=", so that
// hosts that never do load no HTTP server. listen is "address:port" or empty (no server), pushUrl
// is empty or a Pushgateway URL. Open returns a new exporter, not yet registered, or null with the
// reason in error (when only the server failed and a push is asked for, the exporter is returned
// with the server's failure in error); Close pushes to pushUrl (when push is set) and stops the
// server, and returns false with the reason in error when the push failed.
extern "C" {
QUILLMETRICS_PROMETHEUS_API Metrics::IMetricsListener* QuillmetricsPrometheusOpen(
    const char* listen, const char* pushUrl, char* error, size_t errorSize);
QUILLMETRICS_PROMETHEUS_API bool QuillmetricsPrometheusClose(Metrics::IMetricsListener* exporter,
                                                             bool push, char* error,
                                                             size_t errorSize);
}
