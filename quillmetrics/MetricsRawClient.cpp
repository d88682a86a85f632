#include "quillmetrics/MetricsRawClient.h"

#include <cstdio>
#include <stdexcept>

#include "CsvFormat.h"
#include "DeliveryThread.h"
#include "PlatformFile.h"
#include "PlatformLibrary.h"
#include "quillmetrics/MetricsBitsUtils.h"

namespace Metrics {

namespace {

// What Open enables when no option names a category.
constexpr unsigned long long kDefaultBits = Category::All & ~Category::Rpipe;
constexpr size_t kKeptLineCapacity = size_t{64} * 1024;

bool TakeOption(const std::string& argument, const char* prefix, std::string& value) {
    const std::string::size_type length = std::char_traits<char>::length(prefix);
    if (argument.compare(0, length, prefix) != 0) {
        return false;
    }
    value = argument.substr(length);
    return true;
}

bool WriteHeader(LineFile& file) {
    std::string line(kCsvHeader);
    line += '\n';
    return file.WriteLine(line);
}

// The exporter's entry points, which the raw client finds in its library at run time.
using OpenExporterFunction = IMetricsListener* (*)(const char*, const char*, char*, size_t);
using CloseExporterFunction = bool (*)(IMetricsListener*, bool, char*, size_t);
constexpr size_t kErrorSize = 512;

void ReportExporterFailure(const std::string& reason) {
    MetricsManager::GetInstance().Log(MetricsManager::LogSeverity::Warning,
                                      L"quillmetrics-prometheus-failed",
                                      TStringCore::fromStdString(reason));
}

// Loads and starts the exporter and registers it; empty, with the reason logged, when any of
// that fails.
RefCntPtr<IMetricsListener, RefCntObject> OpenExporter(const std::string& address,
                                                       const std::string& pushUrl,
                                                       void*& closeFunction) {
    std::string reason;
    void* library = LoadLibraryBesideThisOne(LibraryFileName("quillmetrics_prometheus"), reason);
    void* open =
        library != nullptr ? LibrarySymbol(library, "QuillmetricsPrometheusOpen") : nullptr;
    closeFunction =
        library != nullptr ? LibrarySymbol(library, "QuillmetricsPrometheusClose") : nullptr;
    if (open == nullptr || closeFunction == nullptr) {
        ReportExporterFailure("the Prometheus exporter cannot be loaded: " + reason);
        return {};
    }
    char error[kErrorSize] = {};
    IMetricsListener* made = reinterpret_cast<OpenExporterFunction>(open)(
        address.c_str(), pushUrl.c_str(), error, sizeof error);
    if (error[0] != '\0') {  // it failed, or it works only in part (no server, but a push)
        ReportExporterFailure(error);
    }
    if (made == nullptr) {
        return {};
    }
    RefCntPtr<IMetricsListener, RefCntObject> exporter(made);
    if (!MetricsManager::GetInstance().AddConsumer(exporter, kCategoryMask, false)) {
        reinterpret_cast<CloseExporterFunction>(closeFunction)(made, false, error, sizeof error);
        return {};
    }
    return exporter;
}

}  // namespace

// Named in the public header without what it is built on. Keeps the line buffer from one event to
// the next, so that a line costs no allocation.
class MetricsRawClient::Listener::File : public LineFile {
public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    // Lines gathered and not yet written go out before the file closes.
    ~File() {
        if (batched && !line.empty()) {
            WriteLines(line);
        }
    }

