// Throughput of the receive path and of SendText on in-memory components,
// with a host that ignores every notification (only the control's own work
// is timed), the heap one connected control holds, and the time the
// property bag takes to load a large file.
//
//   control_bench [--packets N] [Google Benchmark options]   (--help)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_args.hpp"
#include "testsupport/memory_comm.hpp"
#include "testsupport/memory_timer.hpp"
#include "vostrel/property_bag.hpp"
#include "vostrel/vostrel.hpp"

using namespace vostrel;

// Heap bytes in use: each block carries its size in a header in front of
// it, so a free subtracts exactly what its allocation added. The array and
// nothrow forms of the library forward to these.
namespace {
constexpr std::size_t kHeader = alignof(std::max_align_t);  // keeps blocks aligned
std::size_t g_heapInUse = 0;
std::size_t g_allocations = 0;
}  // namespace

void* operator new(std::size_t n) {
    void* raw = std::malloc(n + kHeader);
    if (!raw) throw std::bad_alloc();
    *static_cast<std::size_t*>(raw) = n;
    g_heapInUse += n;
    ++g_allocations;
    return static_cast<char*>(raw) + kHeader;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    void* raw = static_cast<char*>(p) - kHeader;
    g_heapInUse -= *static_cast<std::size_t*>(raw);
    std::free(raw);
}
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

// A 12-byte MESSAGEWRITE as a brick sends it: "hello" to inbox 1.
const std::string kPacket = std::string("\x0A\x00\x80\x09\x01\x06hello\x00", 12);

class CountingSink : public EventSink {
public:
    explicit CountingSink(Vostrel& v) : v_(v) {}
    void NewMail(Integer& box) override {
        ++mails;
        benchmark::DoNotOptimize(v_.ReadText(box));
    }
    std::size_t mails = 0;

private:
    Vostrel& v_;
};

// A connected control on in-memory components whose host ignores change
// notifications, so no host bookkeeping is timed with the control.
struct BenchControl {
    RunModeHost host;
    testing::MemoryComm* comm;
    std::unique_ptr<Vostrel> control;

    BenchControl() {
        auto c = std::make_unique<testing::MemoryComm>();
        comm = c.get();
        control = std::make_unique<Vostrel>(std::move(c), std::make_unique<testing::MemoryTimer>(),
                                            &host);
        control->UserControl_InitProperties();
        comm->DiscardWrites(true);  // written packets are counted, not kept
        if (control->ConnectNXT(1, 9600) != 0) std::abort();
    }
    Vostrel& operator*() { return *control; }
    Vostrel* operator->() { return control.get(); }
};

