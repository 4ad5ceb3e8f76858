// Host time of one page write on Linux: fill the page-write command block,
// checksum the 16 KiB page and make the SG_IO round trip through the
// transport against a device that answers at once, beside a memcpy of 16 KiB.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>

#include "FakeSgSystem.h"
#include "Firmware.h"
#include "SgTransport.h"
#include "VendorProtocol.h"

namespace {

constexpr uint32_t kPage = kPageSize;

// Source and destination a whole number of 4 KiB apart: two heap blocks one malloc header apart make
// the copy many times slower on some processors (4 KiB aliasing), which would spoil the ratio.
struct alignas(4096) TwoPages {
    uint8_t from[kPage];
    uint8_t to[kPage];
};

// Answers every command at once with SCSI status GOOD, as a drive with no latency would.
class InstantSg final : public FakeSgSystem {
public:
    int Ioctl(int, sg_io_hdr_t* header) override {
        header->status = 0;
        header->host_status = 0;
        header->driver_status = 0;
        header->sb_len_wr = 0;
        header->resid = 0;
        return 0;
    }
};

void PageWrite(SgTransport& transport, uint8_t* page, uint16_t imageSum, uint8_t number) {
    CommandRecord record;
    BuildPageWrite(record.cdb, {GetCheckSum(page, kPage), imageSum, number});
    record.buffer = page;
    record.length = kPage;
    record.direction = kDirOut;
    benchmark::DoNotOptimize(transport.Send(3, record));
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_LinuxPageWriteHost(benchmark::State& state) {
    InstantSg sg;
    SgTransport transport(sg);
    auto pages = std::make_unique<TwoPages>();
    for (uint32_t i = 0; i < kPage; ++i) pages->from[i] = uint8_t(i * 7 + 1);
    uint8_t number = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) PageWrite(transport, pages->from, 0x1234, ++number);
    const double writeSeconds = SecondsSince(start);

    // The same number of 16 KiB copies, so the ratio stands in the same row.
    const auto copyStart = std::chrono::steady_clock::now();
    for (int64_t i = 0; i < int64_t(state.iterations()); ++i) {
        std::memcpy(pages->to, pages->from, kPage);
        benchmark::ClobberMemory();
    }
    const double copySeconds = SecondsSince(copyStart);
    if (copySeconds > 0) state.counters["x_memcpy16K"] = writeSeconds / copySeconds;
    state.SetBytesProcessed(int64_t(state.iterations()) * kPage);
}
BENCHMARK(BM_LinuxPageWriteHost);

void BM_Memcpy16K(benchmark::State& state) {
    auto pages = std::make_unique<TwoPages>();
    std::memset(pages->from, 1, kPage);
    for (auto _ : state) {
        std::memcpy(pages->to, pages->from, kPage);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kPage);
}
BENCHMARK(BM_Memcpy16K);

}  // namespace
