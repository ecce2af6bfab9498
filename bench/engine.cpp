// Download engine benchmarks: key-exchange exponentiation (against GMP's
// mpz_powm on the same operands, results compared), the shaper's per-transfer
// decision (against a std::mutex lock and unlock) and filling an IP list, each
// beside its reference. A second thread stays alive (blocked) for the whole
// run, as in the launcher, so the C library's lock paths are the multi-threaded
// ones for both sides.
#include <benchmark/benchmark.h>

#include "bench/bench_main.h"

#include <climits>
#include <condition_variable>
#include <cstring>
#include <gmp.h>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/zyl.h"
#include "engine/bigint.h"
#include "engine/iplist.h"
#include "engine/trafficshape.h"
#include "net/socket.h"

namespace {

const char kPrime[] =
    "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A0879"
    "8E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A3621"
    "0000000000090563";

// 768-bit base and exponent, the same for GMP.
const char kBase[] =
    "3ad1f0c2b8e4a79d05c6e2f1a4b7c8d9e0f1a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f70"
    "8192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f"
    "8091a2b3c4d5e6f7";
const char kExponent[] = "c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f70"
                         "8192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c5d6e7f8091a2b3c4d5e6f708192a3b4c"
                         "5d6e7f8091a2b3c4d5e6f708192a";

// The operands (and a result) as GMP integers.
struct GmpOperands {
    mpz_t base, exponent, modulus, result;
    GmpOperands() {
        mpz_inits(base, exponent, modulus, result, nullptr);
        mpz_set_str(base, kBase, 16);
        mpz_set_str(exponent, kExponent, 16);
        mpz_set_str(modulus, kPrime, 16);
    }
    ~GmpOperands() { mpz_clears(base, exponent, modulus, result, nullptr); }
    GmpOperands(const GmpOperands &) = delete;
    GmpOperands &operator=(const GmpOperands &) = delete;
};

// GMP's result for the operands as a big-endian byte string.
std::vector<uint8_t> GmpModExp() {
    GmpOperands gmp;
    mpz_powm(gmp.result, gmp.base, gmp.exponent, gmp.modulus);
    std::vector<uint8_t> bytes((mpz_sizeinbase(gmp.result, 2) + 7) / 8);
    size_t count = 0;
    mpz_export(bytes.data(), &count, 1, 1, 1, 0, gmp.result);
    bytes.resize(count);
    return bytes;
}

// 1 when result holds GMP's answer.
int ModExpMatches(const BigIntStruct *result) {
    std::vector<uint8_t> expected = GmpModExp();
    uint8_t bytes[128];
    int count = 0;
    return BigInt_ToBytes(bytes, result, (int)sizeof(bytes), &count) &&
           count == (int)expected.size() && memcmp(bytes, expected.data(), expected.size()) == 0;
}

void ModExp(benchmark::State &state) {
    BigIntStruct *base = nullptr, *exponent = nullptr, *modulus = nullptr, *result = nullptr;
    BigInt_Create(&base);
    BigInt_Create(&exponent);
    BigInt_Create(&modulus);
    BigInt_Create(&result);
    BigInt_FromHex(base, kBase);
    BigInt_FromHex(exponent, kExponent);
    BigInt_FromHex(modulus, kPrime);
    for (auto _ : state)
        BigInt_ModExp(result, base, exponent, modulus);
    if (!ModExpMatches(result))
        state.SkipWithError("modular exponentiation differs from GMP's");
    BigInt_Destroy(&base);
    BigInt_Destroy(&exponent);
    BigInt_Destroy(&modulus);
    BigInt_Destroy(&result);
}
BENCHMARK(ModExp);

void ModExpGmp(benchmark::State &state) {
    GmpOperands gmp;
    for (auto _ : state)
        mpz_powm(gmp.result, gmp.base, gmp.exponent, gmp.modulus);
    benchmark::DoNotOptimize(mpz_size(gmp.result));
}
BENCHMARK(ModExpGmp);

void ShaperAllow(benchmark::State &state) {
    TrafficShapeStruct *shaper = nullptr;
    TrafficShape_Create(&shaper);
    RuleSetStruct *set = TrafficShape_RuleSetCreate(shaper, "outgoing");
    TrafficShape_RuleSetCreateRoot(set, "root");
    TrafficShape_RuleSetBandwidth(set, 1, INT64_C(1) << 40);
    TrafficShape_RuleSetCeilingRate(set, TrafficShape_RuleCreate(set, 1, "peers"), 100);
    TrafficShape_RuleSetRecalculate(set);
    TrafficShape_SetEnabled(shaper, 1);
    TrafficShape_Process(shaper);
    int handle = 0;
    TrafficShape_GetLookupHandleFromID(shaper, TRAFFICSHAPE_OUTGOING, "peers", &handle);
    TrafficShape_SetAllowance(shaper, handle, TRAFFICSHAPE_OUTGOING, INT64_C(1) << 60);
    int64_t refused = 0;
    for (auto _ : state)
        refused += TrafficShape_AllowSend(shaper, TRAFFICSHAPE_OUTGOING, handle, 16384) != 1;
    if (refused != 0)
        state.SkipWithError("the shaper refused a leaf with tokens");
    TrafficShape_Destroy(&shaper);
}
BENCHMARK(ShaperAllow);

void MutexLockUnlock(benchmark::State &state) {
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}
BENCHMARK(MutexLockUnlock);

enum { kAdds = 50000, kLookups = 1000 };

void IPListAdd(benchmark::State &state) {
    for (auto _ : state) {
        IPListStruct *list = nullptr;
        IPList_Create(&list);
        IPList_SetMaxMembers(list, kAdds * 2);
        std::mt19937 rng(1);
        for (int i = 0; i < kAdds; i++) {
            uint32_t value = rng();
            uint8_t address[4];
            Socket_HostToNet32(address, &value);
            IPListMemberStruct *member = nullptr;
            IPList_AddMember(&member, list, address, 6881);
        }
        for (int i = 0; i < kLookups; i++) {
            IPListMemberStruct *member = nullptr;
            IPList_GetNextPending(list, &member);
        }
        IPList_Destroy(&list);
    }
}
BENCHMARK(IPListAdd)->Unit(benchmark::kMillisecond);

// The baseline: a std::map keyed by address with the same next-pending rule.
void IPListMapBaseline(benchmark::State &state) {
    struct Member {
        int port, attempts, state;
    };
    for (auto _ : state) {
        std::map<uint32_t, Member> list;
        std::mt19937 rng(1);
        for (int i = 0; i < kAdds; i++) {
            auto [it, added] = list.try_emplace(rng(), Member{6881, 0, 100});
            if (!added)
                it->second.attempts = 0;
        }
        for (int i = 0; i < kLookups; i++) {
            Member *winner = nullptr;
            for (auto &[key, m] : list) {
                if (m.state < 100)
                    continue;
                if (!winner || m.attempts < winner->attempts)
                    winner = &m;
                if (winner->attempts == 0)
                    break;
            }
            if (winner) {
                winner->state = 1;
                winner->attempts++;
            }
        }
        benchmark::DoNotOptimize(list.size());
    }
}
BENCHMARK(IPListMapBaseline)->Unit(benchmark::kMillisecond);

} // namespace

// A thread that waits, blocked, until the benchmarks are over.
class IdleThread {
  public:
    IdleThread()
        : thread_([this] {
              std::unique_lock<std::mutex> lock(mutex_);
              wake_.wait(lock, [this] { return done_; });
          }) {}
    ~IdleThread() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

  private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_;
};

int main(int argc, char **argv) {
    IdleThread idle;
    return benchsupport::RunBenchmarks(argc, argv);
}
