// The fixed texts the updater shows: message boxes, captions and log lines.
#pragma once

namespace text {
// Captions.
inline constexpr char kError[] = "Error";
inline constexpr char kCaution[] = "Caution";
inline constexpr char kCautionBang[] = "Caution!";
inline constexpr char kYesBang[] = "Yes!";

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

// The drive kept to this program from the identity query to the last command.
inline constexpr char kDriveHeldBefore[] = "The drive is in use by another program (";
inline constexpr char kDriveHeldAfter[] =
    "). Close that program, then start again. Nothing has been sent to the drive.";
inline constexpr char kDriveInUse[] =
    "Another program is using the drive. Close it, then start again. Nothing has been sent to the drive.";
inline constexpr char kDiscInDrive[] =
    "A disc in the drive is in use, so the drive cannot be kept for the update. "
    "Take the disc out of the drive, then start again. Nothing has been sent to the drive.";
inline constexpr char kNotReservedBefore[] = "The drive could not be reserved for the update: ";
inline constexpr char kNotReservedAfter[] = ". Nothing has been sent to the drive.";
inline constexpr char kNotReserved[] =
    "The drive could not be reserved for the update. Close other programs that use the drive.";

// A page write that failed; the page, status and sense are put in front of it.
inline constexpr char kRunAgain[] =
    "The firmware on the drive is incomplete.\n"
    "Do not power off or restart the computer:\nrun the update again now.";

// Logged when the window is asked to close while the procedure runs: before the writes, and while
// pages are written (a box would hold them up).
inline constexpr char kCloseRefusedBeforeWrites[] =
    "Closing refused: the update is in progress. Answer its message or wait until it has ended.";
inline constexpr char kCloseRefused[] =
    "Closing refused: the drive firmware is being written. Wait until it has finished; "
    "do not power off or restart the computer.";
inline constexpr char kShutdownReason[] = "Drive firmware is being written";
inline constexpr char kShutdownRefused[] =
    "Shutdown or log-off refused: the drive firmware is being written. Wait until it has finished.";
// The session ends all the same (a forced shutdown): the window holds it as long as the system lets it.
inline constexpr char kSessionHeld[] =
    "The session is ending: it is held until the drive firmware has been written and the drive asked again.";
inline constexpr char kSessionLetGo[] = "The drive firmware writes have ended; the session may end now.";

// Power, checked before the last confirmation; the charge is put between the two parts.
inline constexpr char kBatteryLowBefore[] = "The computer runs on its battery with ";
inline constexpr char kBatteryLowAfter[] =
    " % charge left: too little to write the drive firmware safely.\n"
    "Connect the charger, then start again. No page has been written to the drive.";
inline constexpr char kOnBattery[] =
    "The computer runs on its battery. Connecting the charger before the firmware is written is advised.";

// The drive asked again once the pages are written.
inline constexpr char kVersionNow[] = "Drive firmware version now: ";
inline constexpr char kRunsNewFirmware[] = "The drive runs the new firmware.";
inline constexpr char kOtherVersion[] = "The drive still reports another firmware version.";
inline constexpr char kNoAnswerBefore[] = "The drive did not answer within ";
inline constexpr char kNoAnswerAfter[] = " seconds.";
inline constexpr char kNotAsked[] = "The drive could not be asked for its firmware version.";
inline constexpr char kUnconfirmed[] =
    "Every page was written, but the drive did not report the new firmware version.\n"
    "Turn the computer off and on, then check the drive firmware version.";
inline constexpr char kTurnOffAndOn[] =
    "The drive may take the new firmware only after the computer is turned off and on again; "
    "check the drive firmware version then.";

// Log lines.
inline constexpr char kChecksumError[] = "Check Sum error !";
}  // namespace text
