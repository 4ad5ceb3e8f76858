#include "Main.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "DriveReservation.h"
#include "FlashSession.h"
#include "Firmware.h"
#include "MainTexts.h"
#include "VendorProtocol.h"
#include "VersionNumber.h"

namespace {

constexpr uint8_t kStatusCompleted = 1;
// Below this charge a battery is not trusted to last through the writes.
constexpr int kLeastBatteryPercent = 25;
// After the last page the drive may reset itself: it is asked once a second for this long.
constexpr uint32_t kReadBackMilliseconds = 60000;
constexpr uint32_t kReadBackPause = 1000;
// INQUIRY bytes 32 to 35 carry the product revision level.
constexpr uint32_t kInquiryRevisionEnd = 36;

// An absent text counts as empty; a zero byte ends a text.
const char* OrEmpty(const char* text) { return text ? text : ""; }

std::string Bounded(const char* text, size_t maximum) { return std::string(text, strnlen(text, maximum)); }

int ListedCount(const TAtapi& atapi) { return std::clamp(atapi.DeviceCount, 0, kMaxDevices); }

// Sets a flag for as long as it lives.
class Raised {
public:
    explicit Raised(bool& flag) : flag_(flag) { flag_ = true; }
    ~Raised() { flag_ = false; }
    Raised(const Raised&) = delete;
    Raised& operator=(const Raised&) = delete;

private:
    bool& flag_;
};

// False, after telling why, when the drive is not to be used.
bool ReservationAllows(MainWindowUi& window, const Reservation& reservation) {
    std::string refusal;
    switch (reservation.outcome) {
        case Reservation::Outcome::Held:
        case Reservation::Outcome::NotPossible:
        case Reservation::Outcome::HeldInPart:
            return true;
        case Reservation::Outcome::HeldElsewhere:
            refusal = reservation.holder.empty() ? std::string(text::kDriveInUse)
                                                 : text::kDriveHeldBefore + reservation.holder + text::kDriveHeldAfter;
            break;
        case Reservation::Outcome::DiscInUse:
            refusal = text::kDiscInDrive;
            break;
        case Reservation::Outcome::Failed:
            refusal = text::kNotReservedBefore + reservation.detail + text::kNotReservedAfter;
            break;
    }
    window.ShowMessageBox(ui::BoxKind::Refused, refusal, text::kError, ui::kOk);
    return false;
}

// detail: the status and what the path said, in its own words.
std::string PageFailureText(uint32_t page, uint32_t pageCount, const std::string& detail) {
    return "Writing page " + std::to_string(page) + " of " + std::to_string(pageCount) + " failed.\n" + detail +
           ".\n\n" + text::kRunAgain;
}

}  // namespace

// Marks the procedure as running (a second Start, a change of drive and closing wait for its end),
// and takes a drive chosen meanwhile once it has ended, so that the list shows the drive Start uses.
class TMainW::Procedure {
public:
    explicit Procedure(TMainW& form) : form_(form) { form_.running_ = true; }
    ~Procedure() {
        form_.running_ = false;
        if (form_.changeDeferred_) {
            form_.changeDeferred_ = false;
            form_.cbbDeviceChange();
        }
    }
    Procedure(const Procedure&) = delete;
    Procedure& operator=(const Procedure&) = delete;

private:
    TMainW& form_;
};

TMainW::TMainW(MainWindowUi& window, TAtapi& atapi, SKFSParameter& parameter, const uint8_t* container,
               size_t containerSize)
    : window_(window), atapi_(atapi), parameter_(parameter), container_(container),
      containerSize_(containerSize) {}

void TMainW::FormCreate(void*) {
    uint32_t length = 0;
    Image.data = LoadContainer(container_, containerSize_, length, parameter_);
    Image.length = Image.data ? length : 0;
    ImageCheckSum = GetCheckSum(Image.data.get(), Image.length);
    ImageHardwareID = GetHardwareID(Image.data.get(), Image.length);
    ImageDriveName = GetDriveName(Image.data.get(), Image.length);
    ImageVersion = GetVersion(Image.data.get(), Image.length);

    // The drive name is 24 characters wide, its trailing spaces included, so the
    // version follows it directly.
    window_.SetCaption(std::string(OrEmpty(ImageDriveName.get())) + OrEmpty(ImageVersion.get()) + " " +
                       OrEmpty(ImageHardwareID.get()) + " Updater");
    window_.ClearLog();
    if (parameter_.checksum != ImageCheckSum) window_.AppendLog(text::kChecksumError);

    for (int i = 0; i < ListedCount(atapi_); ++i) {
        const DeviceRecord& device = atapi_.Devices[i];
        window_.AddDeviceItem("[ " + std::to_string(i + 1) + " ] " + Bounded(device.Product, 24) + "  " +
                              Bounded(device.Revision, 4));
    }
    // Selecting from code raises no change event, hence the direct call.
    window_.SelectDeviceItem(0);
    cbbDeviceChange();
}

