// Start-up image work on the compiled-in container, and the descrambler,
// each beside a memcpy of the same number of bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <map>
#include <vector>

#include "EmbeddedContainer.h"
#include "Encode.h"
#include "Firmware.h"
#include "Kfs.h"

namespace {

uint32_t ImageLength() {
    uint32_t length = 0;
    SKFSParameter p;
    LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, p);
    return length;
}

void BM_StartupImageWork(benchmark::State& state) {
    for (auto _ : state) {
        uint32_t length = 0;
        SKFSParameter p;
        auto image = LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, p);
        benchmark::DoNotOptimize(GetCheckSum(image.get(), length));
        benchmark::DoNotOptimize(GetHardwareID(image.get(), length));
        benchmark::DoNotOptimize(GetDriveName(image.get(), length));
        benchmark::DoNotOptimize(GetVersion(image.get(), length));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * ImageLength());
}
BENCHMARK(BM_StartupImageWork);

void BM_MemcpyImage(benchmark::State& state) {
    std::vector<uint8_t> from(ImageLength(), 1), to(ImageLength());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * from.size());
}
BENCHMARK(BM_MemcpyImage);

void BM_Descramble(benchmark::State& state) {
    std::vector<uint8_t> bank(ImageLength(), 7);
    for (auto _ : state) {
        Descramble(bank.data(), static_cast<uint32_t>(bank.size()), 0x5A);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * bank.size());
}
BENCHMARK(BM_Descramble);

// The parts of the start-up work apart, on the loaded image.
void BM_CheckSum(benchmark::State& state) {
    FirmwareImage image;
    SKFSParameter p;
    LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), image, p);
    for (auto _ : state) benchmark::DoNotOptimize(GetCheckSum(image.data.get(), image.length));
    state.SetBytesProcessed(int64_t(state.iterations()) * image.length);
}
BENCHMARK(BM_CheckSum);

void BM_IdentityTexts(benchmark::State& state) {
    FirmwareImage image;
    SKFSParameter p;
    LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), image, p);
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetHardwareID(image.data.get(), image.length));
        benchmark::DoNotOptimize(GetDriveName(image.data.get(), image.length));
        benchmark::DoNotOptimize(GetVersion(image.data.get(), image.length));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * image.length);
}
BENCHMARK(BM_IdentityTexts);

// The loader alone, and one pass that only reads as many bytes as the image
// holds, at the C library's speed (memchr for a byte the buffer does not
// hold). The start-up work loads once and then reads the whole image four
// times (the checksum and three scans, each of which must see every byte), so
// these two bound how near one memcpy it can come.
void BM_LoadContainer(benchmark::State& state) {
    for (auto _ : state) {
        uint32_t length = 0;
        SKFSParameter p;
        benchmark::DoNotOptimize(LoadContainer(EmbeddedContainerData(), EmbeddedContainerSize(), length, p));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * ImageLength());
}
BENCHMARK(BM_LoadContainer);

void BM_ReadImage(benchmark::State& state) {
    std::vector<uint8_t> bytes(ImageLength(), 0);
    for (auto _ : state) benchmark::DoNotOptimize(std::memchr(bytes.data(), 1, bytes.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes.size());
}
BENCHMARK(BM_ReadImage);

// Keeps each run's processor time per iteration so the ratios can be printed
// at the end; on a shared machine it varies far less than the elapsed time.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double copy = reporter.times["BM_MemcpyImage"];
    if (copy > 0) {
        std::printf("start-up image work / memcpy of the image: %.2f (aim: within 3)\n",
                    reporter.times["BM_StartupImageWork"] / copy);
        std::printf("Descramble / memcpy of the same bytes:     %.2f\n", reporter.times["BM_Descramble"] / copy);
        std::printf("GetCheckSum / memcpy of the image:         %.2f\n", reporter.times["BM_CheckSum"] / copy);
        std::printf("the identity texts (three scans) / memcpy: %.2f\n",
                    reporter.times["BM_IdentityTexts"] / copy);
        const double load = reporter.times["BM_LoadContainer"], read = reporter.times["BM_ReadImage"];
        if (load > 0 && read > 0) {
            std::printf("LoadContainer / memcpy:                    %.2f\n", load / copy);
            std::printf("one read of the image / memcpy:            %.2f\n", read / copy);
            std::printf("load and four such reads / memcpy:        %.2f\n", (load + 4 * read) / copy);
        }
    }
    benchmark::Shutdown();
    return 0;
}
