#include "EventQueue.h"

#include <algorithm>
#include <queue>
#include <tuple>

#include "PlatformThread.h"

namespace Metrics {

namespace {

// How many delivered events a thread may leave to be freed at its next emit before the background
// thread frees them itself (a bound on memory, far above any batch a busy thread reclaims), and
// how many spare nodes a thread keeps.
constexpr long kMaxReturned = 1L << 20;
constexpr int kMaxSpareNodes = 512;

}  // namespace

struct EventQueue::Node {
    std::shared_ptr<MetricsEvent> event;
    unsigned long long tag = 0;
    unsigned long long stamp = 0;
    Producer* owner = nullptr;
    Node* next = nullptr;
    bool stop = false;
};

struct EventQueue::Producer {
    // Pushed by the owner (or by any thread, for the shared producer), taken by the background
    // thread.
    alignas(64) std::atomic<Node*> outbound{nullptr};
    std::atomic<unsigned long long> pushed{0};
    // Delivered nodes on their way back: pushed by the background thread, taken by the owner.
    alignas(64) std::atomic<Node*> returned{nullptr};
    std::atomic<long> returnedCount{0};
    // Set when the owning thread has ended; from then on the background thread frees returns.
    std::atomic<bool> orphaned{false};
    // Owner only.
    Node* spare = nullptr;
    int spareCount = 0;
    // Background thread only: taken but not yet delivered, oldest first.
    Node* heldHead = nullptr;
    Node* heldTail = nullptr;

    Producer() = default;
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;
    ~Producer() {
        FreeList(outbound.exchange(nullptr));
        FreeList(returned.exchange(nullptr));
        FreeList(spare);
        FreeList(heldHead);
    }

    static void FreeList(Node* node) {
        while (node != nullptr) {
            Node* next = node->next;
            delete node;
            node = next;
        }
    }

    // Frees the events the background thread has handed back, keeping a few nodes for reuse.
    void Reclaim() {
        Node* node = returned.exchange(nullptr, std::memory_order_acquire);
        long count = 0;
        while (node != nullptr) {
            Node* next = node->next;
            node->event.reset();
            if (spareCount < kMaxSpareNodes) {
                node->next = spare;
                spare = node;
                ++spareCount;
            } else {
                delete node;
            }
            node = next;
            ++count;
        }
        returnedCount.fetch_sub(count, std::memory_order_relaxed);
    }