void TMainW::cbbDeviceChange(void*) {
    if (running_) {
        changeDeferred_ = true;
        return;
    }
    const int index = window_.SelectedDeviceIndex();
    if (index >= 0 && index < ListedCount(atapi_)) atapi_.SelectDevice(index);
}

void TMainW::btnStartClick(void*) {
    if (running_) return;
    Procedure procedure(*this);
    RunProcedure();
}

void TMainW::FormCloseQuery(void*, bool& canClose) {
    if (!running_) return;
    canClose = false;
    window_.AppendLog(writing_ ? text::kCloseRefused : text::kCloseRefusedBeforeWrites);
}

void TMainW::RunProcedure() {
    const int selected = window_.SelectedDeviceIndex();
    LastReadBack = ReadBack::NotRun;
    if (RefusedBeforeSending(selected)) return;
    // Kept from before the identity query until the procedure ends, whichever way it ends.
    DriveReservation reservation(atapi_);
    if (!ReservationAllows(window_, reservation.Result()) || !DriveAccepted(selected)) return;
    // Said only of a drive that is to be written: a refused one leaves the log as it was.
    if (reservation.Result().outcome != Reservation::Outcome::Held) window_.AppendLog(text::kNotReserved);

    const uint32_t pageCount = Image.length >> kPageShift;
    window_.SetProgressPosition(0);
    window_.SetProgressMax(pageCount);
    const uint16_t imageCheckSum = GetCheckSum(Image.data.get(), Image.length);
    window_.AppendLog("Firmware Checksum : " + Hex4(imageCheckSum));
    if (!PowerAllowsWriting()) return;
    // OK alone is consent: a box that failed or went with its window answers 0.
    if (window_.ShowMessageBox(ui::BoxKind::LastConfirmation, text::kFlashNow, text::kCautionBang, ui::kOkCancel) !=
        ui::kIdOk) {
        return;
    }

    std::string failure;
    {
        // Held until the drive has answered after the last page: it may still be storing the firmware.
        FlashSession session(window_);
        Raised writing(writing_);
        // The boxes stay out of this part: they come after it, on the window's own thread.
        window_.RunWrites([&] {
            failure = WritePages(pageCount, imageCheckSum);
            if (failure.empty() && ReadBackVersion) {
                const std::unique_ptr<char[]> imageVersion = GetVersion(Image.data.get(), Image.length);
                LastReadBack = AskVersionAgain(OrEmpty(imageVersion.get()));
            }
        });
    }
    reservation.Release();
    if (!failure.empty()) {
        window_.ShowMessageBox(ui::BoxKind::PageFailed, failure, text::kError, ui::kOk);
        return;
    }
    if (ReadBackVersion && LastReadBack != ReadBack::Confirmed) {
        window_.ShowMessageBox(ui::BoxKind::Unconfirmed, text::kUnconfirmed, text::kCaution, ui::kOk);
        return;
    }
    window_.ShowMessageBox(ui::BoxKind::Succeeded, text::kFlashSucceed, text::kYesBang, ui::kOk);
}

bool TMainW::RefusedBeforeSending(int selected) {
    const char* reason = nullptr;
    if (!Image.data) {
        reason = text::kNoContainer;
    } else if (!ImageDriveName) {
        reason = text::kNoDriveName;
    } else if (!ImageVersion) {
        reason = text::kNoVersion;
    } else if (!ImageHardwareID) {
        reason = text::kNoHardwareId;
    } else if (parameter_.checksum != ImageCheckSum) {
        reason = text::kChecksumRefused;
    } else if (!IsWholePages(Image.length)) {
        reason = text::kNotWholePages;
    } else if (selected < 0 || selected >= ListedCount(atapi_)) {
        reason = text::kNoDriveSelected;
    }
    if (!reason) return false;
    window_.ShowMessageBox(ui::BoxKind::Refused, reason, text::kError, ui::kOk);
    return true;
}

