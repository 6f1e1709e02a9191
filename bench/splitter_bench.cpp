// Throughput of the stream splitter (split + route into the two queues) on
// barcode data, on response frames and on a mix, in 64-byte, 4 KiB and 1 MiB
// chunks, next to memcpy of the same bytes in the same chunks. Prints the
// ratio splitter / memcpy for every case (target: >= 0.25 for 4 KiB and 1 MiB).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "engine/stream_splitter.h"

namespace {

constexpr size_t kDataSize = 16 << 20;

std::string Frame(unsigned i) {
    char body[64];
    std::snprintf(body, sizeof body, "QRYSYSQuorvia Scanner %08u", i);
    return std::string("\x02\x01" "0000@", 7) + body + "\x06;\x03";
}

std::string Barcode(unsigned i) {
    char text[32];
    std::snprintf(text, sizeof text, "BC7-%08u\r\n", i);
    return text;
}

const std::string& Data(int kind) {
    static std::map<int, std::string> cache;
    std::string& d = cache[kind];
    if (d.empty()) {
        d.reserve(kDataSize + 256);
        for (unsigned i = 0; d.size() < kDataSize; ++i) {
            if (kind == 0) d += Barcode(i);
            else if (kind == 1) d += Frame(i);
            else d += (i % 2 == 0) ? Barcode(i) : Frame(i);
        }
        d.resize(kDataSize);
    }
    return d;
}

const char* KindName(int kind) { return kind == 0 ? "code" : kind == 1 ? "frames" : "mixed"; }

void BM_Splitter(benchmark::State& state) {
    const std::string& data = Data(static_cast<int>(state.range(0)));
    const size_t chunk = static_cast<size_t>(state.range(1));
    qv::SplitterState st;
    qv::ByteQueue code;
    qv::ByteQueue response;
    for (auto _ : state) {
        for (size_t off = 0; off < data.size(); off += chunk) {
            const size_t n = std::min(chunk, data.size() - off);
            qv::FrameRange r = qv::SplitChunk(st, data.data() + off, n);
            qv::RouteChunk(data.data() + off, n, r, code, response, 0xA00000);
            // A consumer empties the queues, as readers do.
            code.clear();
            response.clear();
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
    state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

void BM_Memcpy(benchmark::State& state) {
    const std::string& data = Data(static_cast<int>(state.range(0)));
    const size_t chunk = static_cast<size_t>(state.range(1));
    std::vector<char> dst(chunk);
    for (auto _ : state) {
        for (size_t off = 0; off < data.size(); off += chunk) {
            const size_t n = std::min(chunk, data.size() - off);
            std::memcpy(dst.data(), data.data() + off, n);
            benchmark::DoNotOptimize(dst.data());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
    state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

void Args(benchmark::internal::Benchmark* b) {
    for (int kind = 0; kind < 3; ++kind) {
        for (int64_t chunk : {64, 4096, 1 << 20}) b->Args({kind, chunk});
    }
}

BENCHMARK(BM_Splitter)->Apply(Args)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Apply(Args)->Unit(benchmark::kMillisecond);

// Keeps the throughput of every run and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            auto it = r.counters.find("bytes_per_second");
            if (it == r.counters.end()) continue;
            const std::string name = r.benchmark_name();
            const size_t slash = name.find('/');
            rates_[name.substr(0, slash)][name.substr(slash + 1)] = it->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nsplitter throughput / memcpy throughput (kind/chunk):\n");
        for (auto& [args, split] : rates_["BM_Splitter"]) {
            const double floor = rates_["BM_Memcpy"][args];
            if (floor <= 0) continue;
            std::printf("  %-14s splitter %8.1f MB/s  memcpy %8.1f MB/s  ratio %.2f\n", args.c_str(),
                        split / 1e6, floor / 1e6, split / floor);
        }
    }

private:
    std::map<std::string, std::map<std::string, double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
