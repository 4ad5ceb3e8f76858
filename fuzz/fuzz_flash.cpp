// A whole flash against a drive whose every answer may come from the input: each SG_IO call
// takes one byte; with its top bit clear a well-behaved drive answers, with it set the status,
// host and driver codes, the sense bytes and their length, the data, the residual and the
// time-out are read from the input. What the user is told must hold whatever the drive says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AnsweringWindow.h"
#include "FakeSgSystem.h"
#include "Firmware.h"
#include "FuzzInput.h"
#include "Kfs.h"
#include "KfsWriter.h"
#include "Main.h"
#include "SgChannel.h"
#include "SgTransport.h"
#include "TAtapi.h"
#include "VendorProtocol.h"

namespace {

constexpr uint32_t kPages = 2;
const char kName[] = "VELD    DVD-RW KX4800   ";
const char kVersion[] = "1.02";
const char kOldVersion[] = "1.01";

std::vector<uint8_t> MakeContainer() {
    std::vector<uint8_t> image(kPages * kPageSize, 0x33);
    uint8_t* inquiry = &image[0x100];
    std::memset(inquiry, 0, 40);
    inquiry[0] = 0x05;
    inquiry[1] = 0x80;
    std::memcpy(inquiry + 8, kName, 24);
    std::memcpy(inquiry + 32, kVersion, 4);
    const uint8_t hardwareId[2] = {'K', '4'};
    BuildIdentityReply(&image[0x300], true, hardwareId);
    KfsPackOptions options;
    options.bankSize = kPageSize;
    options.reserveBlocks.clear();
    return PackContainer(image.data(), static_cast<uint32_t>(image.size()), options).bytes;
}

// The drive: answers well unless the input says otherwise; records what the checks need.
class FuzzSystem : public FakeSgSystem {
public:
    explicit FuzzSystem(Input& input) : in_(input) { nodes["/dev/sg0"] = 3; }

    int pagesSent = 0, pagesAccepted = 0;
    bool pageRefused = false, pageAfterRefusal = false;
    bool lastInquiryConfirms = false;  // the last INQUIRY answered cleanly with the image's version

    int Ioctl(int, sg_io_hdr_t* h) override {
        const uint8_t opcode = h->cmdp[0];
        if (opcode == kPageWriteOpcode) {
            pageAfterRefusal |= pageRefused;
            ++pagesSent;
        }
        const bool in = h->dxfer_direction == SG_DXFER_FROM_DEV;
        const uint8_t how = in_.Byte();
        if (!(how & 0x80)) {
            Good(h, opcode);
            if (opcode == kPageWriteOpcode) ++pagesAccepted;
            if (opcode == kInquiryOpcode) lastInquiryConfirms = pagesAccepted >= static_cast<int>(kPages);
            return 0;
        }
        if (how & 0x40) {
            lastError = in_.Byte();
            Refused(opcode);
            return -1;
        }
        h->status = in_.Byte();
        h->host_status = in_.Byte() & 0x0F;
        h->driver_status = in_.Byte() & 0x1F;
        const uint8_t senseLength = in_.Byte();
        for (unsigned i = 0; i < senseLength && i < h->mx_sb_len; ++i) h->sbp[i] = in_.Byte();
        h->sb_len_wr = senseLength;
        const uint8_t dataLength = in_.Byte();
        if (in)
            for (unsigned i = 0; i < dataLength && i < h->dxfer_len; ++i) static_cast<uint8_t*>(h->dxferp)[i] = in_.Byte();
        const uint8_t resid = in_.Byte();
        h->resid = resid & 0x80 ? -static_cast<int>(resid & 0x7F) : resid;
        if (how & 0x20) h->duration = h->timeout;  // as the kernel reports a command it gave up on
        const bool timedOut = h->host_status == kDidTimeOut || (h->driver_status & kDriverCodeMask) == kDriverTimeout;
        const bool clean = h->host_status == 0 && (h->driver_status & ~kDriverSense) == 0 && h->status == 0;
        const bool whole = h->resid <= 0;
        if (opcode == kPageWriteOpcode) {
            // Counted as written only when the drive said GOOD, or the kernel gave up waiting; and all of it moved.
            if ((clean || timedOut) && whole)
                ++pagesAccepted;
            else
                pageRefused = true;
        }
        // The drive's own answer, whole up to its revision, with the image's version there.
        if (opcode == kInquiryOpcode)
            lastInquiryConfirms = clean && !timedOut && h->resid <= 50 - 36 &&
                                  std::memcmp(static_cast<uint8_t*>(h->dxferp) + 32, kVersion, 4) == 0;
        return 0;
    }

private:
    void Refused(uint8_t opcode) {
        if (opcode == kPageWriteOpcode) pageRefused = true;
        if (opcode == kInquiryOpcode) lastInquiryConfirms = false;
    }
    // The drive the image is for: its old version until every page is in.
    void Good(sg_io_hdr_t* h, uint8_t opcode) {
        uint8_t* data = static_cast<uint8_t*>(h->dxferp);
        if (opcode == kInquiryOpcode && h->dxfer_len >= 40) {
            std::memset(data, 0, h->dxfer_len);
            data[0] = 0x05;
            std::memcpy(data + 8, kName, 24);
            std::memcpy(data + 32, pagesAccepted >= static_cast<int>(kPages) ? kVersion : kOldVersion, 4);
        } else if (opcode == kIdentityQueryOpcode && h->dxfer_len >= kIdentityReplyLength) {
            const uint8_t hardwareId[2] = {'K', '4'};
            BuildIdentityReply(data, true, hardwareId);
        }
    }
    Input& in_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> container = MakeContainer();
    Input input{data, size};
    FuzzSystem system(input);
    SgTransport transport(system);
    SgDrive drive;
    drive.node = drive.genericNode = "/dev/sg0";  // reached by its generic node: nothing to reserve
    drive.fd = 3;
    SgChannel channel(transport, {drive});
    TAtapi atapi(channel);
    AnsweringWindow window;
    SKFSParameter parameter;
    TMainW form(window, atapi, parameter, container.data(), container.size());
    form.FormCreate();
    form.btnStartClick();

    Check(window.writingDepth == 0);
    Check(!system.pageAfterRefusal);  // no page after one the drive did not take
    const bool succeeded = window.Last(ui::BoxKind::Succeeded);
    // Success only when every page was taken and the drive then said it runs the image's version.
    if (succeeded) {
        Check(system.pagesSent == static_cast<int>(kPages) && system.pagesAccepted == static_cast<int>(kPages));
        Check(system.lastInquiryConfirms);
        Check(form.LastReadBack == ReadBack::Confirmed);
    }
    if (form.LastReadBack == ReadBack::Confirmed) Check(succeeded);
    return 0;
}
