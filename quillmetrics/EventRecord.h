#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "MetricsClock.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// The form an event takes in an emitting thread's buffer, between the emit and the delivery: a
// fixed head, then the two values and the pairs, each a small head and its payload, all 8-byte
// aligned. Numbers are stored as they are; text up to kInlineTextBytes is copied in, so that an
// event with short names costs no allocation; longer text keeps the value's own shared string
// (the record owns that reference). An event a host built itself is kept whole, by reference.
// The stamp is the clock's raw reading in its era (see MetricsClock.h); the datetime is there
// only when the emit took it.
struct RecordHead {
    enum class Kind : uint8_t { Built, Shared };
    enum Flags : uint8_t {
        kStop = 1,            // the manager's own shutdown event
        kCounterStamp = 2,    // the stamp is a cycle-counter reading
        kDateTimeSet = 4,     // datetimeMicroseconds holds the emit's own reading
        kOwnsReferences = 8,  // holds shared text or a host's event, to let go of once delivered
    };

    uint32_t size;  // bytes, this head included
    Kind kind;
    uint8_t flags;
    uint16_t era;
    int32_t eventType;
    uint32_t pairCount;
    unsigned long long tag;  // the queue's round when it was pushed
    unsigned long long stamp;
    unsigned long long datetimeMicroseconds;  // wall clock, since 1970 UTC
    unsigned long long subjectId;
    unsigned long long contextId;
    unsigned long long bits;

    bool Stop() const noexcept { return (flags & kStop) != 0; }
    Stamp StampOf() const noexcept { return Stamp{stamp, era, (flags & kCounterStamp) != 0}; }
};
static_assert(sizeof(RecordHead) == 64, "a record head is one cache line");

constexpr size_t kInlineTextBytes = 64;

// How a value's payload is kept.
enum class Storage : uint8_t {
    Scalar,      // the 8 bytes of the number
    InlineText,  // length chars
    InlineWide,  // length wide chars
    SharedText,  // the value's std::shared_ptr<std::string>
    SharedWide,  // the value's std::shared_ptr<std::wstring>
    NoText,      // a text value without its string (a host's hand-made value)
};

struct ValueHead {
    uint32_t type;  // MetricsValueType, whatever the host stored
    Storage storage;
    uint8_t reserved;
    uint16_t length;  // characters, for inline text
};
static_assert(sizeof(ValueHead) == 8, "a value head is 8 bytes");

// Copies a short text (a name) without a call: in words whose last one may overlap the one
// before it, or in two halves that may overlap for a text shorter than a word.
inline void CopyShortText(void* to, const char* from, size_t length) noexcept {
    auto* out = static_cast<unsigned char*>(to);
    if (length >= 8) {
        for (size_t done = 0; done + 8 < length; done += 8) {
            std::memcpy(out + done, from + done, 8);
        }
        std::memcpy(out + length - 8, from + length - 8, 8);
    } else if (length >= 4) {
        std::memcpy(out, from, 4);
        std::memcpy(out + length - 4, from + length - 4, 4);
    } else if (length != 0) {
        out[0] = static_cast<unsigned char>(from[0]);
        out[length / 2] = static_cast<unsigned char>(from[length / 2]);
        out[length - 1] = static_cast<unsigned char>(from[length - 1]);
    }
}

constexpr size_t AlignedRecordBytes(size_t bytes) noexcept { return (bytes + 7) & ~size_t{7}; }

// The size of the record for a built event (its values and pairs), a multiple of 8. A name, when
// given, stands for the first value: borrowed text of at most kInlineTextBytes.
size_t BuiltRecordSize(const MetricsEvent& event, const std::string_view* name) noexcept;
// Writes it into size bytes at place; long text is moved out of the event into the record. The
// tag, the stamp and the era are left to the caller.
void WriteBuiltRecord(void* place, size_t size, MetricsEvent& event, const std::string_view* name,
                      uint8_t flags) noexcept;

constexpr size_t kSharedRecordSize = sizeof(RecordHead) + sizeof(std::shared_ptr<MetricsEvent>);
// Writes the record of a host's own event into kSharedRecordSize bytes at place.
void WriteSharedRecord(void* place, std::shared_ptr<MetricsEvent>&& event, uint8_t flags) noexcept;

// The library's most frequent record: a short name (at most kInlineTextBytes) and a number (a
// value of type Int64, Bool or Double).
constexpr size_t NamedRecordSize(size_t nameLength) noexcept {
    return sizeof(RecordHead) + sizeof(ValueHead) + AlignedRecordBytes(nameLength) +
           sizeof(ValueHead) + 8;
}
inline void WriteNamedRecord(void* place, size_t size, MetricsEventType type,
                             unsigned long long subject, unsigned long long contextId,
                             unsigned long long bits, std::string_view name,
                             const MetricsValue& second) noexcept {
    auto* head = static_cast<RecordHead*>(place);
    head->size = static_cast<uint32_t>(size);
    head->kind = RecordHead::Kind::Built;
    head->flags = 0;
    head->eventType = static_cast<int32_t>(type);
    head->pairCount = 0;
    head->subjectId = subject;
    head->contextId = contextId;
    head->bits = bits;
    auto* out = static_cast<unsigned char*>(place) + sizeof(RecordHead);
    const ValueHead text{static_cast<uint32_t>(MetricsValueType::String), Storage::InlineText, 0,
                         static_cast<uint16_t>(name.size())};
    std::memcpy(out, &text, sizeof(text));
    CopyShortText(out + sizeof(ValueHead), name.data(), name.size());
    out += sizeof(ValueHead) + AlignedRecordBytes(name.size());
    const ValueHead number{static_cast<uint32_t>(second.m_type), Storage::Scalar, 0, 0};
    std::memcpy(out, &number, sizeof(number));
    // The union's bytes, whichever member is live.
    std::memcpy(out + sizeof(ValueHead), &second.m_int, 8);
}

// Lets go of what a record owns (long text, a host's event). Once for each record written.
void DestroyRecordReferences(const RecordHead& record) noexcept;
inline void DestroyRecord(const RecordHead& record) noexcept {
    if ((record.flags & RecordHead::kOwnsReferences) != 0) {
        DestroyRecordReferences(record);
    }
}

// Turns records back into events, one at a time, in storage it reuses. Background thread only.
class RecordReader {
public:
    // The event a record stands for, valid until the next call or Clear: a built event's time
    // comes from the converter. May throw std::bad_alloc.
    const MetricsEvent& Read(const RecordHead& record, StampConverter& clock);
    // Drops every reference the last event held, so that none outlives the record.
    void Clear() noexcept;

private:
    MetricsEvent m_event;
    // The last short text of each value, shared with the next event that has the same.
    std::shared_ptr<std::string> m_lastText[2];
};

}  // namespace Metrics
