// A console test program: runs drive discovery with the real OS layer and
// prints the device table and, for each listed drive, what INQUIRY and the
// identity query returned. Writes one page only to a drive named with
// --page-write INDEX.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "TAtapi.h"

namespace {

// The real layer, but message boxes are printed so a console run never blocks.
class ConsoleOsApi final : public OsApi {
public:
    explicit ConsoleOsApi(OsApi& os) : os_(os) {}
    uint32_t GetVersionPlatformId() override { return os_.GetVersionPlatformId(); }
    std::string GetSystemDirectory() override { return os_.GetSystemDirectory(); }
    OsHandle LoadLibrary(const std::string& path) override { return os_.LoadLibrary(path); }
    void* GetProcAddress(OsHandle module, const char* name) override { return os_.GetProcAddress(module, name); }
    void FreeLibrary(OsHandle module) override { os_.FreeLibrary(module); }
    uint32_t GetDriveType(const std::string& root) override { return os_.GetDriveType(root); }
    OsHandle CreateFile(const std::string& path) override { return os_.CreateFile(path); }
    void CloseHandle(OsHandle handle) override { os_.CloseHandle(handle); }
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) override {
        return os_.DeviceIoControl(device, code, in, inSize, out, outSize, returned);
    }
    uint32_t GetLastError() override { return os_.GetLastError(); }
    bool FormatMessage(uint32_t code, std::string& text) override { return os_.FormatMessage(code, text); }
    OsHandle CreateEvent() override { return os_.CreateEvent(); }
    uint32_t WaitForSingleObject(OsHandle event, uint32_t ms) override { return os_.WaitForSingleObject(event, ms); }
    bool PumpMessage() override { return os_.PumpMessage(); }
    uint32_t TickCount() override { return os_.TickCount(); }
    void MessageBox(const std::string& text) override {
        std::string shown;
        for (char c : text) shown += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
        std::printf("MESSAGE text=\"%s\"\n", shown.c_str());
        std::fflush(stdout);
    }
    uint32_t CallGetASPI32SupportInfo(void* entry) override { return os_.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(void* entry, void* srb) override { return os_.CallSendASPI32Command(entry, srb); }

private:
    OsApi& os_;
};

void PrintCommand(int index, const char* name, const CommandRecord& r) {
    std::printf("CMD index=%d name=%s status=%u outcome=%s oserror=%u scsi=0x%02X srb=0x%02X sensekey=0x%X "
                "asc=0x%02X ascq=0x%02X senselen=%u cdb=",
                index, name, r.status, OutcomeName(r.outcome), r.osError, r.scsiStatus, r.srbStatus, r.SenseKey(),
                r.Asc(), r.Ascq(), r.senseLength);
    for (int i = 0; i < 12; ++i) std::printf(i ? " %02X" : "%02X", r.cdb[i]);
    std::printf("\n");
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
    ConsoleOsApi os(SystemOsApi());
    TAtapi atapi(os);
    std::printf("ATAPIPROBE platform=%s devices=%d\n", atapi.IsNt ? "nt" : "aspi", atapi.DeviceCount);
    for (int i = 0; i < atapi.DeviceCount; ++i) {
        const DeviceRecord& d = atapi.Devices[i];
        std::printf("DEVICE index=%d name=%s ha=%u target=%u lun=%u product=\"%s\" revision=\"%s\"\n", i,
                    atapi.DeviceName(i).c_str(), d.HaId, d.Target, d.Lun, d.Product, d.Revision);
    }
    std::fflush(stdout);
    static const uint8_t kIdentityQuery[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
    for (int i = 0; i < atapi.DeviceCount; ++i) {
        atapi.SelectDevice(i);
        uint8_t inquiry[50] = {};
        atapi.Inquiry(inquiry);
        PrintCommand(i, "inquiry", atapi.LastCommand());
        uint8_t identity[20] = {};
        atapi.SendCommand(kIdentityQuery, identity, sizeof identity, kDirIn);
        PrintCommand(i, "identity", atapi.LastCommand());
    }
    if (pageWrite >= 0) {
        if (pageWrite >= atapi.DeviceCount) {
            std::printf("ATAPIPROBE no drive %d to write to\n", pageWrite);
            return 1;
        }
        static uint8_t page[16384];
        unsigned sum = 0;
        for (unsigned k = 0; k < sizeof page; ++k) sum += page[k] = static_cast<uint8_t>((k * 7 + 1) & 0xFF);
        const uint8_t hi = static_cast<uint8_t>(sum >> 8), lo = static_cast<uint8_t>(sum);
        const uint8_t write[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44, hi, lo, hi, lo, 0x01, 0x08};
        atapi.SelectDevice(pageWrite);
        atapi.SendCommand(write, page, sizeof page, kDirOut);
        PrintCommand(pageWrite, "pagewrite", atapi.LastCommand());
    }
    std::printf("ATAPIPROBE done\n");
    return 0;
}
