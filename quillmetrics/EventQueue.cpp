#include "EventQueue.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <new>
#include <queue>
#include <tuple>

#include "PlatformThread.h"

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace Metrics {

namespace {

// A thread's first chunk is small, since most threads emit little; each further chunk doubles, up
// to kMaxChunkBytes, so that a busy thread allocates rarely. A record larger than that gets a
// chunk of its own size.
constexpr size_t kFirstChunkBytes = 2048;
constexpr size_t kMaxChunkBytes = size_t{64} * 1024;
// Emptied chunks a thread keeps for reuse: as many as it has had in flight (up to 16 MiB), so that
// once its buffer has grown to what its load needs (a consumer held up for a few milliseconds
// leaves tens of chunks in flight) it writes only into memory it touched before. A thread that
// starts no chunk for kSpareLifetime gives them back.
constexpr size_t kMaxSpareChunks = 256;
constexpr std::chrono::milliseconds kSpareLifetime{1000};
std::atomic<long long> s_spareLifetimeMs{kSpareLifetime.count()};
// Tests only: called once a reused chunk is linked, before anything is written into it.
std::atomic<void (*)()> s_spareLinked{nullptr};
// How many chunks a thread may fill ahead of the consumer before it wakes a sleeping consumer:
// enough that a consumer reading alongside a busy producer does not contend with it for the same
// lines, few enough that a busy thread's backlog stays within a megabyte or so.
constexpr unsigned long long kWakeAfterChunks = 16;
std::atomic<size_t> s_firstChunkBytes{kFirstChunkBytes};

// Records longer than this are refused as out of memory: their size must fit the record head.
constexpr size_t kMaxRecordBytes = size_t{1} << 30;

// Moves a chunk's lines out of every core's cache, on to memory. The consumer has just read them
// from the producer's cache; kept there, they would make the producer's next write to each line
// wait for the consumer's core to give it up, which costs little on cores that share a cache and
// two or three times the whole emit on cores that do not (a virtual machine's cores may be either,
// and change from one minute to the next). From memory, the write costs the same wherever the two
// threads run.
void EvictFromCaches(const unsigned char* bytes, size_t size) noexcept {
#if defined(__x86_64__)
    for (size_t offset = 0; offset < size; offset += 64) {
        _mm_clflush(bytes + offset);
    }
#else
    (void)bytes;
    (void)size;
#endif
}

}  // namespace

struct EventQueue::Producer : ProducerFront {
    // The rest of the owner's side (any thread under the queue's lock, for the shared producer).
    size_t nextChunkBytes;
    // Chunks the consumer emptied, waiting to be written again, so that a producer that runs
    // ahead of the consumer does not go back to the allocator (and the system's fresh pages) for
    // every chunk. Taken once per chunk by the owner, given back once per round by the consumer.
    std::mutex sparesMutex;
    Chunk* spares = nullptr;  // guarded by sparesMutex
    size_t spareCount = 0;    // guarded by sparesMutex
    // Chunks started by the owner (owner only) and emptied by the consumer.
    unsigned long long chunksStarted = 1;
    std::atomic<unsigned long long> chunksEmptied{0};
    // Set when the owning thread has ended; once it is read empty, the producer is done with.
    std::atomic<bool> orphaned{false};

    // The background thread's side: where reading goes on, and the chunks this round emptied.
    alignas(64) Chunk* readChunk;
    size_t readOffset = 0;
    Chunk* emptied = nullptr;
    // When the owner last started a chunk, as the consumer saw it, for giving spares back.
    unsigned long long emptiedSeen = 0;
    std::chrono::steady_clock::time_point lastChunkSeen = std::chrono::steady_clock::now();
    unsigned long long lastTag = 0;  // tags only ever grow in a producer's order

    Producer(size_t firstChunkBytes, unsigned long long queueId)
        : ProducerFront(Chunk::Make(firstChunkBytes), queueId)
        , nextChunkBytes(std::min(firstChunkBytes * 2, kMaxChunkBytes))
        , readChunk(writeChunk) {}
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;
    ~Producer() {
        // Whatever was never delivered (a queue that goes before its thread ends) is let go here.
        Chunk* chunk = readChunk;
        size_t offset = readOffset;
        while (chunk != nullptr) {
            const size_t filled = chunk->filled.load(std::memory_order_acquire);
            for (; offset < filled; offset += chunk->At(offset)->size) {
                DestroyRecord(*chunk->At(offset));
            }
            Chunk* next = chunk->next.load(std::memory_order_acquire);
            Chunk::Free(chunk);
            chunk = next;
            offset = 0;
        }
        GiveBackEmptied();
        FreeSpares();
    }

    // Owner: a chunk of at least wanted bytes that the consumer gave back, or null. Smaller ones
    // (from before the chunks grew to their full size) are freed on the way.
    Chunk* TakeSpare(size_t wanted) noexcept {
        Chunk* small = nullptr;
        Chunk* spare = nullptr;
        {
            std::lock_guard<std::mutex> lock(sparesMutex);
            while (spares != nullptr && spare == nullptr) {
                Chunk* chunk = spares;
                spares = chunk->spareNext;
                --spareCount;
                if (chunk->capacity >= wanted) {
                    spare = chunk;
                } else {
                    chunk->spareNext = small;
                    small = chunk;
                }
            }
        }
        while (small != nullptr) {
            Chunk* next = small->spareNext;
            Chunk::Free(small);
            small = next;
        }
        return spare;
    }

    // Consumer: lets the allocator have the spares back.
    void FreeSpares() noexcept {
        Chunk* chunk = nullptr;
        {
            std::lock_guard<std::mutex> lock(sparesMutex);
            chunk = spares;
            spares = nullptr;
            spareCount = 0;
        }
        while (chunk != nullptr) {
            Chunk* next = chunk->spareNext;
            Chunk::Free(chunk);
            chunk = next;
        }
    }

    // Owner: links a fresh or spare chunk of at least size bytes and returns its start. May throw
    // std::bad_alloc, changing nothing.
    unsigned char* StartChunk(size_t size) {
        const size_t wanted = std::max(nextChunkBytes, size);
        Chunk* fresh = TakeSpare(wanted);
        const bool reused = fresh != nullptr;
        if (!reused) {
            fresh = Chunk::Make(wanted);
        } else {
            fresh->filled.store(0, std::memory_order_relaxed);
            fresh->next.store(nullptr, std::memory_order_relaxed);
        }
        nextChunkBytes = std::min(nextChunkBytes * 2, kMaxChunkBytes);
        ++chunksStarted;
        // release: the consumer that follows the link sees the chunk's fields and the last
        // records of this one.
        writeChunk->next.store(fresh, std::memory_order_release);
        writeChunk = fresh;
        writeOffset = 0;
        writeCapacity = fresh->capacity;
        if (reused) {
            if (auto* linked = s_spareLinked.load(std::memory_order_relaxed)) {
                linked();
            }
        }
        return fresh->Data();
    }

    // Consumer: appends to ready every record up to the first tagged after deliverable; says
    // whether it met one.
    bool Read(unsigned long long deliverable, std::vector<const RecordHead*>& ready) {
        while (true) {
            const size_t filled = readChunk->filled.load(std::memory_order_acquire);
            for (; readOffset < filled; readOffset += readChunk->At(readOffset)->size) {
                const RecordHead* record = readChunk->At(readOffset);
                if (record->tag > deliverable) {
                    return true;
                }
                assert(record->tag >= lastTag);
                lastTag = record->tag;
                ready.push_back(record);
            }
            Chunk* next = readChunk->next.load(std::memory_order_acquire);
            if (next == nullptr) {
                return false;
            }
            // Records written before the link was set may have come in meanwhile.
            if (readOffset < readChunk->filled.load(std::memory_order_acquire)) {
                continue;
            }
            readChunk->emptiedNext = emptied;
            emptied = readChunk;
            chunksEmptied.fetch_add(1, std::memory_order_relaxed);
            readChunk = next;
            readOffset = 0;
        }
    }

    // Consumer: whether everything written has been read.
    bool ReadAll() const {
        return readOffset == readChunk->filled.load(std::memory_order_acquire) &&
               readChunk->next.load(std::memory_order_acquire) == nullptr;
    }

    // Consumer, once the records in them are delivered: keeps emptied chunks of the usual size
    // for the owner to write again while there is room among the spares, and frees the others.
    void GiveBackEmptied() noexcept {
        Chunk* extra = nullptr;
        // Before taking the lock, which the owner takes for its next chunk.
        for (Chunk* chunk = emptied; chunk != nullptr; chunk = chunk->emptiedNext) {
            if (chunk->capacity <= kMaxChunkBytes) {
                EvictFromCaches(chunk->Data(), chunk->capacity);
            }
        }
        if (emptied != nullptr) {
            std::lock_guard<std::mutex> lock(sparesMutex);
            while (emptied != nullptr) {
                Chunk* chunk = emptied;
                emptied = chunk->emptiedNext;
                chunk->emptiedNext = nullptr;
                if (chunk->capacity <= kMaxChunkBytes && spareCount < kMaxSpareChunks) {
                    chunk->spareNext = spares;
                    spares = chunk;
                    ++spareCount;
                } else {
                    chunk->spareNext = extra;
                    extra = chunk;
                }
            }
        }
        while (extra != nullptr) {
            Chunk* next = extra->spareNext;
            Chunk::Free(extra);
            extra = next;
        }
    }

    // Consumer: frees the spares of an owner that has started no chunk for the spares' lifetime.
    void GiveBackIdleSpares(std::chrono::steady_clock::time_point now) noexcept {
        const unsigned long long emptiedNow = chunksEmptied.load(std::memory_order_relaxed);
        if (emptiedNow != emptiedSeen) {
            emptiedSeen = emptiedNow;
            lastChunkSeen = now;
            return;
        }
        if (now - lastChunkSeen <
            std::chrono::milliseconds(s_spareLifetimeMs.load(std::memory_order_relaxed))) {
            return;
        }
        FreeSpares();
    }

    size_t SpareCount() noexcept {
        std::lock_guard<std::mutex> lock(sparesMutex);
        return spareCount;
    }
};

static_assert(sizeof(Chunk) <= kChunkHeadBytes, "a chunk's fields fit before its records");

namespace {

// The calling thread's producer, orphaned when the thread ends.
struct ThreadProducer {
    std::shared_ptr<EventQueue::Producer> producer;
};

std::atomic<unsigned long long> s_lastQueueId{0};

void QUILLMETRICS_THREAD_END_CALL ReleaseThreadProducer(void* value) {
    auto* local = static_cast<ThreadProducer*>(value);
#if !defined(_WIN32)
    t_producer = nullptr;
#endif
    local->producer->orphaned.store(true, std::memory_order_seq_cst);
    delete local;
}

ThreadEndSlot& ProducerSlot() {
    // A fiber may move between threads: its events go through a producer of its own.
    static ThreadEndSlot slot(&ReleaseThreadProducer, ThreadEndSlot::Reach::Fiber);
    return slot;
}

}  // namespace

#if !defined(_WIN32)
QUILLMETRICS_EMIT_TLS QUILLMETRICS_THREAD_POINTER ProducerFront* t_producer = nullptr;
#endif

EventQueue::EventQueue()
    : m_id(s_lastQueueId.fetch_add(1) + 1)
    , m_shared(std::make_shared<Producer>(kFirstChunkBytes, m_id)) {
    m_producers.push_back(m_shared);
}

EventQueue::~EventQueue() = default;

void EventQueue::CreateThreadSlot() { ProducerSlot(); }

void EventQueue::SetFirstChunkBytesForTesting(size_t bytes) {
    s_firstChunkBytes.store(bytes == 0 ? kFirstChunkBytes : bytes);
}

void EventQueue::SetSpareLinkedHookForTesting(void (*hook)()) { s_spareLinked.store(hook); }

void EventQueue::SetSpareLifetimeForTesting(std::chrono::milliseconds lifetime) {
    s_spareLifetimeMs.store(lifetime.count() == 0 ? kSpareLifetime.count() : lifetime.count());
}

size_t EventQueue::SpareChunksForTesting() {
    std::lock_guard<std::mutex> lock(m_registryMutex);
    size_t count = 0;
    for (const auto& producer : m_producers) {
        count += producer->SpareCount();
    }
    return count;
}

inline EventQueue::Producer& EventQueue::ThisThreadProducer() {
    if (ProducerFront* own = OwnProducer()) {
        return static_cast<Producer&>(*own);
    }
    return FindThisThreadProducer();
}

EventQueue::Producer& EventQueue::FindThisThreadProducer() {
    ThreadEndSlot& slot = ProducerSlot();
    if (const auto* local = static_cast<const ThreadProducer*>(slot.Get())) {
        // A second queue in the process (a host-made manager) shares the slow path.
        return local->producer->queue == m_id ? *local->producer : *m_shared;
    }
    auto local = std::make_unique<ThreadProducer>();
    local->producer = std::make_shared<Producer>(s_firstChunkBytes.load(), m_id);
    {
        std::lock_guard<std::mutex> lock(m_registryMutex);
        m_producers.push_back(local->producer);
    }
    if (!slot.Set(local.get())) {
        // No slot for this thread: nobody would ever mark the producer ended.
        local->producer->orphaned.store(true, std::memory_order_seq_cst);
        return *m_shared;
    }
#if !defined(_WIN32)
    t_producer = local->producer.get();
#endif
    return *local.release()->producer;
}

unsigned char* EventQueue::StartChunk(ProducerFront& front, size_t size) {
    auto& producer = static_cast<Producer&>(front);
    unsigned char* place = producer.StartChunk(size);
    if (m_chunkStarted != nullptr &&
        producer.chunksStarted - producer.chunksEmptied.load(std::memory_order_relaxed) >=
            kWakeAfterChunks) {
        m_chunkStarted(m_chunkStartedContext);
    }
    return place;
}

template <typename Write>
Stamp EventQueue::Append(size_t size, const Stamp* given, const Write& write) {
    if (size > kMaxRecordBytes) {
        throw std::bad_alloc();
    }
    Producer& producer = ThisThreadProducer();
    std::unique_lock<std::mutex> lock(m_sharedMutex, std::defer_lock);
    if (&producer == m_shared.get()) {
        lock.lock();
    }
    unsigned char* place = Begin(producer, size);
    write(place);
    return Seal(producer, place, size, given);
}

void EventQueue::Push(std::shared_ptr<MetricsEvent> event, const Stamp& stamp, bool stop) {
    Append(kSharedRecordSize, &stamp, [&](unsigned char* place) {
        WriteSharedRecord(place, std::move(event), stop ? RecordHead::kStop : 0);
    });
}

Stamp EventQueue::PushBuilt(MetricsEvent& event, const std::string_view* name, const Stamp* stamp,
                            bool stop) {
    const size_t size = BuiltRecordSize(event, name);
    const auto flags = static_cast<uint8_t>((stop ? RecordHead::kStop : 0) |
                                            (stamp != nullptr ? RecordHead::kDateTimeSet : 0));
    return Append(size, stamp,
                  [&](unsigned char* place) { WriteBuiltRecord(place, size, event, name, flags); });
}

Stamp EventQueue::PushNamedElsewhere(MetricsEventType type, unsigned long long subject,
                                     unsigned long long contextId, unsigned long long bits,
                                     std::string_view name, const MetricsValue& second) {
    const size_t size = NamedRecordSize(name.size());
    return Append(size, nullptr, [&](unsigned char* place) {
        WriteNamedRecord(place, size, type, subject, contextId, bits, name, second);
    });
}

unsigned long long EventQueue::PushedCount() {
    std::lock_guard<std::mutex> lock(m_registryMutex);
    unsigned long long total = m_retiredPushed;
    for (const auto& producer : m_producers) {
        total += producer->pushed.load(std::memory_order_relaxed);
    }
    return total;
}

unsigned long long EventQueue::TakeRound(std::vector<const RecordHead*>& batch, bool& more) {
    batch.clear();
    more = false;
    // Records tagged with a round before this one were written before the store below.
    //
    // What this relies on: the loads of the producers' published ends below are not performed
    // before this store. An emit that happens after another thread's publish and reads the old
    // round is then sure to find that publish seen here (store, then load: the one order that
    // release and acquire do not give). x86-64 keeps it, the seq_cst store being an xchg, a full
    // barrier; ARMv8 keeps it through the registry mutex's acquire below, which a later load
    // cannot pass. The C++ model alone does not promise it: that would take the publish too in the
    // single seq_cst order (an xchg or a fence on every emit), which costs the emit more than the
    // rest of its own work.
    const unsigned long long deliverable = m_round.load(std::memory_order_relaxed);
    m_round.store(deliverable + 1, std::memory_order_seq_cst);

    m_roundProducers.clear();
    {
        std::lock_guard<std::mutex> lock(m_registryMutex);
        for (const auto& producer : m_producers) {
            m_roundProducers.push_back(producer.get());
        }
    }

    m_ready.clear();
    m_readyRanges.clear();
    for (Producer* producer : m_roundProducers) {
        const size_t start = m_ready.size();
        more = producer->Read(deliverable, m_ready) || more;
        m_readyRanges.emplace_back(start, m_ready.size());
    }
    MergeRound(batch);
    return deliverable;
}

void EventQueue::MergeRound(std::vector<const RecordHead*>& batch) {
    // Each producer's range: its next record, as they are taken, and its end.
    auto& ranges = m_readyRanges;
    const auto busy = std::count_if(ranges.begin(), ranges.end(),
                                    [](const auto& range) { return range.first < range.second; });
    if (busy <= 1) {
        // At most one thread's records, in order already: m_ready holds only those.
        batch.swap(m_ready);
        return;
    }
    using Key = std::tuple<unsigned long long, uint16_t, unsigned long long, size_t>;
    const auto keyOf = [&](size_t i) {
        const RecordHead* record = m_ready[ranges[i].first];
        return Key(record->tag, record->era, record->stamp, i);
    };
    const auto hasNext = [&](size_t i) { return ranges[i].first < ranges[i].second; };
    std::priority_queue<Key, std::vector<Key>, std::greater<>> heads;
    for (size_t i = 0; i < ranges.size(); ++i) {
        if (hasNext(i)) {
            heads.push(keyOf(i));
        }
    }
    while (!heads.empty()) {
        const size_t index = std::get<3>(heads.top());
        heads.pop();
        batch.push_back(m_ready[ranges[index].first++]);
        // A run of one producer's records needs no comparison while it stays ahead of the others.
        while (hasNext(index) && (heads.empty() || keyOf(index) <= heads.top())) {
            batch.push_back(m_ready[ranges[index].first++]);
        }
        if (hasNext(index)) {
            heads.push(keyOf(index));
        }
    }
}

void EventQueue::Release(std::vector<const RecordHead*>& batch) {
    for (const RecordHead* record : batch) {
        DestroyRecord(*record);
    }
    batch.clear();
    const auto now = std::chrono::steady_clock::now();
    for (Producer* producer : m_roundProducers) {
        producer->GiveBackEmptied();
        producer->GiveBackIdleSpares(now);
    }
    // A producer whose thread has ended and whose records are all delivered is done with: at
    // once, so that a flush that follows finds its memory freed.
    std::lock_guard<std::mutex> lock(m_registryMutex);
    auto retired = std::remove_if(m_producers.begin(), m_producers.end(), [&](const auto& p) {
        const bool done =
            p != m_shared && p->orphaned.load(std::memory_order_seq_cst) && p->ReadAll();
        if (done) {
            m_retiredPushed += p->pushed.load(std::memory_order_relaxed);
        }
        return done;
    });
    m_producers.erase(retired, m_producers.end());
    m_roundProducers.clear();
}

}  // namespace Metrics
