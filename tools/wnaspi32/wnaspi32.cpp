// A stand-in ASPI manager for tests under wine: serves virtual drives on
// chosen addresses and records what it received.
//
// Environment:
//   UPDATER_VDRIVES     "HA:T:L=PROFILE;..." drives to serve, e.g. "0:0:0=match;0:1:0=other-name".
//                       PROFILE: match (fits the demo image), other-name, other-hwid, newer (revision
//                       1.10), fail-page:N (page write N gets CHECK CONDITION, sense 3/0C/00),
//                       no-identity (identity query answered without signature).
//                       Profiles combine with '+', e.g. "match+fail-page:3". Default "0:0:0=match".
//   UPDATER_ASPI_ASYNC  1: execute requests stay pending and are completed from another thread,
//                       which signals the request's event.
//   UPDATER_ASPI_DELAY_MS  with ASYNC, how long each page write takes (default 0).
//   UPDATER_ASPI_NEVER  an operation code (hex) whose commands never complete.
//   UPDATER_ASPI_LOG    file that gets one line per request (flushed at once):
//                         GDEV ha:t:l status S type T
//                         EXEC ha:t:l cdb=XX .. len=N flags=0xFF status=S
//                         PAGE n checksum=XXXX image=XXXX ms=T  (T: GetTickCount when the page was taken)
//                         ABORT ha
//                         MISMATCH text
//   UPDATER_ASPI_IMAGE  file to which every accepted page is appended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "ScsiBlocks.h"
#include "ScsiChannel.h"
#include "VendorProtocol.h"
#include "VirtualDrive.h"

namespace {

using Address = std::tuple<unsigned, unsigned, unsigned>;

// The win32 thread model's C++ runtime has no std::mutex or std::thread.
class Lock {
public:
    Lock() { ::InitializeCriticalSection(&section_); }
    ~Lock() { ::DeleteCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    friend class Guard;
    CRITICAL_SECTION section_;
};

class Guard {
public:
    explicit Guard(Lock& lock) : section_(&lock.section_) { ::EnterCriticalSection(section_); }
    ~Guard() { ::LeaveCriticalSection(section_); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    CRITICAL_SECTION* section_;
};

struct Manager {
    Lock lock;
    std::map<Address, std::unique_ptr<VirtualDrive>> drives;
    unsigned adapters = 1;
    bool async = false;
    unsigned delayMs = 0;
    int neverOpcode = -1;
    std::FILE* log = nullptr;
    std::FILE* image = nullptr;
    size_t mismatchesLogged = 0;
    std::map<void*, bool> aborted;

    Manager() {
        std::string served = Env("UPDATER_VDRIVES", "0:0:0=match");
        async = Env("UPDATER_ASPI_ASYNC", "0") == "1";
        delayMs = static_cast<unsigned>(std::strtoul(Env("UPDATER_ASPI_DELAY_MS", "0").c_str(), nullptr, 10));
        const std::string never = Env("UPDATER_ASPI_NEVER", "");
        if (!never.empty()) neverOpcode = static_cast<int>(std::strtoul(never.c_str(), nullptr, 16));
        const std::string logPath = Env("UPDATER_ASPI_LOG", ""), imagePath = Env("UPDATER_ASPI_IMAGE", "");
        if (!logPath.empty()) log = std::fopen(logPath.c_str(), "a");
        if (!imagePath.empty()) image = std::fopen(imagePath.c_str(), "wb");
        size_t start = 0;
        while (start < served.size()) {
            size_t end = served.find(';', start);
            if (end == std::string::npos) end = served.size();
            AddDrive(served.substr(start, end - start));
            start = end + 1;
        }
        adapters = 1;
        for (const auto& [address, drive] : drives) adapters = std::max(adapters, std::get<0>(address) + 1);
    }

    static std::string Env(const char* name, const char* fallback) {
        const char* v = std::getenv(name);
        return v ? v : fallback;
    }

    void AddDrive(const std::string& entry) {
        unsigned ha, t, l;
        const size_t eq = entry.find('=');
        if (eq == std::string::npos || std::sscanf(entry.c_str(), "%u:%u:%u", &ha, &t, &l) != 3) return;
        VirtualDriveConfig config;
        std::string profiles = entry.substr(eq + 1) + "+";
        int failPage = 0;
        for (size_t p = 0, q; (q = profiles.find('+', p)) != std::string::npos; p = q + 1) {
            const std::string profile = profiles.substr(p, q - p);
            if (profile == "other-name") config.vendorProduct = "OTHR    DVD-RW KX4800   ";
            if (profile == "other-hwid") config.hardwareId[0] = 'Q', config.hardwareId[1] = '9';
            if (profile == "newer") config.revision = "1.10";
            if (profile == "no-identity") config.identitySignature = false;
            if (profile.rfind("fail-page:", 0) == 0) failPage = std::atoi(profile.c_str() + 10);
        }
        auto drive = std::make_unique<VirtualDrive>(config);
        if (failPage > 0) drive->FailCommand(kPageWriteOpcode, failPage, 2, 0x03, 0x0C, 0x00);
        drives[{ha, t, l}] = std::move(drive);
    }

    void Line(const std::string& text) {
        if (!log) return;
        std::fprintf(log, "%s\n", text.c_str());
        std::fflush(log);
    }

