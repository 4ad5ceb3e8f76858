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

class TMainW {
public:
    // container/containerSize: the KFS container that FormCreate loads.
    TMainW(MainWindowUi& window, TAtapi& atapi, SKFSParameter& parameter, const uint8_t* container,
           size_t containerSize);

    // Event handlers; the sender is not used.
    void FormCreate(void* sender = nullptr);
    void cbbDeviceChange(void* sender = nullptr);
    void btnStartClick(void* sender = nullptr);

    FirmwareImage Image;
    uint16_t ImageCheckSum = 0;
    std::unique_ptr<char[]> ImageHardwareID;
    std::unique_ptr<char[]> ImageDriveName;
    std::unique_ptr<char[]> ImageVersion;

private:
    bool RefusedBeforeSending(int selected);
    bool DriveAccepted(int selected);
    // Empty when every page was written, else what the user is told.
    std::string WritePages(uint32_t pageCount, uint16_t imageCheckSum);

    MainWindowUi& window_;
    TAtapi& atapi_;
    SKFSParameter& parameter_;
    const uint8_t* container_;
    size_t containerSize_;
    bool running_ = false;
};