bool TMainW::DriveAccepted(int selected) {
    uint8_t identity[kIdentityReplyLength] = {};
    uint8_t inquiry[50] = {};
    atapi_.SendCommand(kIdentityQueryCommand, identity, kIdentityReplyLength, kDirIn);
    atapi_.Inquiry(inquiry);

    char hardwareId[3] = {};
    std::memcpy(hardwareId, IdentityReplySigned(identity) ? &identity[kReplyHardwareIdAt] : &inquiry[38], 2);
    char driveName[25] = {};
    std::memcpy(driveName, &inquiry[8], 24);

    if (std::strcmp(driveName, OrEmpty(ImageDriveName.get())) != 0) {
        window_.ShowMessageBox(ui::BoxKind::DriveNameMismatch, text::kDriveNameMismatch, text::kError, ui::kOk);
        return false;
    }
    if (std::strcmp(hardwareId, OrEmpty(ImageHardwareID.get())) != 0) {
        window_.ShowMessageBox(ui::BoxKind::HardwareIdMismatch, text::kHardwareIdMismatch, text::kError, ui::kOk);
        return false;
    }

    const std::unique_ptr<char[]> imageVersion = GetVersion(Image.data.get(), Image.length);
    char driveVersion[5] = {};
    std::memcpy(driveVersion, atapi_.Devices[selected].Revision, 4);
    if (DecimalValue(driveVersion) > DecimalValue(OrEmpty(imageVersion.get())) &&
        window_.ShowMessageBox(ui::BoxKind::DriveVersionNewer, text::kDriveVersionNewer, text::kCaution,
                               ui::kYesNo) != ui::kIdYes) {
        return false;
    }
    return true;
}

std::string TMainW::WritePages(uint32_t pageCount, uint16_t imageCheckSum) {
    for (uint32_t index = 0; index < pageCount; ++index) {
        const uint32_t page = index + 1;
        uint8_t* data = Image.data.get() + static_cast<size_t>(index) * kPageSize;
        const uint16_t pageCheckSum = GetCheckSum(data, kPageSize);
        window_.AppendLog("Page " + std::to_string(page) + " Checksum : " + Hex4(pageCheckSum));

        uint8_t command[12];
        BuildPageWrite(command, {pageCheckSum, imageCheckSum, static_cast<uint8_t>(page)});
        const uint8_t status = atapi_.SendCommand(command, data, kPageSize, kDirOut);
        const CommandRecord& record = atapi_.LastCommand();
        // A page the drive did not take whole is no page written.
        if (status != kStatusCompleted || record.residual != 0)
            return PageFailureText(page, pageCount, atapi_.Describe(record));
        if (record.outcome == CommandOutcome::CompletedTolerated) {
            window_.AppendLog("Page " + std::to_string(page) + " counted as written " + atapi_.Describe(record));
        }
        window_.SetProgressPosition(page);
        // Between two commands, never during one: a window that runs the writes inline
        // repaints and moves its progress bar here.
        window_.ProcessPendingMessages();
    }
    return {};
}

bool TMainW::PowerAllowsWriting() {
    const ui::PowerStatus power = window_.Power();
    if (power.source != ui::PowerSource::Battery) return true;
    if (power.percent >= 0 && power.percent < kLeastBatteryPercent) {
        window_.ShowMessageBox(ui::BoxKind::BatteryLow,
                               text::kBatteryLowBefore + std::to_string(power.percent) + text::kBatteryLowAfter,
                               text::kError, ui::kOk);
        return false;
    }
    window_.AppendLog(text::kOnBattery);
    return true;
}

ReadBack TMainW::AskVersionAgain(const char* imageVersion) {
    const uint32_t start = window_.Clock();
    // Bounded by count as well, should the window's clock stand still.
    const uint32_t mostAsks = kReadBackMilliseconds / kReadBackPause + 1;
    for (uint32_t asked = 1;; ++asked) {
        uint8_t inquiry[50] = {};
        const uint8_t status = atapi_.Inquiry(inquiry);
        const CommandRecord& record = atapi_.LastCommand();
        const CommandOutcome outcome = record.outcome;
        // Only the drive's own answer, up to its revision, tells: a blank buffer that the transport
        // counted as done is a drive that is still resetting.
        if (status == kStatusCompleted && outcome == CommandOutcome::Completed &&
            record.length - record.residual >= kInquiryRevisionEnd) {
            char revision[5] = {};
            std::memcpy(revision, &inquiry[32], 4);
            window_.AppendLog(text::kVersionNow + std::string(revision));
            if (std::strcmp(revision, imageVersion) == 0) {
                window_.AppendLog(text::kRunsNewFirmware);
                return ReadBack::Confirmed;
            }
            window_.AppendLog(text::kOtherVersion);
            window_.AppendLog(text::kTurnOffAndOn);
            return ReadBack::OtherVersion;
        }
        // A request the system itself could not deliver does not heal by waiting: the
        // system has told why (once is enough).
        if (outcome == CommandOutcome::NotDelivered) {
            window_.AppendLog(text::kNotAsked);
            break;
        }
        if (asked >= mostAsks || window_.Clock() - start >= kReadBackMilliseconds) {
            window_.AppendLog(text::kNoAnswerBefore + std::to_string(kReadBackMilliseconds / 1000) +
                              text::kNoAnswerAfter);
            break;
        }
        window_.Wait(kReadBackPause);
    }
    window_.AppendLog(text::kTurnOffAndOn);
    return ReadBack::NoAnswer;
}
