#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// The form an event takes in an emitting thread's buffer, between the emit and the delivery: a
// fixed head, then the two values and the pairs, each a small head and its payload, all 8-byte
// aligned. Numbers are stored as they are; text up to kInlineTextBytes is copied in, so that an
// event with short names costs no allocation; longer text keeps the value's own shared string
// (the record owns that reference). An event a host built itself is kept whole, by reference.
struct RecordHead {
    enum class Kind : uint8_t { Built, Shared };

    uint32_t size;  // bytes, this head included
    Kind kind;
    bool stop;  // the manager's own shutdown event
    uint16_t reserved;
    int32_t eventType;
    uint32_t pairCount;
    unsigned long long tag;  // the queue's round when it was pushed
    unsigned long long stamp;
    unsigned long long datetimeMicroseconds;  // wall clock, since 1970 UTC
    unsigned long long subjectId;
    unsigned long long contextId;
    unsigned long long bits;
};
static_assert(sizeof(RecordHead) == 64, "a record head is one cache line");

constexpr size_t kInlineTextBytes = 64;

// The size of the record for a built event (its values and pairs), a multiple of 8. A name, when
// given, stands for the first value: borrowed text of at most kInlineTextBytes.
size_t BuiltRecordSize(const MetricsEvent& event, const std::string_view* name) noexcept;
// Writes it into size bytes at place; long text is moved out of the event into the record. The
// tag is left to the caller.
void WriteBuiltRecord(void* place, size_t size, MetricsEvent& event, const std::string_view* name,
                      bool stop) noexcept;

constexpr size_t kSharedRecordSize = sizeof(RecordHead) + sizeof(std::shared_ptr<MetricsEvent>);
// Writes the record of a host's own event into kSharedRecordSize bytes at place.
void WriteSharedRecord(void* place, std::shared_ptr<MetricsEvent>&& event, bool stop) noexcept;

// Lets go of what a record owns (long text, a host's event). Once for each record written.
void DestroyRecord(const RecordHead& record) noexcept;

// Turns records back into events, one at a time, in storage it reuses. Background thread only.
class RecordReader {
public:
    // The event a record stands for, valid until the next call or Clear. May throw
    // std::bad_alloc.
    const MetricsEvent& Read(const RecordHead& record);
    // Drops every reference the last event held, so that none outlives the record.
    void Clear() noexcept;

private:
    MetricsEvent m_event;
    // The last short text of each value, shared with the next event that has the same.
    std::shared_ptr<std::string> m_lastText[2];
};

}  // namespace Metrics
