// The fixed texts the updater shows: message boxes, captions and log lines.
#pragma once

namespace text {
// Captions.
inline constexpr char kError[] = "Error";
inline constexpr char kCaution[] = "Caution";
inline constexpr char kCautionBang[] = "Caution!";
inline constexpr char kYesBang[] = "Yes!";
inline constexpr char kPleaseWait[] = "Please wait";

// The procedure's own boxes.
inline constexpr char kDriveNameMismatch[] = "Drive name does not match!";
inline constexpr char kHardwareIdMismatch[] = "Hardware ID does not match!";
inline constexpr char kDriveVersionNewer[] = "Drive firmware version is new, are you sure to continue?";
inline constexpr char kFlashNow[] = "Flash Now! Please do not power off!";
inline constexpr char kFlashSucceed[] = "Flash Succeed!";

// Refusals before anything is sent to the drive.
inline constexpr char kNoContainer[] =
    "The firmware container could not be loaded. Nothing has been sent to the drive.";
inline constexpr char kNoDriveName[] =
    "The firmware image carries no drive name. Nothing has been sent to the drive.";
inline constexpr char kNoVersion[] =
    "The firmware image carries no firmware version. Nothing has been sent to the drive.";
inline constexpr char kNoHardwareId[] =
    "The firmware image carries no hardware ID. Nothing has been sent to the drive.";
inline constexpr char kChecksumRefused[] =
    "The firmware image checksum differs from the checksum stored in the container. "
    "Nothing has been sent to the drive.";
inline constexpr char kNotWholePages[] =
    "The firmware image is empty or not a whole number of 16 KiB pages. "
    "Nothing has been sent to the drive.";
inline constexpr char kNoDriveSelected[] = "No drive is selected. Nothing has been sent to the drive.";

// A page write that failed; the page, status and sense are put in front of it.
inline constexpr char kRunAgain[] =
    "The firmware on the drive is incomplete.\n"
    "Do not power off or restart the computer:\nrun the update again now.";

// Shown when the window is asked to close while pages are written.
inline constexpr char kCloseRefused[] =
    "The drive firmware is being written.\nPlease wait until it has finished.\n"
    "Do not power off or restart the computer.";
inline constexpr char kShutdownReason[] = "Drive firmware is being written";

// Log lines.
inline constexpr char kChecksumError[] = "Check Sum error !";
}  // namespace text