    // Runs one execute request against its drive and fills in its result.
    void Execute(SrbExecScsiCmd* srb) {
        Guard guard(lock);
        if (aborted[srb]) return;
        auto it = drives.find({srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun});
        char head[64];
        std::snprintf(head, sizeof head, "EXEC %u:%u:%u cdb=", srb->SRB_HaId, srb->SRB_Target, srb->SRB_Lun);
        std::string line = head + CommandHex(srb->CDBByte);
        char tail[64];
        if (it == drives.end()) {
            srb->SRB_Status = 0x82;  // SS_NO_DEVICE
        } else {
            VirtualDrive& drive = *it->second;
            const int pagesBefore = drive.PagesWritten();
            const DriveAnswer a = drive.Execute(srb->CDBByte, srb->SRB_BufPointer, srb->SRB_BufLen, srb->SRB_Flags & 0x18);
            srb->SRB_TargStat = a.scsiStatus;
            if (a.scsiStatus != 0) std::memcpy(srb->SenseArea, a.sense, std::min<size_t>(a.senseLength, kAspiSenseLength));
            srb->SRB_Status = a.scsiStatus == 0 ? kSsComp : kSsErr;
            if (drive.PagesWritten() > pagesBefore) {
                const PageWriteFields fields = ReadPageWrite(srb->CDBByte);
                const std::string page = "PAGE " + std::to_string(drive.PagesWritten()) + " checksum=" +
                                         Hex4(fields.pageCheckSum) + " image=" + Hex4(fields.imageCheckSum) +
                                         " ms=" + std::to_string(::GetTickCount());
                if (image) {
                    std::fwrite(srb->SRB_BufPointer, 1, srb->SRB_BufLen, image);
                    std::fflush(image);
                }
                std::snprintf(tail, sizeof tail, " len=%u flags=0x%02X status=%u", srb->SRB_BufLen, srb->SRB_Flags,
                              srb->SRB_Status);
                Line(line + tail);
                Line(page);
                LogMismatches(drive);
                return;
            }
        }
        std::snprintf(tail, sizeof tail, " len=%u flags=0x%02X status=%u", srb->SRB_BufLen, srb->SRB_Flags,
                      srb->SRB_Status);
        Line(line + tail);
    }

    void LogMismatches(VirtualDrive& drive) {
        const auto all = drive.Mismatches();
        // The image checksum line can only be judged at the end; log field mismatches as they come.
        for (size_t i = mismatchesLogged; i < all.size(); ++i)
            if (all[i].rfind("image checksum", 0) != 0) Line("MISMATCH " + all[i]);
        mismatchesLogged = all.size();
    }
};

Manager& TheManager() {
    static Manager manager;
    return manager;
}

// One request executed on a thread of its own, after the configured delay.
struct AsyncJob {
    SrbExecScsiCmd* srb;
    unsigned delay;
};

DWORD WINAPI RunAsyncJob(void* arg) {
    std::unique_ptr<AsyncJob> job(static_cast<AsyncJob*>(arg));
    if (job->delay) ::Sleep(job->delay);
    TheManager().Execute(job->srb);
    if (job->srb->SRB_Status != kSsPending && (job->srb->SRB_Flags & kSrbEventNotify))
        ::SetEvent(static_cast<HANDLE>(job->srb->SRB_PostProc));
    return 0;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() {
    return (DWORD{kSsComp} << 8) | TheManager().adapters;
}

extern "C" __declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) {
    Manager& m = TheManager();
    auto* header = static_cast<SrbHeader*>(request);
    switch (header->SRB_Cmd) {
        case kScGetDevType: {
            auto* gdev = static_cast<SrbGDevBlock*>(request);
            Guard guard(m.lock);
            const bool present = m.drives.count({gdev->SRB_HaId, gdev->SRB_Target, gdev->SRB_Lun}) != 0;
            gdev->SRB_Status = present ? kSsComp : 0x82;
            gdev->SRB_DeviceType = present ? 5 : 0;
            if (present) {
                char line[64];
                std::snprintf(line, sizeof line, "GDEV %u:%u:%u status 1 type 5", gdev->SRB_HaId, gdev->SRB_Target,
                              gdev->SRB_Lun);
                m.Line(line);
            }
            return gdev->SRB_Status;
        }
        case kScExecScsiCmd: {
            auto* srb = static_cast<SrbExecScsiCmd*>(request);
            srb->SRB_Status = kSsPending;
            if (m.neverOpcode == srb->CDBByte[0]) return kSsPending;  // left pending for the caller to abort
            if (!m.async) {
                m.Execute(srb);
                return srb->SRB_Status;
            }
            const unsigned delay = srb->CDBByte[0] == kPageWriteOpcode ? m.delayMs : 0;
            {
                Guard guard(m.lock);
                m.aborted[srb] = false;
            }
            auto* job = new AsyncJob{srb, delay};
            const HANDLE thread = ::CreateThread(nullptr, 0, RunAsyncJob, job, 0, nullptr);
            if (!thread) {
                delete job;
                m.Execute(srb);
                return srb->SRB_Status;
            }
            ::CloseHandle(thread);
            return kSsPending;
        }
        case kScAbortSrb: {
            auto* abort = static_cast<SrbAbort*>(request);
            Guard guard(m.lock);
            m.aborted[abort->SRB_ToAbort] = true;
            auto* target = static_cast<SrbExecScsiCmd*>(abort->SRB_ToAbort);
            if (target && target->SRB_Status == kSsPending) target->SRB_Status = kSsAborted;
            char line[32];
            std::snprintf(line, sizeof line, "ABORT %u", abort->SRB_HaId);
            m.Line(line);
            abort->SRB_Status = kSsComp;
            return kSsComp;
        }
        default:
            header->SRB_Status = 0x80;  // SS_INVALID_CMD
            return 0x80;
    }
}
