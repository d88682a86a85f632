#include "EventRecord.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace Metrics {

namespace {

constexpr size_t Aligned(size_t bytes) noexcept { return AlignedRecordBytes(bytes); }

template <typename Text>
bool FitsInline(const std::shared_ptr<Text>& text) noexcept {
    return text->size() * sizeof(typename Text::value_type) <= kInlineTextBytes;
}

// The head a value is written with: how its payload is kept, and the length of inline text.
ValueHead HeadOf(const MetricsValue& value) noexcept {
    ValueHead head{static_cast<uint32_t>(value.m_type), Storage::Scalar, 0, 0};
    if (value.m_type == MetricsValueType::String) {
        head.storage = !value.m_string              ? Storage::NoText
                       : FitsInline(value.m_string) ? Storage::InlineText
                                                    : Storage::SharedText;
        if (head.storage == Storage::InlineText) {
            head.length = static_cast<uint16_t>(value.m_string->size());
        }
    } else if (value.m_type == MetricsValueType::WString) {
        head.storage = !value.m_wstring              ? Storage::NoText
                       : FitsInline(value.m_wstring) ? Storage::InlineWide
                                                     : Storage::SharedWide;
        if (head.storage == Storage::InlineWide) {
            head.length = static_cast<uint16_t>(value.m_wstring->size());
        }
    }
    return head;
}

ValueHead TextHead(std::string_view text) noexcept {
    return ValueHead{static_cast<uint32_t>(MetricsValueType::String), Storage::InlineText, 0,
                     static_cast<uint16_t>(text.size())};
}

// The bytes after a value's head: the one place that knows how far a value reaches.
size_t PayloadBytes(const ValueHead& head) noexcept {
    switch (head.storage) {
        case Storage::Scalar:
            return 8;
        case Storage::InlineText:
            return Aligned(head.length);
        case Storage::InlineWide:
            return Aligned(head.length * sizeof(wchar_t));
        case Storage::SharedText:
            return sizeof(std::shared_ptr<std::string>);
        case Storage::SharedWide:
            return sizeof(std::shared_ptr<std::wstring>);
        case Storage::NoText:
            break;
    }
    return 0;
}

size_t ValueSize(const ValueHead& head) noexcept { return sizeof(ValueHead) + PayloadBytes(head); }

// Writes one value at out and returns the end of what it wrote.
unsigned char* WriteValue(unsigned char* out, MetricsValue& value) noexcept {
    const auto* head = new (out) ValueHead(HeadOf(value));
    unsigned char* payload = out + sizeof(ValueHead);
    switch (head->storage) {
        case Storage::Scalar:
            // The union's bytes, whichever member is live.
            std::memcpy(payload, &value.m_int, 8);
            break;
        case Storage::InlineText:
            std::copy_n(value.m_string->data(), head->length, payload);
            break;
        case Storage::InlineWide:
            std::copy_n(reinterpret_cast<const unsigned char*>(value.m_wstring->data()),
                        head->length * sizeof(wchar_t), payload);
            break;
        case Storage::SharedText:
            new (payload) std::shared_ptr<std::string>(std::move(value.m_string));
            break;
        case Storage::SharedWide:
            new (payload) std::shared_ptr<std::wstring>(std::move(value.m_wstring));
            break;
        case Storage::NoText:
            break;
    }
    return payload + PayloadBytes(*head);
}

unsigned char* WriteText(unsigned char* out, std::string_view text) noexcept {
    const auto* head = new (out) ValueHead(TextHead(text));
    std::copy_n(text.data(), text.size(), out + sizeof(ValueHead));
    return out + ValueSize(*head);
}

template <typename T>
T& PayloadAs(const unsigned char* payload) noexcept {
    // The record's bytes were written as a T by WriteValue; the reader only ever hands out copies.
    return *std::launder(reinterpret_cast<T*>(const_cast<unsigned char*>(payload)));
}

// Reads one value at in into value and returns the end of it. Short text equal to the last text
// read through the same cache shares its string: hosts repeat their names from event to event,
// and a string, once in a value, is never changed.
// Whether text of length bytes at payload equals the string: short names, compared in place.
bool SameText(const std::string& text, const unsigned char* payload, size_t length) noexcept {
    if (text.size() != length) {
        return false;
    }
    size_t done = 0;
    for (; done + 8 <= length; done += 8) {
        uint64_t ours = 0;
        uint64_t theirs = 0;
        std::memcpy(&ours, text.data() + done, 8);
        std::memcpy(&theirs, payload + done, 8);
        if (ours != theirs) {
            return false;
        }
    }
    for (; done < length; ++done) {
        if (static_cast<unsigned char>(text[done]) != payload[done]) {
            return false;
        }
    }
    return true;
}

const unsigned char* ReadValue(const unsigned char* in, MetricsValue& value,
                               std::shared_ptr<std::string>* cache = nullptr) {
    const auto& head = *reinterpret_cast<const ValueHead*>(in);
    const unsigned char* payload = in + sizeof(ValueHead);
    // The two shapes that make up nearly every event: a number, and the same short name as the
    // last event's, already in the value (no reference changes hands).
    if (head.storage == Storage::Scalar && !value.m_string && !value.m_wstring) {
        value.m_type = static_cast<MetricsValueType>(head.type);
        std::memcpy(&value.m_int, payload, 8);
        return payload + 8;
    }
    if (head.storage == Storage::InlineText && cache != nullptr && *cache &&
        value.m_type == MetricsValueType::String && value.m_string == *cache &&
        SameText(**cache, payload, head.length)) {
        return payload + PayloadBytes(head);
    }
    value.m_type = static_cast<MetricsValueType>(head.type);
    value.m_int = 0;
    value.m_string.reset();
    value.m_wstring.reset();
    switch (head.storage) {
        case Storage::Scalar:
            std::memcpy(&value.m_int, payload, 8);
            break;
        case Storage::InlineText: {
            const std::string_view text(reinterpret_cast<const char*>(payload), head.length);
            if (cache != nullptr && *cache && **cache == text) {
                value.m_string = *cache;
            } else {
                value.m_string = std::make_shared<std::string>(text);
                if (cache != nullptr) {
                    *cache = value.m_string;
                }
            }
            break;
        }
        case Storage::InlineWide: {
            auto text = std::make_shared<std::wstring>(head.length, L'\0');
            std::memcpy(text->data(), payload, head.length * sizeof(wchar_t));
            value.m_wstring = std::move(text);
            break;
        }
        case Storage::SharedText:
            value.m_string = PayloadAs<std::shared_ptr<std::string>>(payload);
            break;
        case Storage::SharedWide:
            value.m_wstring = PayloadAs<std::shared_ptr<std::wstring>>(payload);
            break;
        case Storage::NoText:
            break;
    }
    return payload + PayloadBytes(head);
}

// Lets go of what one value owns and returns the end of it.
const unsigned char* DestroyValue(const unsigned char* in) noexcept {
    const auto& head = *reinterpret_cast<const ValueHead*>(in);
    const unsigned char* payload = in + sizeof(ValueHead);
    if (head.storage == Storage::SharedText) {
        PayloadAs<std::shared_ptr<std::string>>(payload).~shared_ptr();
    } else if (head.storage == Storage::SharedWide) {
        PayloadAs<std::shared_ptr<std::wstring>>(payload).~shared_ptr();
    }
    return payload + PayloadBytes(head);
}

const unsigned char* BodyOf(const RecordHead& record) noexcept {
    return reinterpret_cast<const unsigned char*>(&record) + sizeof(RecordHead);
}

// Whether a walk over a record's values ended where its writer said the record ends.
[[maybe_unused]] bool EndsRecord(const RecordHead& record, const unsigned char* end) noexcept {
    return end == reinterpret_cast<const unsigned char*>(&record) + record.size;
}

std::shared_ptr<MetricsEvent>& SharedEventOf(const RecordHead& record) noexcept {
    return PayloadAs<std::shared_ptr<MetricsEvent>>(BodyOf(record));
}

}  // namespace

