#pragma once

#include <memory>
#include <string>

#include "quillmetrics/MetricsContext.h"
#include "quillmetrics/MetricsManager.h"
#include "quillmetrics/export.h"
#include "quillsys/ReferenceCount.h"

namespace Metrics {

// Records every event into a CSV file. Configure it with the options "-set=", "-setabs=",
// "-clear=" and "-raw=" (or the setters), then Open and Close it from one thread: Open attaches a
// new root context to the calling thread and Close ends it there. Not thread-safe, and not for use
// from a consumer or a hook: Close waits for the background thread.
//
// Two more options feed the same events to the Prometheus exporter, which Open loads from the
// library quillmetrics_prometheus beside this one (a host that never passes them loads no HTTP
// server): "-prom=ADDRESS:PORT" serves them for scraping from Open to Close, and "-push=URL" sends
// the final figures to a Pushgateway at Close. When the exporter cannot be loaded or started (a
// port in use), the reason goes to the logging hook, under the key
// "quillmetrics-prometheus-failed", and recording to the file goes on.
//
// How much a crash of the host can lose from the file: by default each event's line is written
// (handed to the system) before the background thread moves on, so a crash loses only the events
// not yet delivered. With the option "-rawbatch", the lines of a delivered batch are gathered and
// written in one write at the batch's end (or every 64 KiB), which is several times faster; a
// crash then also loses the lines of the batch being written, up to 64 KiB. Either way the file
// holds whole lines only, and WaitUntilWritesFlushed and Close return once every line is written.
class QUILLMETRICS_API MetricsRawClient {
public:
    // The consumer that writes each event it receives as one CSV line, in one write. A line the
    // disk refuses (full disk, a size limit) is lost whole: a line that went out only in part is
    // cut off again, so the file only ever holds whole lines, and later lines are written once
    // the disk takes them. Nothing escapes OnEvent.
    class QUILLMETRICS_API Listener : public IMetricsListener {
    public:
        // Creates or truncates the file. When it cannot, the logging hook gets "cannot create
        // FILE: REASON" (the system's reason) under the key "quillmetrics-raw-open-failed" as a
        // warning, and std::runtime_error("failed to open file") is thrown.
        explicit Listener(const std::string& fileName);
        Listener(const Listener&) = delete;
        Listener& operator=(const Listener&) = delete;
        ~Listener() override;
        void OnEvent(const MetricsEvent& event) override;

    private:
        friend class MetricsRawClient;
        class File;

        std::unique_ptr<File> m_file;
        // Set while the header line is not in the file: every event's line waits behind it.
        bool m_headerPending = false;
    };

    MetricsRawClient();
    MetricsRawClient(const MetricsRawClient&) = delete;
    MetricsRawClient& operator=(const MetricsRawClient&) = delete;
    ~MetricsRawClient();

    // True when the argument is one of the seven options; the value is not checked.
    bool ProcessArgument(const std::string& argument);
    void SetOutputFileName(const std::string& fileName);
    void SetBits(const std::string& mnemonics, bool absolute);
    void ClearBits(const std::string& mnemonics);

    // Starts recording. False, changing nothing, when no file name is set, when the client is
    // already open or when the manager is not running; throws std::runtime_error("failed to open
    // file") when the file cannot be created, after logging the file's name and the reason as the
    // Listener does.
    bool Open();
    // Ends the root context, blocks up to 5000 ms for the queued events to be written, and closes
    // the file. Nothing when closed. Only std::bad_alloc leaves it; the destructor, which closes
    // an open client, never throws.
    void Close();
    bool IsOpen() const;

private:
    bool m_open = false;
    std::unique_ptr<Context> m_context;
    std::string m_fileName;
    unsigned long long m_setBits = 0;
    unsigned long long m_clearBits = 0;
    bool m_absolute = false;
    bool m_batchWrites = false;  // "-rawbatch"
    RefCntPtr<Listener, RefCntObject> m_listener;
    std::string m_prometheusAddress;
    std::string m_pushUrl;
    RefCntPtr<IMetricsListener, RefCntObject> m_exporter;
    void* m_closeExporter = nullptr;  // the exporter library's close function
};

}  // namespace Metrics