// One notification per packet: each read holds exactly one packet.
void BM_ReceiveWholePackets(benchmark::State& state) {
    BenchControl c;
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    for (auto _ : state) c.comm->Deliver(kPacket);
    if (sink.mails != static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("lost mail");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceiveWholePackets);

// The same stream cut into reads at random points (1 to 32 bytes), so
// packets arrive split and joined.
void BM_ReceiveRandomSplits(benchmark::State& state) {
    BenchControl c;
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    std::string stream;
    for (int i = 0; i < 4096; ++i) stream += kPacket;
    // The reads are cut before timing: only their delivery is timed.
    std::mt19937 rng(7);
    std::vector<String> reads;
    for (std::size_t pos = 0; pos < stream.size();) {
        const std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + rng() % 32);
        reads.push_back(stream.substr(pos, n));
        pos += n;
    }
    for (auto _ : state)
        for (const String& read : reads) c.comm->Deliver(read);
    if (sink.mails != 4096u * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("lost mail");
    state.SetItemsProcessed(static_cast<int64_t>(4096 * state.iterations()));
}
BENCHMARK(BM_ReceiveRandomSplits);

// Many packets joined in one read.
void BM_ReceiveJoinedPackets(benchmark::State& state) {
    BenchControl c;
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    std::string burst;
    for (int i = 0; i < 64; ++i) burst += kPacket;
    for (auto _ : state) c.comm->Deliver(burst);
    if (sink.mails != 64u * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("lost mail");
    state.SetItemsProcessed(64 * state.iterations());
}
BENCHMARK(BM_ReceiveJoinedPackets);

void BM_SendText5(benchmark::State& state) {
    BenchControl c;
    Integer box = 3;
    String mail = "hello";
    const std::size_t before = c.comm->BytesWritten();
    std::size_t failed = 0;
    for (auto _ : state) failed += c->SendText(box, mail) != 0;
    // Each call writes one 12-byte packet: 2-byte header, 80 09 03 06, "hello", NUL.
    if (failed != 0 ||
        c.comm->BytesWritten() - before != 12u * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("a send failed or wrote the wrong length");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendText5);

// MemoryPropertyBag::Load of a host's file of 80,000 entries, mixed types
// and names that need quoting. The text is made before timing; each load
// starts from an empty bag and must give back every entry.
void BM_LoadPropertyBag80000(benchmark::State& state) {
    constexpr std::size_t kEntries = 80000;
    MemoryPropertyBag source;
    for (std::size_t i = 0; i < kEntries; ++i) {
        const std::string n = std::to_string(i);
        if (i % 3 == 0)
            source.Set("Entry" + n, Long(static_cast<Long>(i)));
        else if (i % 3 == 1)
            source.Set("entry " + n, String("text " + n));
        else
            source.Set("Flag_" + n, Boolean(i % 2 == 0));
    }
    std::ostringstream saved;
    source.Save(saved);
    const std::string text = saved.str();
    std::size_t loaded = 0;
    for (auto _ : state) {
        std::istringstream in(text);
        MemoryPropertyBag bag;
        bag.Load(in);
        loaded = bag.Entries().size();
        benchmark::DoNotOptimize(loaded);
    }
    if (loaded != kEntries) state.SkipWithError("entries lost");
    state.SetItemsProcessed(static_cast<int64_t>(kEntries) * state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(text.size()) * state.iterations());
}
BENCHMARK(BM_LoadPropertyBag80000)->Unit(benchmark::kMillisecond);

// The heap one connected control holds with its in-memory components (the
// sink reads every mail, as a host does; written packets are not kept):
// after connecting and a message each way, then after `packets` more
// received, then what is left once it is destroyed.
bool ReportMemory(long long packets) {
    testing::ValidSettings("9600,n,8,1");  // its tables are shared, made once
    const std::size_t before = g_heapInUse;
    std::size_t setup = 0, after = 0, allocations = 0, mails = 0;
    {
        BenchControl c;
        CountingSink sink(*c);
        c->SetEventSink(&sink);
        c->SendText(1, "hello");
        c.comm->Deliver(kPacket);
        setup = g_heapInUse - before;
        const std::size_t allocations0 = g_allocations;
        for (long long i = 0; i < packets; ++i) c.comm->Deliver(kPacket);
        allocations = g_allocations - allocations0;
        after = g_heapInUse - before;
        mails = sink.mails;
    }
    const std::size_t left = g_heapInUse - before;
    std::printf(
        "memory: one connected control with in-memory components: %zu heap bytes in use after "
        "setup, %zu after %lld packets received (%+lld), %zu once destroyed; %.3f allocations "
        "per packet (sizeof Vostrel %zu, Comm %zu, Timer %zu)\n",
        setup, after, packets, static_cast<long long>(after) - static_cast<long long>(setup), left,
        static_cast<double>(allocations) / static_cast<double>(packets), sizeof(Vostrel),
        sizeof(testing::MemoryComm), sizeof(testing::MemoryTimer));
    if (mails != static_cast<std::size_t>(packets) + 1) {
        std::fprintf(stderr, "memory: %zu of %lld mails filed\n", mails, packets + 1);
        return false;
    }
    return true;
}

void Usage() {
    std::printf(
        "usage: control_bench [--packets N] [Google Benchmark options]\n"
        "The control on in-memory components, with a host that ignores notifications:\n"
        "  first the heap bytes one connected control holds after setup and after N packets\n"
        "  received, then the rates of\n"
        "  BM_ReceiveWholePackets   one 12-byte packet per read\n"
        "  BM_ReceiveRandomSplits   the same stream cut into reads of 1 to 32 bytes\n"
        "  BM_ReceiveJoinedPackets  64 packets in one read\n"
        "  BM_SendText5             SendText of a 5-byte text\n"
        "  BM_LoadPropertyBag80000  MemoryPropertyBag::Load of 80,000 entries (fails on a lost "
        "one)\n"
        "Each receive benchmark fails (\"lost mail\") unless every packet was filed.\n"
        "  --packets N   packets for the memory figure, 1 to 100000000 (default 1000000)\n"
        "Google Benchmark options:\n");
    benchmark::PrintDefaultHelp();
}

}  // namespace

int main(int argc, char** argv) {
    long long packets = 1000000;
    // Our options are taken out; the rest are Google Benchmark's.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (bench::IsHelp(argv[i])) {
            Usage();
            return 0;
        } else if (!std::strcmp(argv[i], "--packets")) {
            packets = bench::CountArg("--packets", bench::OptionValue(argc, argv, i), 1, 100000000);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv, Usage);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    if (!ReportMemory(packets)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
