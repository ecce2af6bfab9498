// The patch engine's event queue under load: four threads each queue 250,000
// STATUS events while the consumer delivers every 10 ms, against a std::mutex
// and std::vector append-and-swap queue carrying the same bytes. Both sides
// check that every event arrives once and in its producer's order.
#include "patcher/patcherevents.h"
#include "core/zyl.h"

#include "bench/bench_main.h"
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kProducers = 4;
const int kEach = 250000;
const auto kTick = std::chrono::milliseconds(10);

// What the consumer saw: per producer the next sequence number expected.
struct Tally {
    int next[kProducers];
    int total;
    int wrong;
};

void Count(Tally *tally, const char *name, const PatcherPackageStatus &status) {
    int producer = name[1] - '0';
    if (name[0] != 'p' || producer < 0 || producer >= kProducers ||
        status.TargetVersion != tally->next[producer])
        tally->wrong++;
    else
        tally->next[producer]++;
    tally->total++;
}

int OnStatus(const char *name, void *user, PatcherPackageStatus status) {
    Count(static_cast<Tally *>(user), name, status);
    return 1;
}

bool Complete(const Tally &tally) {
    if (tally.wrong != 0 || tally.total != kProducers * kEach)
        return false;
    for (int next : tally.next)
        if (next != kEach)
            return false;
    return true;
}

// Runs the producers and calls drain every tick until every event was seen.
template <typename Produce, typename Drain>
void RunOnce(const Produce &produce, const Drain &drain, Tally *tally) {
    memset(tally, 0, sizeof(*tally));
    std::vector<std::thread> producers;
    producers.reserve(kProducers);
    for (int p = 0; p < kProducers; ++p)
        producers.emplace_back([&produce, p] {
            PatcherPackageStatus status;
            PatcherPackageStatus_Init(&status);
            char name[8] = {'p', static_cast<char>('0' + p), 0};
            for (int i = 0; i < kEach; ++i) {
                status.TargetVersion = i;
                produce(name, status);
            }
        });
    for (;;) {
        std::this_thread::sleep_for(kTick);
        drain();
        if (tally->total >= kProducers * kEach || tally->wrong != 0)
            break;
    }
    for (std::thread &producer : producers)
        producer.join();
}

// One untimed run that grows the queue's buffers, then the timed runs, each
// checked.
template <typename Produce, typename Drain>
void Measure(benchmark::State &state, const Produce &produce, const Drain &drain, Tally *tally) {
    RunOnce(produce, drain, tally);
    for (auto _ : state) {
        RunOnce(produce, drain, tally);
        if (!Complete(*tally)) {
            state.SkipWithError("events lost, repeated or out of order");
            break;
        }
    }
}

void BM_EventQueueOurs(benchmark::State &state) {
    PatcherEventQueue *queue = nullptr;
    PatcherEventQueue_Create(&queue);
    PatcherCallbacks *slots = nullptr;
    PatcherEventQueue_GetCallbacks(queue, &slots);
    Tally tally;
    slots->UserData = &tally;
    slots->Status = OnStatus;
    auto produce = [queue](const char *name, const PatcherPackageStatus &status) {
        PatcherEventQueue_QueueStatus(queue, name, &status);
    };
    auto drain = [queue] { PatcherEventQueue_ProcessEvents(queue); };
    Measure(state, produce, drain, &tally);
    PatcherEventQueue_Destroy(&queue);
}
BENCHMARK(BM_EventQueueOurs)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// The reference: the same event bytes appended to a std::vector under a
// std::mutex; the consumer swaps vectors and walks the bytes.
struct PlainQueue {
    std::mutex mutex;
    std::vector<char> pending;
    std::vector<char> dispatch;
};

void PlainProduce(PlainQueue *queue, const char *name, const PatcherPackageStatus &status) {
    char field[PATCHER_EVENT_NAME_FIELD] = {};
    Zyl_StrCopy(field, name, sizeof(field));
    int32_t type = PATCHER_EVENT_STATUS;
    std::lock_guard<std::mutex> guard(queue->mutex);
    const char *typeBytes = reinterpret_cast<const char *>(&type);
    queue->pending.insert(queue->pending.end(), typeBytes, typeBytes + sizeof(type));
    queue->pending.insert(queue->pending.end(), field, field + sizeof(field));
    const char *record = reinterpret_cast<const char *>(&status);
    queue->pending.insert(queue->pending.end(), record, record + sizeof(status));
}

void PlainDrain(PlainQueue *queue, Tally *tally) {
    {
        std::lock_guard<std::mutex> guard(queue->mutex);
        queue->pending.swap(queue->dispatch);
    }
    size_t position = 0;
    while (position < queue->dispatch.size()) {
        int32_t type = 0;
        memcpy(&type, queue->dispatch.data() + position, sizeof(type));
        position += sizeof(type);
        char name[PATCHER_EVENT_NAME_FIELD];
        memcpy(name, queue->dispatch.data() + position, sizeof(name));
        position += sizeof(name);
        PatcherPackageStatus status;
        memcpy(&status, queue->dispatch.data() + position, sizeof(status));
        position += sizeof(status);
        if (type != PATCHER_EVENT_STATUS)
            tally->wrong++;
        Count(tally, name, status);
    }
    queue->dispatch.clear();
}

void BM_EventQueuePlain(benchmark::State &state) {
    PlainQueue queue;
    Tally tally;
    auto produce = [&queue](const char *name, const PatcherPackageStatus &status) {
        PlainProduce(&queue, name, status);
    };
    auto drain = [&queue, &tally] { PlainDrain(&queue, &tally); };
    Measure(state, produce, drain, &tally);
}
BENCHMARK(BM_EventQueuePlain)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

int main(int argc, char **argv) {
    return benchsupport::RunBenchmarks(argc, argv);
}