size_t BuiltRecordSize(const MetricsEvent& event, const std::string_view* name) noexcept {
    size_t size = sizeof(RecordHead) +
                  (name != nullptr ? ValueSize(TextHead(*name)) : ValueSize(HeadOf(event.param1))) +
                  ValueSize(HeadOf(event.param2));
    for (const auto& pair : event.paramPairs) {
        size += ValueSize(HeadOf(pair.first)) + ValueSize(HeadOf(pair.second));
    }
    return size;
}

void WriteBuiltRecord(void* place, size_t size, MetricsEvent& event, const std::string_view* name,
                      uint8_t flags) noexcept {
    auto* head = new (place) RecordHead{};
    head->size = static_cast<uint32_t>(size);
    head->kind = RecordHead::Kind::Built;
    head->eventType = static_cast<int32_t>(event.eventType);
    head->pairCount = static_cast<uint32_t>(event.paramPairs.size());
    head->datetimeMicroseconds = event.datetimeSeconds * 1000000ULL + event.datetimeMicroseconds;
    head->subjectId = event.subjectId;
    head->contextId = event.contextId;
    head->bits = event.bits;
    unsigned char* out = static_cast<unsigned char*>(place) + sizeof(RecordHead);
    bool owns = false;
    const auto write = [&](MetricsValue& value) {
        const unsigned char* start = out;
        out = WriteValue(out, value);
        const Storage storage = reinterpret_cast<const ValueHead*>(start)->storage;
        owns = owns || storage == Storage::SharedText || storage == Storage::SharedWide;
    };
    if (name != nullptr) {
        out = WriteText(out, *name);
    } else {
        write(event.param1);
    }
    write(event.param2);
    for (auto& pair : event.paramPairs) {
        write(pair.first);
        write(pair.second);
    }
    head->flags = static_cast<uint8_t>(flags | (owns ? RecordHead::kOwnsReferences : 0));
    assert(EndsRecord(*head, out));
}

