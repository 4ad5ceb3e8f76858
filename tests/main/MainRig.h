// The window logic wired to a scripted window, a scripted OS and virtual
// drives, the way the program wires it to Win32.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FakeOs.h"
#include "Main.h"
#include "ScriptedWindow.h"
#include "TAtapi.h"
#include "TestImage.h"
#include "VirtualDrive.h"

// An OS fake whose identity reply can be rewritten after the drive answered,
// for replies that the virtual drive does not make on its own.
class ReplyEditingOs : public FakeOs {
public:
    std::function<void(uint8_t* reply)> editIdentityReply;

    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) override {
        const bool ok = FakeOs::DeviceIoControl(device, code, in, inSize, out, outSize, returned);
        const auto* block = static_cast<const uint8_t*>(in);
        const PassThroughLayout& layout = kNativePassThrough;
        if (editIdentityReply && block[layout.cdb] == 0x5A) {
            uintptr_t address = 0;
            std::memcpy(&address, block + layout.dataBuffer, sizeof address);
            editIdentityReply(reinterpret_cast<uint8_t*>(address));
        }
        return ok;
    }
};

struct MainRig {
    ReplyEditingOs os;
    std::vector<std::unique_ptr<VirtualDrive>> drives;
    std::unique_ptr<TAtapi> atapi;
    SKFSParameter parameter;
    ScriptedWindow window;
    std::vector<uint8_t> image;
    std::vector<uint8_t> container;
    std::unique_ptr<TMainW> form;

    MainRig() { UseImage(testimage::Spec{}); }

    void UseImage(const testimage::Spec& spec) {
        image = testimage::Image(spec);
        container = testimage::Container(image, spec.bankSize);
    }

    // A pass-through drive at the next letter from D.
    VirtualDrive& AddDrive(VirtualDriveConfig config = {}) {
        drives.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        os.AddDrive(static_cast<char>('D' + drives.size() - 1), drives.back().get());
        return *drives.back();
    }

    VirtualDrive& AddAspiDrive(uint8_t target, VirtualDriveConfig config = {}) {
        os.platformId = 1;  // the 9x family
        drives.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        os.AddAspiDevice(0, target, 0, drives.back().get());
        return *drives.back();
    }

    // Discovery, then the window as the program creates it.
    void Start() {
        Discover();
        CreateForm();
    }
    void Discover() { atapi = std::make_unique<TAtapi>(os); }
    void CreateForm() {
        form = std::make_unique<TMainW>(window, *atapi, parameter, container.data(), container.size());
        form->FormCreate();
        sentBefore_.clear();
        for (const auto& drive : drives) sentBefore_.push_back(drive->Commands().size());
    }

    // What a drive received after start-up, that is from the flash procedure.
    std::vector<VirtualDrive::Received> SentTo(size_t drive = 0) const {
        const auto& all = drives.at(drive)->Commands();
        return {all.begin() + static_cast<std::ptrdiff_t>(sentBefore_.at(drive)), all.end()};
    }

    std::vector<std::string> BoxCaptions() const {
        std::vector<std::string> captions;
        for (const auto& box : window.boxes) captions.push_back(box.caption);
        return captions;
    }

private:
    std::vector<size_t> sentBefore_;  // commands each drive had received by the end of start-up
};

inline std::vector<uint8_t> Cdb(const VirtualDrive::Received& command) {
    return {command.cdb, command.cdb + 12};
}

inline std::string Hex4(unsigned value) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", value & 0xFFFF);
    return digits;
}
