// A console test program: runs drive discovery with the real OS layer and
// prints the device table and, for each listed drive, what INQUIRY and the
// identity query returned. Writes one page only to a drive named with
// --page-write INDEX.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TAtapi.h"
#include "VendorProtocol.h"
#include "Win32OsApi.h"

namespace {

// The names the rig's checks read.
const char* OutcomeName(CommandOutcome outcome) {
    switch (outcome) {
        case CommandOutcome::None: return "none";
        case CommandOutcome::NotSent: return "not-sent";
        case CommandOutcome::NotDelivered: return "not-delivered";
        case CommandOutcome::Failed: return "failed";
        case CommandOutcome::TimedOut: return "timed-out";
        case CommandOutcome::WaitFailed: return "wait-failed";
        case CommandOutcome::CompletedTolerated: return "completed-tolerated";
        case CommandOutcome::Completed: return "completed";
    }
    return "unknown";
}

// The real layer, but message boxes are printed so a console run never blocks.
class ProbeOsApi final : public Win32OsApi {
public:
    void MessageBox(const std::string& text) override {
        std::string shown;
        for (char c : text)
            shown += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
        std::printf("MESSAGE text=\"%s\"\n", shown.c_str());
        std::fflush(stdout);
    }
};

void PrintCommand(int index, const char* name, const CommandRecord& r) {
    std::printf("CMD index=%d name=%s status=%u outcome=%s oserror=%u scsi=0x%02X srb=0x%02X sensekey=0x%X "
                "asc=0x%02X ascq=0x%02X senselen=%u cdb=%s\n",
                index, name, r.status, OutcomeName(r.outcome), r.osError, r.scsiStatus, r.srbStatus, r.SenseKey(),
                r.Asc(), r.Ascq(), r.senseLength, CommandHex(r.cdb).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int pageWrite = -1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--page-write") == 0 && i + 1 < argc) {
            pageWrite = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: atapiprobe [--page-write INDEX]\n");
            return 2;
        }
    }
    ProbeOsApi os;
    TAtapi atapi(os);
    std::printf("ATAPIPROBE platform=%s devices=%d\n", atapi.IsNt ? "nt" : "aspi", atapi.DeviceCount);
    for (int i = 0; i < atapi.DeviceCount; ++i) {
        const DeviceRecord& d = atapi.Devices[i];
        std::printf("DEVICE index=%d name=%s ha=%u target=%u lun=%u product=\"%s\" revision=\"%s\"\n", i,
                    atapi.DeviceName(i).c_str(), d.HaId, d.Target, d.Lun, d.Product, d.Revision);
    }
    std::fflush(stdout);
    for (int i = 0; i < atapi.DeviceCount; ++i) {
        atapi.SelectDevice(i);
        uint8_t inquiry[50] = {};
        atapi.Inquiry(inquiry);
        PrintCommand(i, "inquiry", atapi.LastCommand());
        uint8_t identity[kIdentityReplyLength] = {};
        atapi.SendCommand(kIdentityQueryCommand, identity, sizeof identity, kDirIn);
        PrintCommand(i, "identity", atapi.LastCommand());
    }
    if (pageWrite >= 0) {
        if (pageWrite >= atapi.DeviceCount) {
            std::printf("ATAPIPROBE no drive %d to write to\n", pageWrite);
            return 1;
        }
        static uint8_t page[kPageSize];
        unsigned sum = 0;
        for (unsigned k = 0; k < sizeof page; ++k) sum += page[k] = static_cast<uint8_t>((k * 7 + 1) & 0xFF);
        // A one-page image: the page's checksum is the image's.
        uint8_t write[12];
        BuildPageWrite(write, {static_cast<uint16_t>(sum), static_cast<uint16_t>(sum), 1});
        atapi.SelectDevice(pageWrite);
        atapi.SendCommand(write, page, sizeof page, kDirOut);
        PrintCommand(pageWrite, "pagewrite", atapi.LastCommand());
    }
    std::printf("ATAPIPROBE done\n");
    return 0;
}
