// A scripted stand-in for the OS layer: optical drives per letter or ASPI
// address answered by virtual drives, failures on demand, and a record of
// every call that matters to the tests.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "OsApi.h"
#include "ScsiBlocks.h"
#include "VirtualDrive.h"

class FakeOs : public OsApi {
public:
    FakeOs();

    // --- platform and libraries
    uint32_t platformId = kPlatformWin32Nt;
    std::string systemDirectory = "C:\\WINDOWS\\SYSTEM";
    bool aspiLibraryPresent = true;
    bool aspiHasSupportInfo = true, aspiHasSendCommand = true;

    // --- pass-through drives
    void AddDrive(char letter, VirtualDrive* drive);  // a CD-ROM drive whose open succeeds
    void SetDriveType(char letter, uint32_t type);
    void FailOpen(char letter);
    // The driver writes the drive's sense bytes but leaves SenseInfoLength at 0.
    bool senseLengthLeftZero = false;
    // The n-th DeviceIoControl call (from 1) fails with this error; with
    // `deliver` the command still reaches the drive first (as when the drive
    // stops answering after it took the data).
    void FailIoctl(int call, uint32_t error, bool deliver = false);

    // --- exclusive access (IOCTL_CDROM_EXCLUSIVE_ACCESS) as the CD-ROM class driver answers it
    enum class Exclusive { Known, Unknown, DiscMounted };
    Exclusive exclusive = Exclusive::Known;
    uint32_t unknownRequestError = 1;  // ERROR_INVALID_FUNCTION: what a system without the request answers
    std::map<char, std::string> heldElsewhere;  // letter -> the caller name another program locked it with
    // While a handle holds a drive, the driver answers every other handle's pass-through with
    // access denied. In order, with the pass-through requests: "lock H NAME", "unlock H", "query H",
    // "command H OPCODE" (H the handle, OPCODE two hex digits), "denied H OPCODE".
    std::vector<std::string> driveEvents;
    std::map<OsHandle, std::string> locks;  // handle -> caller name, held now

    // --- ASPI manager
    uint8_t hostAdapters = 1;
    void AddAspiDevice(uint8_t ha, uint8_t target, uint8_t lun, VirtualDrive* drive, uint8_t deviceType = 5);
    enum class AspiAnswer { Immediate, PendingThenSignalled, NeverCompletes, WaitFails };
    AspiAnswer aspiAnswer = AspiAnswer::Immediate;
    // Device-type requests that stay pending while messages are pumped, per address.
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, int> gdevPendingPolls;  // -1: forever
    // Device-type requests answered once this many milliseconds of the clock have passed.
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, uint32_t> gdevAnswerAfterMs;
    bool failCreateEvent = false;

    // --- error texts
    bool formatMessageFails = false;
    uint32_t formatMessageError = 122;  // ERROR_INSUFFICIENT_BUFFER
    std::map<uint32_t, std::string> errorTexts;

    // --- what happened
    std::vector<std::string> messageBoxes;
    std::vector<std::string> openedPaths;     // every CreateFile path, in order
    std::vector<std::string> driveTypeRoots;  // every GetDriveType root, in order
    std::vector<std::string> libraryLoads;
    std::multiset<OsHandle> closedHandles;
    std::set<OsHandle> openHandles;  // drive handles not closed yet
    std::vector<OsHandle> ioctlHandles;
    std::vector<std::vector<uint8_t>> passThroughBlocks;  // each block as passed in
    std::vector<SrbExecScsiCmd> execRequests;             // each execute request as passed in
    std::vector<SrbAbort> abortRequests;
    std::vector<SrbGDevBlock> gdevRequests;
    int supportInfoCalls = 0, pumpedMessages = 0, eventsCreated = 0, eventsClosed = 0, librariesFreed = 0;
    std::vector<uint32_t> waits;  // every WaitForSingleObject time-out

    // OsApi
    uint32_t GetVersionPlatformId() override { return platformId; }
    std::string GetSystemDirectory() override { return systemDirectory; }
    OsHandle LoadLibrary(const std::string& path) override;
    void* GetProcAddress(OsHandle module, const char* name) override;
    void FreeLibrary(OsHandle module) override;
    uint32_t GetDriveType(const std::string& root) override;
    OsHandle CreateFile(const std::string& path) override;
    void CloseHandle(OsHandle handle) override;
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) override;
    uint32_t GetLastError() override { return lastError_; }
    void SetLastError(uint32_t error) { lastError_ = error; }
    bool FormatMessage(uint32_t code, std::string& text) override;
    OsHandle CreateEvent() override;
    uint32_t WaitForSingleObject(OsHandle event, uint32_t milliseconds) override;
    bool PumpMessage() override;
    uint32_t TickCount() override { return clock_ += 1; }  // time moves 1 ms per look
    void MessageBox(const std::string& text) override { messageBoxes.push_back(text); }
    uint32_t CallGetASPI32SupportInfo(void* entry) override;
    uint32_t CallSendASPI32Command(void* entry, void* srb) override;

private:
    void RunExec(SrbExecScsiCmd* srb);
    bool ExclusiveAccess(OsHandle device, void* in, uint32_t inSize, void* out, uint32_t outSize);
    // The handle that holds the drive behind `device`, or 0.
    OsHandle LockHolder(OsHandle device) const;
    struct Letter {
        uint32_t type = 1;  // DRIVE_NO_ROOT_DIR
        VirtualDrive* drive = nullptr;
        bool opens = true;
    };
    std::map<char, Letter> letters_;
    std::map<OsHandle, VirtualDrive*> handles_;
    std::map<OsHandle, char> handleLetters_;
    std::map<std::tuple<uint8_t, uint8_t, uint8_t>, std::pair<VirtualDrive*, uint8_t>> aspi_;
    std::map<int, std::pair<uint32_t, bool>> ioctlFailures_;
    int ioctlCalls_ = 0;
    uint32_t lastError_ = 0;
    OsHandle nextHandle_ = 0x100;
    SrbExecScsiCmd* pending_ = nullptr;  // the execute request awaiting its event
    SrbGDevBlock* pendingGdev_ = nullptr;
    int pendingPolls_ = 0;
    bool pendingByTime_ = false;
    uint32_t answerAt_ = 0;
    uint32_t clock_ = 0xFFFF0000;  // starts near the wrap, which the waits must survive
};
