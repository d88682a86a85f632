#include "quillmetrics/MetricsRawClient.h"

#include <cstdio>
#include <stdexcept>

#include "CsvFormat.h"
#include "PlatformFile.h"
#include "quillmetrics/MetricsBitsUtils.h"

namespace Metrics {

namespace {

constexpr unsigned long long kDefaultBits = 0xFFFFFFDFFFFF0000ULL;
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

}  // namespace

// Named in the public header without what it is built on. Keeps the line buffer from one event to
// the next, so that a line costs no allocation.
class MetricsRawClient::Listener::File : public LineFile {
public:
    std::string line;
};

MetricsRawClient::Listener::Listener(const std::string& fileName)
    : m_file(std::make_unique<File>()) {
    if (!m_file->Open(fileName)) {
        m_file.reset();
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
        line.clear();
        AppendCsvLine(line, event);
        m_file->WriteLine(line);
        if (line.capacity() > kKeptLineCapacity) {
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
}

bool MetricsRawClient::IsOpen() const { return m_open; }

}  // namespace Metrics