    // The lines of a batch, gathered and written in one write at its end ("-rawbatch").
    bool batched = false;
    std::string line;
};

namespace {

// A batch's lines go out at the latest when they reach this size.
constexpr size_t kBatchWriteBytes = size_t{64} * 1024;

}  // namespace

MetricsRawClient::Listener::Listener(const std::string& fileName)
    : m_file(std::make_unique<File>()) {
    std::string reason;
    if (!m_file->Open(fileName, reason)) {
        m_file.reset();
        // The exception's text is fixed and names neither; the host's log gets both.
        MetricsManager::GetInstance().Log(
            MetricsManager::LogSeverity::Warning, L"quillmetrics-raw-open-failed",
            TStringCore::fromStdString("cannot create " + fileName + ": " + reason));
        throw std::runtime_error("failed to open file");
    }
}

MetricsRawClient::Listener::~Listener() = default;

void MetricsRawClient::Listener::OnEvent(const MetricsEvent& event) {
    try {
        if (m_headerPending) {
            m_headerPending = !WriteHeader(*m_file);
            if (m_headerPending) {
                return;
            }
        }
        std::string& line = m_file->line;
        if (!m_file->batched) {
            line.clear();
            AppendCsvLine(line, event);
            m_file->WriteLine(line);
            line.clear();
        } else {
            const size_t start = line.size();
            try {
                AppendCsvLine(line, event);
                LineFile::EndLine(line);
            } catch (...) {
                line.resize(start);  // the lines before it still go out
            }
            if (line.size() >= kBatchWriteBytes || DeliveryThread::AtBatchEnd()) {
                m_file->WriteLines(line);
                line.clear();
            }
        }
        if (line.empty() && line.capacity() > kKeptLineCapacity) {
            std::string().swap(line);  // one huge value does not hold its memory for ever
        }
    } catch (...) {
        // Out of memory while building the line: this one line is dropped.
    }
}

MetricsRawClient::MetricsRawClient() = default;

MetricsRawClient::~MetricsRawClient() {
    try {
        Close();
    } catch (...) {
        // A destructor must not throw; the file is closed by the members' destructors.
    }
}

bool MetricsRawClient::ProcessArgument(const std::string& argument) {
    std::string value;
    if (TakeOption(argument, "-set=", value)) {
        SetBits(value, false);
    } else if (TakeOption(argument, "-setabs=", value)) {
        SetBits(value, true);
    } else if (TakeOption(argument, "-clear=", value)) {
        ClearBits(value);
    } else if (TakeOption(argument, "-raw=", value)) {
        SetOutputFileName(value);
    } else if (TakeOption(argument, "-prom=", value)) {
        m_prometheusAddress = value;
    } else if (TakeOption(argument, "-push=", value)) {
        m_pushUrl = value;
    } else if (argument == "-rawbatch") {
        m_batchWrites = true;
    } else {
        return false;
    }
    return true;
}

void MetricsRawClient::SetOutputFileName(const std::string& fileName) { m_fileName = fileName; }

void MetricsRawClient::SetBits(const std::string& mnemonics, bool absolute) {
    m_setBits = MetricsBitsUtils::GetMetricsBitsFromMnemonicList(mnemonics);
    m_absolute = absolute;
}

void MetricsRawClient::ClearBits(const std::string& mnemonics) {
    m_clearBits = MetricsBitsUtils::GetMetricsBitsFromMnemonicList(mnemonics);
}

bool MetricsRawClient::Open() {
    // Opening twice would leave the first Listener registered and writing into the file the
    // second one has just truncated; opening a stopped manager would record nothing.
    if (m_fileName.empty() || m_open) {
        return false;
    }
    MetricsManager& manager = MetricsManager::GetInstance();
    if (!manager.IsRunning()) {
        return false;
    }
    RefCntPtr<Listener, RefCntObject> listener(new Listener(m_fileName));
    listener->m_headerPending = !WriteHeader(*listener->m_file);
    listener->m_file->batched = m_batchWrites;

    const RefCntPtr<IMetricsListener, RefCntObject> consumer(listener);
    if (!manager.AddConsumer(consumer, kCategoryMask, false)) {
        // The manager stopped in the meantime: leave no file behind.
        listener.reset();
        std::remove(m_fileName.c_str());
        return false;
    }
    m_listener = std::move(listener);

    if (m_setBits != 0) {
        m_setBits &= ~m_clearBits;
        if (m_absolute) {
            manager.SetBitsAbsolute(m_setBits);
        } else {
            manager.SetBits(m_setBits);
        }
    } else if (m_clearBits != 0) {
        manager.ClearBits(m_clearBits);
    } else {
        manager.SetBits(kDefaultBits);
    }

    if (!m_prometheusAddress.empty() || !m_pushUrl.empty()) {
        m_exporter = OpenExporter(m_prometheusAddress, m_pushUrl, m_closeExporter);
    }

    const unsigned long long rootId = Context::Create(true);
    m_context = std::make_unique<Context>(0, rootId);
    m_open = true;
    return true;
}

void MetricsRawClient::Close() {
    if (!m_open) {
        return;
    }
    MetricsManager& manager = MetricsManager::GetInstance();
    m_open = false;
    m_context.reset();
    if (m_listener) {
        manager.WaitUntilWritesFlushed(5000);
        const RefCntPtr<IMetricsListener, RefCntObject> consumer(m_listener);
        manager.RemoveConsumer(consumer);
        m_listener.reset();
    }
    if (m_exporter) {
        manager.RemoveConsumer(m_exporter);
        char error[kErrorSize] = {};
        if (!reinterpret_cast<CloseExporterFunction>(m_closeExporter)(
                m_exporter.get(), !m_pushUrl.empty(), error, sizeof error)) {
            ReportExporterFailure(error);
        }
        m_exporter.reset();
    }
}

bool MetricsRawClient::IsOpen() const { return m_open; }

}  // namespace Metrics
