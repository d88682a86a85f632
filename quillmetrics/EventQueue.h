#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "EventRecord.h"
#include "PlatformThread.h"
#include "quillmetrics/MetricsEvent.h"

namespace Metrics {

// Room for a chunk's fields, before its records.
constexpr size_t kChunkHeadBytes = 64;

// A piece of a producer's buffer: its fields, then its records.
struct Chunk {
    // Bytes of whole, published records: stored by the producer, read by the consumer.
    std::atomic<size_t> filled{0};
    // The chunk that follows, set once this one takes no more records.
    std::atomic<Chunk*> next{nullptr};
    size_t capacity;
    // Consumer only: chunks read to their end in this round, given back at Release.
    Chunk* emptiedNext = nullptr;
    // Among the producer's spares (guarded by its sparesMutex).
    Chunk* spareNext = nullptr;

    explicit Chunk(size_t bytes)
        : capacity(bytes) {}

    unsigned char* Data() noexcept {
        return reinterpret_cast<unsigned char*>(this) + kChunkHeadBytes;
    }
    const RecordHead* At(size_t offset) noexcept {
        return reinterpret_cast<const RecordHead*>(Data() + offset);
    }

    static Chunk* Make(size_t bytes) {
        void* memory = ::operator new(kChunkHeadBytes + bytes);
        return new (memory) Chunk(bytes);
    }
    static void Free(Chunk* chunk) noexcept {
        chunk->~Chunk();
        ::operator delete(chunk);
    }
};

// The part of a producer that a push writes through: its owner's side, in front of the rest.
// The thread finds it in one load, and each field a push reads one load further: the clock's
// ordered read waits for every earlier load, so the chain of them is part of every emit's cost.
struct alignas(64) ProducerFront {
    // The count only its owner writes: relaxed, for GetQueuedEventCount (a flush goes by rounds).
    std::atomic<unsigned long long> pushed{0};
    CounterCheck counterCheck;
    Chunk* writeChunk;
    size_t writeOffset = 0;
    size_t writeCapacity;  // writeChunk's
    // The queue it feeds, by number: a queue made later at the same address is another queue.
    const unsigned long long queue;

    ProducerFront(Chunk* first, unsigned long long queueId) noexcept
        : writeChunk(first)
        , writeCapacity(first->capacity)
        , queue(queueId) {}

    // Makes the record at the reserved place visible to the consumer.
    void Publish(size_t size) noexcept {
        writeOffset += size;
        writeChunk->filled.store(writeOffset, std::memory_order_release);
    }
};

#if !defined(_WIN32)
// The thread's own producer, kept where every push finds it in one load; cleared when the thread
// ends. Linux threads run no fibers, so the thread's value is the fiber's. Windows looks it up in
// the fiber's slot.
extern QUILLMETRICS_EMIT_TLS QUILLMETRICS_THREAD_POINTER ProducerFront* t_producer;
#endif

// The hand-off from emitting threads to the background thread.
//
// Each producer thread writes records (see EventRecord.h) into a buffer of its own, a chain of
// chunks that only it writes and only the background thread reads, so producers share no cache
// line and allocate nothing per event. A full chunk is followed by a new one (or by the last
// chunk the background thread finished with): an emit never waits for the consumer and never
// drops an event; a stalled consumer costs memory, in chunks, until it moves again.
//
// The background thread works in rounds: it advances a round number, then reads every buffer. A
// producer tags each record with the round number it reads just before writing, and a round
// delivers only records tagged with an earlier round: a record tagged so was written before the
// round began, so everything that happened before it has been written too. Within a round the
// buffers are merged by (tag, era, stamp) (see MetricsClock.h), which keeps each thread's order and
// puts an event after any event that happened before it on another thread. A flush waits for the
// round that delivers every record tagged before it began, so an emit counts nothing shared.
class EventQueue {
public:
    struct Producer;

    EventQueue();
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;
    ~EventQueue();