    // Background thread: frees what came back when nobody else will.
    void DrainReturned() {
        Node* node = returned.exchange(nullptr, std::memory_order_acquire);
        long count = 0;
        for (; node != nullptr; ++count) {
            Node* next = node->next;
            delete node;
            node = next;
        }
        returnedCount.fetch_sub(count, std::memory_order_relaxed);
    }
};

namespace {

// The calling thread's producer, orphaned when the thread ends.
struct ThreadProducer {
    std::shared_ptr<EventQueue::Producer> producer;
    const EventQueue* queue = nullptr;
};

void QUILLMETRICS_THREAD_END_CALL ReleaseThreadProducer(void* value) {
    auto* local = static_cast<ThreadProducer*>(value);
    local->producer->orphaned.store(true, std::memory_order_seq_cst);
    local->producer->Reclaim();
    delete local;
}

ThreadEndSlot& ProducerSlot() {
    // A fiber may move between threads: its events go through a producer of its own.
    static ThreadEndSlot slot(&ReleaseThreadProducer, ThreadEndSlot::Reach::Fiber);
    return slot;
}

}  // namespace

EventQueue::EventQueue()
    : m_shared(std::make_shared<Producer>()) {
    // Nobody owns the shared producer: the background thread frees what comes back to it.
    m_shared->orphaned.store(true);
    m_producers.push_back(m_shared);
}

EventQueue::~EventQueue() = default;

void EventQueue::CreateThreadSlot() { ProducerSlot(); }

const std::shared_ptr<MetricsEvent>& EventQueue::EventOf(const Node* node) { return node->event; }

bool EventQueue::IsStop(const Node* node) { return node->stop; }

EventQueue::Producer& EventQueue::ThisThreadProducer() {
    ThreadEndSlot& slot = ProducerSlot();
    if (const auto* local = static_cast<const ThreadProducer*>(slot.Get())) {
        // A second queue in the process (a host-made manager) shares the slow path.
        return local->queue == this ? *local->producer : *m_shared;
    }
    auto local = std::make_unique<ThreadProducer>();
    local->producer = std::make_shared<Producer>();
    local->queue = this;
    {
        std::lock_guard<std::mutex> lock(m_registryMutex);
        m_producers.push_back(local->producer);
    }
    if (!slot.Set(local.get())) {
        // No slot for this thread: nobody would ever take back what is delivered.
        local->producer->orphaned.store(true, std::memory_order_seq_cst);
        return *m_shared;
    }
    return *local.release()->producer;
}

void EventQueue::Push(std::shared_ptr<MetricsEvent> event, bool stop) {
    Producer& producer = ThisThreadProducer();
    const bool owned = &producer != m_shared.get();
    if (owned && producer.returned.load(std::memory_order_relaxed) != nullptr) {
        producer.Reclaim();
    }
    Node* node = nullptr;
    if (owned && producer.spare != nullptr) {
        node = producer.spare;
        producer.spare = node->next;
        --producer.spareCount;
    } else {
        node = new Node();
    }
    node->stamp = event->timestamp;
    node->stop = stop;
    node->event = std::move(event);
    node->owner = &producer;
    // Counted before it is tagged and pushed, so that a flush that has seen the count also waits
    // for the event (seq_cst: the count, the tag and the round form one order).
    producer.pushed.fetch_add(1, std::memory_order_seq_cst);
    node->tag = m_round.load(std::memory_order_seq_cst);
    node->next = producer.outbound.load(std::memory_order_relaxed);
    // release: the background thread that takes the stack sees the complete node.
    while (!producer.outbound.compare_exchange_weak(node->next, node, std::memory_order_release,
                                                    std::memory_order_relaxed)) {
    }
}

unsigned long long EventQueue::PushedCount() {
    std::lock_guard<std::mutex> lock(m_registryMutex);
    unsigned long long total = m_retiredPushed;
    for (const auto& producer : m_producers) {
        total += producer->pushed.load(std::memory_order_seq_cst);
    }
    return total;
}

void EventQueue::TakeRound(std::vector<Node*>& batch, bool& more) {
    batch.clear();
    more = false;
    // Events tagged with a round before this one were pushed before the store below.
    const unsigned long long deliverable = m_round.load(std::memory_order_relaxed);
    m_round.store(deliverable + 1, std::memory_order_seq_cst);

    m_roundProducers.clear();
    {
        std::lock_guard<std::mutex> lock(m_registryMutex);
        // A producer whose thread has ended and whose events are all delivered is done with.
        auto retired = std::remove_if(m_producers.begin(), m_producers.end(), [&](const auto& p) {
            const bool done = p != m_shared && p->orphaned.load(std::memory_order_seq_cst) &&
                              p->heldHead == nullptr &&
                              p->outbound.load(std::memory_order_acquire) == nullptr &&
                              p->returned.load(std::memory_order_acquire) == nullptr;
            if (done) {
                m_retiredPushed += p->pushed.load(std::memory_order_seq_cst);
            }
            return done;
        });
        m_producers.erase(retired, m_producers.end());
        for (const auto& producer : m_producers) {
            m_roundProducers.push_back(producer.get());
        }
    }

    for (Producer* producer : m_roundProducers) {
        // Newest first on the stack: reverse it onto the end of the held list.
        Node* taken = producer->outbound.exchange(nullptr, std::memory_order_acquire);
        Node* oldestFirst = nullptr;
        Node* last = taken;
        while (taken != nullptr) {
            Node* next = taken->next;
            taken->next = oldestFirst;
            oldestFirst = taken;
            taken = next;
        }
        if (oldestFirst != nullptr) {
            if (producer->heldTail != nullptr) {
                producer->heldTail->next = oldestFirst;
            } else {
                producer->heldHead = oldestFirst;
            }
            producer->heldTail = last;
        }
    }

    const auto takeHead = [](Producer* producer) {
        Node* node = producer->heldHead;
        producer->heldHead = node->next;
        if (producer->heldHead == nullptr) {
            producer->heldTail = nullptr;
        }
        node->next = nullptr;
        return node;
    };
    using Key = std::tuple<unsigned long long, unsigned long long, size_t>;
    std::priority_queue<Key, std::vector<Key>, std::greater<>> heads;
    for (size_t i = 0; i < m_roundProducers.size(); ++i) {
        const Node* head = m_roundProducers[i]->heldHead;
        if (head != nullptr && head->tag <= deliverable) {
            heads.emplace(head->tag, head->stamp, i);
        }
    }
    while (!heads.empty()) {
        const size_t index = std::get<2>(heads.top());
        heads.pop();
        Producer* producer = m_roundProducers[index];
        batch.push_back(takeHead(producer));
        const Node* head = producer->heldHead;
        // A run of one producer's events needs no comparison while it stays ahead of the others.
        while (head != nullptr && head->tag <= deliverable &&
               (heads.empty() || Key(head->tag, head->stamp, index) <= heads.top())) {
            batch.push_back(takeHead(producer));
            head = producer->heldHead;
        }
        if (head != nullptr && head->tag <= deliverable) {
            heads.emplace(head->tag, head->stamp, index);
        }
    }
    for (const Producer* producer : m_roundProducers) {
        more = more || producer->heldHead != nullptr;
    }
}

void EventQueue::Release(std::vector<Node*>& batch) {
    for (Node* node : batch) {
        Producer* owner = node->owner;
        node->next = owner->returned.load(std::memory_order_relaxed);
        while (!owner->returned.compare_exchange_weak(node->next, node, std::memory_order_release,
                                                      std::memory_order_relaxed)) {
        }
        owner->returnedCount.fetch_add(1, std::memory_order_relaxed);
    }
    batch.clear();
    // The owner frees nothing once its thread has ended: free for it.
    for (Producer* producer : m_roundProducers) {
        if (producer->orphaned.load(std::memory_order_seq_cst) ||
            producer->returnedCount.load(std::memory_order_relaxed) > kMaxReturned) {
            producer->DrainReturned();
        }
    }
}

void EventQueue::ReleaseIdle() {
    // Nothing is arriving: a thread that still has delivered events waiting has gone quiet, and
    // would hold them until it emits again.
    for (Producer* producer : m_roundProducers) {
        if (producer->returned.load(std::memory_order_relaxed) != nullptr) {
            producer->DrainReturned();
        }
    }
}

}  // namespace Metrics
