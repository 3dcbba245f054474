// Throughput of the receive path and of SendText on in-memory components,
// and the memory one control takes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>

#include "testsupport/memory_control.hpp"

using namespace vostrel;
using vostrel::testing::MemoryControl;

// Every heap byte the program asks for, so the memory of one control can be
// measured rather than estimated.
static std::size_t g_heapBytes = 0;
void* operator new(std::size_t n) {
    g_heapBytes += n;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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

void Connected(MemoryControl& c) {
    if (c->ConnectNXT(1, 9600) != 0) std::abort();
    c.comm->DiscardWrites(true);
}

// One notification per packet: each read holds exactly one packet.
void BM_ReceiveWholePackets(benchmark::State& state) {
    MemoryControl c;
    Connected(c);
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    for (auto _ : state) c.comm->Deliver(kPacket);
    if (sink.mails != static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost mail");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceiveWholePackets);

// The same stream cut into reads at random points (1 to 32 bytes), so
// packets arrive split and joined.
void BM_ReceiveRandomSplits(benchmark::State& state) {
    MemoryControl c;
    Connected(c);
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    std::string stream;
    for (int i = 0; i < 4096; ++i) stream += kPacket;
    std::mt19937 rng(7);
    std::vector<std::size_t> cuts;
    for (std::size_t pos = 0; pos < stream.size();) {
        std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + rng() % 32);
        cuts.push_back(n);
        pos += n;
    }
    for (auto _ : state) {
        std::size_t pos = 0;
        for (std::size_t n : cuts) {
            c.comm->Deliver(stream.substr(pos, n));
            pos += n;
        }
    }
    if (sink.mails != 4096u * static_cast<std::size_t>(state.iterations())) state.SkipWithError("lost mail");
    state.SetItemsProcessed(static_cast<int64_t>(4096 * state.iterations()));
}
BENCHMARK(BM_ReceiveRandomSplits);

// Many packets joined in one read.
void BM_ReceiveJoinedPackets(benchmark::State& state) {
    MemoryControl c;
    Connected(c);
    CountingSink sink(*c);
    c->SetEventSink(&sink);
    std::string burst;
    for (int i = 0; i < 64; ++i) burst += kPacket;
    for (auto _ : state) c.comm->Deliver(burst);
    state.SetItemsProcessed(64 * state.iterations());
}
BENCHMARK(BM_ReceiveJoinedPackets);

void BM_SendText5(benchmark::State& state) {
    MemoryControl c;
    Connected(c);
    Integer box = 3;
    String mail = "hello";
    for (auto _ : state) benchmark::DoNotOptimize(c->SendText(box, mail));
    if (c.comm->BytesWritten() < 12u * static_cast<std::size_t>(state.iterations())) state.SkipWithError("short write");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendText5);

void ReportMemory() {
    // A connected control with its components, after a message each way, so
    // the buffers in steady use are counted; written packets are not kept.
    vostrel::testing::ValidSettings("9600,n,8,1");  // its tables are shared, made once
    const std::size_t before = g_heapBytes;
    auto comm = std::make_unique<vostrel::testing::MemoryComm>();
    comm->DiscardWrites(true);
    vostrel::testing::MemoryComm* port = comm.get();
    auto v = std::make_unique<Vostrel>(std::move(comm),
                                       std::make_unique<vostrel::testing::MemoryTimer>());
    v->UserControl_InitProperties();
    v->ConnectNXT(1, 9600);
    v->SendText(1, "hello");
    port->Deliver(kPacket);
    const std::size_t total = g_heapBytes - before;
    std::printf("memory: one control with in-memory components = %zu heap bytes "
                "(sizeof Vostrel %zu, Comm %zu, Timer %zu)\n",
                total, sizeof(Vostrel), sizeof(vostrel::testing::MemoryComm),
                sizeof(vostrel::testing::MemoryTimer));
}

}  // namespace

int main(int argc, char** argv) {
    ReportMemory();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