    // Any thread. Push keeps the host's event whole, stamped by the caller (stop marks the
    // manager's own shutdown event). PushBuilt copies a built event's fields into the record,
    // moving long text out of it; the queue stamps it, unless the caller gives the stamp it
    // converted for the event (the datetime is then the event's). A name, when given, stands for
    // the built event's first value: borrowed text, copied into the record (the caller keeps long
    // names as values instead). PushNamed writes the library's most frequent event straight into
    // the record: a name of at most kInlineTextBytes and a number. Each returns the stamp. May
    // throw std::bad_alloc; the event is then not queued.
    void Push(std::shared_ptr<MetricsEvent> event, const Stamp& stamp, bool stop = false);
    Stamp PushBuilt(MetricsEvent& event, const std::string_view* name = nullptr,
                    const Stamp* stamp = nullptr, bool stop = false);
    // Inline, so that the caller's arguments go straight into the record and nothing is kept
    // across a call but the clock's.
    Stamp PushNamed(MetricsEventType type, unsigned long long subject, unsigned long long contextId,
                    unsigned long long bits, std::string_view name, const MetricsValue& second) {
        if (ProducerFront* producer = OwnProducer()) {
            const size_t size = NamedRecordSize(name.size());
            unsigned char* place = Begin(*producer, size);
            WriteNamedRecord(place, size, type, subject, contextId, bits, name, second);
            return Seal(*producer, place, size, nullptr);
        }
        return PushNamedElsewhere(type, subject, contextId, bits, name, second);
    }
    // Any thread: how many events have been pushed so far (at least every push that finished
    // before the call).
    unsigned long long PushedCount();
    // Any thread: the round whose delivery delivers every event pushed before the call.
    unsigned long long FlushRound() noexcept {
        // A read-modify-write, not a load, so that the caller's own last publish cannot be passed
        // by it: a release store may still wait in this core's store buffer while a plain load
        // reads the round, and a round taken in between would neither find the record nor count
        // it undelivered, so that the flush would return before the caller's own event went out.
        // (A fence would do the same; ThreadSanitizer does not take fences.) Other threads'
        // pushes need nothing here: what made them happen before this call made them visible.
        return m_round.fetch_add(0, std::memory_order_seq_cst);
    }

    // Background thread only. Fills batch with what can be delivered now, in delivery order, and
    // says whether records are held back for the next round. The records stay valid until
    // Release. Returns the round delivered: every record tagged up to it that was pushed before
    // this call.
    unsigned long long TakeRound(std::vector<const RecordHead*>& batch, bool& more);
    // Background thread only. Lets go of a delivered batch and of the chunks it emptied.
    void Release(std::vector<const RecordHead*>& batch);

    // Makes the per-thread slot that every queue's producers live in. Whatever calls this during
    // its own construction is destroyed before the slot: the one-time shutdown at unload pushes
    // through it.
    static void CreateThreadSlot();

    // Called by a producer each time it starts a new chunk, so that a consumer that sleeps
    // between rounds comes before a busy thread's buffer grows far: set once, before any push.
    void SetChunkStartedHook(void (*hook)(void*), void* context) noexcept {
        m_chunkStarted = hook;
        m_chunkStartedContext = context;
    }

