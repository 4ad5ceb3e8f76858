// Unit Main: the updater's main window logic. It reaches the window only
// through MainWindowUi and the drives only through TAtapi.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Kfs.h"
#include "MainWindowUi.h"
#include "TAtapi.h"

// What the drive said when it was asked again after the last page.
enum class ReadBack {
    NotRun,        // no page run completed
    Confirmed,     // it reports the image's version
    OtherVersion,  // it answers with another version
    NoAnswer,      // it did not answer in time
};

class TMainW {
public:
    // container/containerSize: the KFS container that FormCreate loads.
    TMainW(MainWindowUi& window, TAtapi& atapi, SKFSParameter& parameter, const uint8_t* container,
           size_t containerSize);

    // Event handlers; the sender is not used.
    void FormCreate(void* sender = nullptr);
    void cbbDeviceChange(void* sender = nullptr);
    void btnStartClick(void* sender = nullptr);
    // Asked before the window closes: from the press of Start until the procedure has ended,
    // canClose is set false and the log says why.
    void FormCloseQuery(void* sender, bool& canClose);

    FirmwareImage Image;
    uint16_t ImageCheckSum = 0;
    std::unique_ptr<char[]> ImageHardwareID;
    std::unique_ptr<char[]> ImageDriveName;
    std::unique_ptr<char[]> ImageVersion;

    // False where no page reaches the drive (the terminal's dry run): nothing to read back.
    bool ReadBackVersion = true;
    // Of the last run of btnStartClick.
    ReadBack LastReadBack = ReadBack::NotRun;

private:
    class Procedure;
    void RunProcedure();
    bool RefusedBeforeSending(int selected);
    bool DriveAccepted(int selected);
    // Empty when every page was written, else what the user is told.
    std::string WritePages(uint32_t pageCount, uint16_t imageCheckSum);
    // False when the battery is too low to write; logs advice when it runs on the battery.
    bool PowerAllowsWriting();
    ReadBack AskVersionAgain(const char* imageVersion);

    MainWindowUi& window_;
    TAtapi& atapi_;
    SKFSParameter& parameter_;
    const uint8_t* container_;
    size_t containerSize_;
    bool running_ = false;        // from the press of Start until the procedure has ended
    bool writing_ = false;        // while the pages are written and the drive asked again
    bool changeDeferred_ = false;  // the selection changed while the procedure ran
};