void WriteSharedRecord(void* place, std::shared_ptr<MetricsEvent>&& event, uint8_t flags) noexcept {
    auto* head = new (place) RecordHead{};
    head->size = static_cast<uint32_t>(kSharedRecordSize);
    head->kind = RecordHead::Kind::Shared;
    head->flags = static_cast<uint8_t>(flags | RecordHead::kOwnsReferences);
    new (static_cast<unsigned char*>(place) + sizeof(RecordHead))
        std::shared_ptr<MetricsEvent>(std::move(event));
}

void DestroyRecordReferences(const RecordHead& record) noexcept {
    if (record.kind == RecordHead::Kind::Shared) {
        SharedEventOf(record).~shared_ptr();
        return;
    }
    const unsigned char* in = DestroyValue(DestroyValue(BodyOf(record)));
    for (uint32_t i = 0; i < record.pairCount; ++i) {
        in = DestroyValue(DestroyValue(in));
    }
    assert(EndsRecord(record, in));
}

const MetricsEvent& RecordReader::Read(const RecordHead& record, StampConverter& clock) {
    if (record.kind == RecordHead::Kind::Shared) {
        return *SharedEventOf(record);
    }
    m_event.subjectId = record.subjectId;
    m_event.contextId = record.contextId;
    m_event.bits = record.bits;
    m_event.timestamp = clock.ToNs(record.StampOf());
    if ((record.flags & RecordHead::kDateTimeSet) != 0) {
        m_event.datetimeSeconds = record.datetimeMicroseconds / 1000000ULL;
        m_event.datetimeMicroseconds =
            static_cast<uint32_t>(record.datetimeMicroseconds % 1000000ULL);
    } else {
        clock.ToDateTime(m_event.timestamp, m_event.datetimeSeconds, m_event.datetimeMicroseconds);
    }
    m_event.eventType = static_cast<MetricsEventType>(record.eventType);
    const unsigned char* in = ReadValue(BodyOf(record), m_event.param1, &m_lastText[0]);
    in = ReadValue(in, m_event.param2, &m_lastText[1]);
    if (record.pairCount != 0 || !m_event.paramPairs.empty()) {
        m_event.paramPairs.resize(record.pairCount);
        for (auto& pair : m_event.paramPairs) {
            in = ReadValue(ReadValue(in, pair.first), pair.second);
        }
    }
    assert(EndsRecord(record, in));
    return m_event;
}

void RecordReader::Clear() noexcept {
    m_event.param1 = MetricsValue();
    m_event.param2 = MetricsValue();
    m_event.paramPairs.clear();
}

}  // namespace Metrics