    // Tests only: the size of each thread's first chunk (the default when 0); how long a thread's
    // spare chunks outlast its last new chunk (the default when 0); how many spares are kept.
    static void SetFirstChunkBytesForTesting(size_t bytes);
    static void SetSpareLifetimeForTesting(std::chrono::milliseconds lifetime);
    // Tests only: called on the producer's thread once it has linked a reused chunk, before it
    // writes anything there (null: nothing).
    static void SetSpareLinkedHookForTesting(void (*hook)());
    size_t SpareChunksForTesting();

private:
    // The calling thread's own producer in this queue, found in one load; null when it has none
    // yet, or where the thread's value is not kept so (Windows, whose fibers have their own).
    ProducerFront* OwnProducer() const noexcept {
#if !defined(_WIN32)
        if (t_producer != nullptr && t_producer->queue == m_id) {
            return t_producer;
        }
#endif
        return nullptr;
    }
    Producer& ThisThreadProducer();
    // The first time, or through the thread-end slot: makes and registers the thread's producer.
    Producer& FindThisThreadProducer();
    // Stamps (unless given a stamp), tags, writes and publishes one record of size bytes through
    // write(place); returns the stamp.
    template <typename Write>
    Stamp Append(size_t size, const Stamp* stamp, const Write& write);
    // Append's steps: the place of a record of size bytes (at most kMaxRecordBytes) in the
    // producer's buffer, then, once the record is written there, its stamp, tag and publication.
    unsigned char* Begin(ProducerFront& producer, size_t size) {
        unsigned char* place = producer.writeOffset + size <= producer.writeCapacity
                                   ? producer.writeChunk->Data() + producer.writeOffset
                                   : StartChunk(producer, size);
        producer.pushed.store(producer.pushed.load(std::memory_order_relaxed) + 1,
                              std::memory_order_relaxed);
        return place;
    }
    Stamp Seal(ProducerFront& producer, unsigned char* place, size_t size, const Stamp* given) {
        // Stamped before it is tagged: an event that happens after this one reads a later stamp
        // and as late a round. The record is written by then, so that the caller's arguments go
        // straight from registers into it instead of being kept across the clock's call.
        const Stamp stamp = given != nullptr ? *given : TakeStamp(producer.counterCheck);
        const unsigned long long tag = m_round.load(std::memory_order_seq_cst);
        auto* head = reinterpret_cast<RecordHead*>(place);
        head->tag = tag;
        head->stamp = stamp.raw;
        head->era = static_cast<uint16_t>(stamp.era);
        if (stamp.counter) {
            head->flags |= RecordHead::kCounterStamp;
        }
        if (kDateTimeAtEmit && given == nullptr) {
            unsigned long long seconds = 0;
            uint32_t micros = 0;
            GetDateTime(seconds, micros);
            head->datetimeMicroseconds = seconds * 1000000ULL + micros;
            head->flags |= RecordHead::kDateTimeSet;
        }
        producer.Publish(size);
        return stamp;
    }
    // Begin's way when the record does not fit the chunk: links a new one, and wakes the
    // consumer when the thread has run far ahead. Out of line, so that the common way keeps the
    // caller's arguments in registers.
    [[gnu::noinline]] unsigned char* StartChunk(ProducerFront& producer, size_t size);
    // PushNamed from a thread without a producer of its own in this queue yet.
    [[gnu::noinline]] Stamp PushNamedElsewhere(MetricsEventType type, unsigned long long subject,
                                               unsigned long long contextId,
                                               unsigned long long bits, std::string_view name,
                                               const MetricsValue& second);
    void MergeRound(std::vector<const RecordHead*>& batch);

    // Written by the background thread only, once per round; read by every push.
    alignas(64) std::atomic<unsigned long long> m_round{1};
    const unsigned long long m_id;  // tells this queue's producers from an earlier queue's
    std::mutex m_registryMutex;
    std::vector<std::shared_ptr<Producer>> m_producers;  // guarded by m_registryMutex
    unsigned long long m_retiredPushed = 0;              // guarded by m_registryMutex
    // For pushes from a thread whose own producer is already gone (thread-exit destructors), or
    // that has none in this queue: written under m_sharedMutex.
    std::shared_ptr<Producer> m_shared;
    std::mutex m_sharedMutex;
    // Background thread only: the producers of the current round, and the records each one has
    // ready, in its own order (the range m_readyRanges[i] of m_ready).
    std::vector<Producer*> m_roundProducers;
    void (*m_chunkStarted)(void*) = nullptr;
    void* m_chunkStartedContext = nullptr;
    std::vector<const RecordHead*> m_ready;
    std::vector<std::pair<size_t, size_t>> m_readyRanges;
};

}  // namespace Metrics
