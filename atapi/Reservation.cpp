// Keeping the current device to this program for the length of a procedure.
#include <cstring>

#include "TAtapi.h"

namespace {

// What the class driver tells other programs that ask who holds the drive. Letters and
// underscores only: the driver refuses a name with characters outside its short list.
constexpr char kCallerName[] = "Drive_Firmware_Updater";
static_assert(sizeof kCallerName <= kExclusiveCallerLength);

// The holder's name as the driver gave it: up to its zero, printable characters only.
std::string HolderName(const uint8_t* name) {
    std::string text;
    for (size_t i = 0; i < kExclusiveCallerLength && name[i] != 0; ++i)
        text += name[i] >= 0x20 && name[i] < 0x7F ? static_cast<char>(name[i]) : '?';
    return text;
}

}  // namespace

Reservation TAtapi::Reserve() {
    Release();
    ScsiChannel& path = Path();
    Reservation reservation = path.Reserve(CurrentHandle);
    if (reservation.outcome == Reservation::Outcome::Held || reservation.outcome == Reservation::Outcome::HeldInPart) {
        reservedPath_ = &path;
        reservedDrive_ = CurrentHandle;
    }
    return reservation;
}

void TAtapi::Release() {
    if (reservedPath_ == nullptr) return;
    ScsiChannel* path = reservedPath_;
    reservedPath_ = nullptr;
    path->Release(reservedDrive_);
}

Reservation TAtapi::OsPath::Reserve(OsHandle drive) {
    // The ASPI manager has no way to keep a drive to one program.
    if (!atapi_.IsNt) return {};
    return atapi_.LockExclusive(drive);
}

void TAtapi::OsPath::Release(OsHandle drive) {
    if (!atapi_.IsNt) return;
    CdromExclusiveAccess unlock{kExclusiveAccessUnlockDevice, 0};
    uint32_t returned = 0;
    // Should this fail, closing the handle at the end of the run gives the drive back.
    atapi_.os_->DeviceIoControl(drive, kIoctlCdromExclusiveAccess, &unlock, sizeof unlock, nullptr, 0, &returned);
}

Reservation TAtapi::LockExclusive(OsHandle drive) {
    CdromExclusiveLock lock{};
    lock.Access.RequestType = kExclusiveAccessLockDevice;
    std::memcpy(lock.CallerName, kCallerName, sizeof kCallerName);
    uint32_t returned = 0;
    if (os_->DeviceIoControl(drive, kIoctlCdromExclusiveAccess, &lock, sizeof lock, nullptr, 0, &returned))
        return {Reservation::Outcome::Held, {}, {}};
    const uint32_t error = os_->GetLastError();
    Reservation reservation;
    switch (error) {
        // Systems before the request (and those that only mimic the class driver) do not know it.
        case kErrorInvalidFunction:
        case kErrorNotSupported:
        case kErrorInvalidParameter:
            reservation.outcome = Reservation::Outcome::NotPossible;
            break;
        // The driver locks the drive only when no file system is mounted on it.
        case kErrorBadCommand:
            reservation.outcome = Reservation::Outcome::DiscInUse;
            break;
        case kErrorAccessDenied: {
            // The driver's answer when another handle holds the lock; it names the holder when asked.
            reservation.outcome = Reservation::Outcome::HeldElsewhere;
            CdromExclusiveAccess query{kExclusiveAccessQueryState, 0};
            CdromExclusiveLockState state{};
            if (os_->DeviceIoControl(drive, kIoctlCdromExclusiveAccess, &query, sizeof query, &state, sizeof state,
                                     &returned)) {
                if (state.LockState != 0)
                    reservation.holder = HolderName(state.CallerName);
                else
                    reservation.outcome = Reservation::Outcome::Failed;  // denied for another reason
            }
            break;
        }
        default:
            reservation.outcome = Reservation::Outcome::Failed;
            break;
    }
    reservation.detail = SystemText(error);
    return reservation;
}

// The system's words for an error, on one line.
std::string TAtapi::SystemText(uint32_t code) {
    std::string text;
    if (!os_->FormatMessage(code, text)) return "system error " + std::to_string(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text + " (system error " + std::to_string(code) + ")";
}
