// The checksum and the scans at the largest 32-bit lengths, over a mapping of
// zero pages that costs no memory. The image ends right before a page that
// cannot be read, so an index that wraps or a read one byte past the end
// faults instead of passing unnoticed.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "Firmware.h"

namespace {

class TopOfRange : public ::testing::Test {
protected:
    static constexpr uint64_t kWindow = uint64_t{1} << 32;  // readable bytes

    void SetUp() override {
        page_ = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, kWindow + page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(m, MAP_FAILED) << std::strerror(errno);
        base_ = static_cast<uint8_t*>(m);
        ASSERT_EQ(mprotect(base_, kWindow - page_, PROT_READ), 0);
        // Huge zero pages where the system has them: far fewer page faults.
        madvise(base_, kWindow - page_, MADV_HUGEPAGE);
        // Only the last readable page is written, so only it takes memory.
        ASSERT_EQ(mprotect(base_ + kWindow - page_, page_, PROT_READ | PROT_WRITE), 0);
    }
    void TearDown() override {
        if (base_) munmap(base_, kWindow + page_);
    }

    // An image of `length` bytes whose last byte is the last readable one.
    uint8_t* ImageOf(uint32_t length) { return base_ + (kWindow - length); }
    void Put(uint32_t length, uint32_t at, const char* bytes, size_t n) {
        std::memset(base_ + kWindow - page_, 0, page_);
        std::memcpy(ImageOf(length) + at, bytes, n);
    }

    uint64_t page_ = 0;
    uint8_t* base_ = nullptr;
};

TEST_F(TopOfRange, ChecksumAndScansReachTheLastByteAndNoFurther) {
    // The largest length: an INQUIRY block as the very last candidate, with a
    // hardware ID tag before it; its name and version would lie past the end.
    uint32_t length = 0xFFFFFFFF;
    Put(length, length - 7, "HWxy\x05\x80\x00", 7);
    const uint8_t* image = ImageOf(length);
    EXPECT_EQ(GetCheckSum(image, length), ('H' + 'W' + 'x' + 'y' + 0x05 + 0x80) & 0xFFFF);
    EXPECT_EQ(FindInquiryBlocks(image, length), (std::vector<uint32_t>{length - 3}));
    auto id = GetHardwareID(image, length);
    ASSERT_NE(id, nullptr);
    EXPECT_STREQ(id.get(), "xy");
    EXPECT_EQ(GetDriveName(image, length), nullptr);

    // The first length at which "index + 8" wraps: an identity block as the
    // last candidate, its hardware ID past the end.
    length = 0xFFFFFFF8;
    Put(length, length - 18, "KOLA", 4);
    std::memcpy(ImageOf(length) + length - 2, "HW", 2);
    image = ImageOf(length);
    EXPECT_EQ(GetCheckSum(image, length), 'K' + 'O' + 'L' + 'A' + 'H' + 'W');
    EXPECT_EQ(FindIdentityBlocks(image, length), (std::vector<uint32_t>{length - 18}));
    EXPECT_EQ(GetHardwareID(image, length), nullptr);
}

}  // namespace
