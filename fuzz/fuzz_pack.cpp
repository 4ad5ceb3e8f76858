// Packs arbitrary images with arbitrary options; whatever PackContainer
// accepts must load back to the same image, record and checksum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Firmware.h"
#include "FuzzInput.h"
#include "Kfs.h"
#include "KfsWriter.h"

namespace {

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    KfsPackOptions o;
    const uint8_t flags = in.Byte();
    o.layout = flags & 1 ? KfsLayout::Old : KfsLayout::V3;
    o.scramble = flags & 2;
    o.version = " 12"[(flags >> 2) % 3];
    if (flags & 0x20) o.version = static_cast<char>(in.Byte());  // mostly refused
    for (auto& k : o.key) k = in.Byte();
    o.selfKey = in.Byte();
    // Small v3 banks keep the images small; the old layout's slot is fixed.
    o.bankSize = (in.Byte() | (in.Byte() << 8)) % 4097;
    o.option1 = in.Byte(), o.option2 = in.Byte(), o.option3 = in.Byte();
    o.value1 = static_cast<int32_t>(in.Word());
    o.value2 = static_cast<int32_t>(in.Word());
    o.reserveBlocks.resize(in.Byte() % 4);
    for (auto& b : o.reserveBlocks) b = {in.Word(), in.Word()};
    const uint32_t slot = o.layout == KfsLayout::Old ? kfs::kOldSlotSize : (o.bankSize ? o.bankSize : 1);
    const uint32_t banks = in.Byte() % 3;

    // The rest of the input is spread over the slots' starts (old layout) or
    // fills the image (v3); a length off by one slot tests the refusal.
    std::vector<uint8_t> image(size_t{banks} * slot + (flags & 0x40 ? 1 : 0), 0);
    const size_t share = banks ? in.left / banks : 0;
    for (uint32_t i = 0; i < banks; ++i)
        for (size_t j = 0; j < share && j < slot; ++j) image[size_t{i} * slot + j] = in.Byte();

    const KfsPackResult packed = PackContainer(image.data(), static_cast<uint32_t>(image.size()), o);
    if (!packed.ok) {
        Check(!packed.error.empty() && packed.bytes.empty());
        return 0;
    }
    SKFSParameter p;
    uint32_t length = 0;
    KfsRejection why = KfsRejection::None;
    auto loaded = LoadContainer(packed.bytes.data(), packed.bytes.size(), length, p, &why);
    Check(loaded != nullptr);
    Check(length == image.size() && (length == 0 || std::memcmp(loaded.get(), image.data(), length) == 0));
    Check(p.checksum == GetCheckSum(image.data(), length));
    Check(p.bankSize == slot && p.bankLengths.size() == image.size() / slot);
    if (o.layout == KfsLayout::V3) {
        Check(p.option1 == o.option1 && p.option2 == o.option2 && p.option3 == o.option3);
        Check(p.value1 == o.value1 && p.value2 == o.value2);
        Check(p.reserveBlocks.size() == o.reserveBlocks.size());
        for (size_t i = 0; i < p.reserveBlocks.size(); ++i)
            Check(p.reserveBlocks[i].offset == o.reserveBlocks[i].offset &&
                  p.reserveBlocks[i].length == o.reserveBlocks[i].length);
    }
    // Packing the loaded image again gives the same container.
    const KfsPackResult again = PackContainer(loaded.get(), length, o);
    Check(again.ok && again.bytes == packed.bytes);
    return 0;
}
