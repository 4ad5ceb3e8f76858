// The window logic with a scripted window, the fake OS layer, virtual drives
// and the real drive-access object between them.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FakeOs.h"
#include "Firmware.h"
#include "Kfs.h"
#include "Main.h"
#include "ScriptedWindow.h"
#include "TAtapi.h"
#include "TestImage.h"
#include "VirtualDrive.h"

class MainFixture : public ::testing::Test {
protected:
    // A CD-ROM drive at this letter on the pass-through path.
    VirtualDrive& Drive(char letter, VirtualDriveConfig config = {}) {
        drives_.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        os.AddDrive(letter, drives_.back().get());
        return *drives_.back();
    }
    // A CD-ROM device on the ASPI path.
    VirtualDrive& AspiDrive(uint8_t ha, uint8_t target, uint8_t lun, VirtualDriveConfig config = {}) {
        os.platformId = 1;
        drives_.push_back(std::make_unique<VirtualDrive>(std::move(config)));
        os.AddAspiDevice(ha, target, lun, drives_.back().get());
        return *drives_.back();
    }

    // Start-up as the program does it: the drive-access object first, then the
    // window, whose creation handler runs before it is shown.
    void Start(std::vector<uint8_t> containerBytes) {
        container = std::move(containerBytes);
        atapi = std::make_unique<TAtapi>(os);
        form = std::make_unique<TMainW>(window, *atapi, parameter, container.data(), container.size());
        form->FormCreate();
        for (const auto& drive : drives_) sentAtStart_.push_back(drive->Commands().size());
    }
    void Start(const testimage::Shape& shape = {}) {
        image = testimage::Image(shape);
        Start(testimage::Container(image, shape.bankSize));
    }

    // Commands a drive received after start-up.
    std::vector<VirtualDrive::Received> SentSinceStart(const VirtualDrive& drive) const {
        size_t skip = 0;
        for (size_t i = 0; i < drives_.size(); ++i) {
            if (drives_[i].get() == &drive) skip = sentAtStart_.at(i);
        }
        const auto& all = drive.Commands();
        return {all.begin() + static_cast<long>(skip), all.end()};
    }
    static std::vector<VirtualDrive::Received> PageWrites(const std::vector<VirtualDrive::Received>& sent) {
        std::vector<VirtualDrive::Received> writes;
        for (const auto& command : sent) {
            if (command.cdb[0] == 0xFD) writes.push_back(command);
        }
        return writes;
    }

    // The 16-bit byte sum, computed here on its own.
    static uint16_t Sum(const uint8_t* bytes, size_t length) {
        uint32_t sum = 0;
        for (size_t i = 0; i < length; ++i) sum += bytes[i];
        return static_cast<uint16_t>(sum);
    }
    static std::string Hex4(uint16_t value) {
        static const char digits[] = "0123456789ABCDEF";
        std::string text(4, '0');
        for (int i = 3; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
        return text;
    }
    // The log lines of one complete run over `image`, on a drive that then reports the image's version.
    static std::vector<std::string> RunLog(const std::vector<uint8_t>& image) {
        std::vector<std::string> lines{"Firmware Checksum : " + Hex4(Sum(image.data(), image.size()))};
        for (size_t p = 0; p < image.size() / testimage::kPage; ++p) {
            lines.push_back("Page " + std::to_string(p + 1) + " Checksum : " +
                            Hex4(Sum(&image[p * testimage::kPage], testimage::kPage)));
        }
        const auto version = GetVersion(image.data(), static_cast<uint32_t>(image.size()));
        lines.push_back("Drive firmware version now: " + std::string(version ? version.get() : ""));
        lines.push_back("The drive runs the new firmware.");
        return lines;
    }

    std::vector<std::string> BoxCaptions() const {
        std::vector<std::string> captions;
        for (const auto& box : window.boxes) captions.push_back(box.caption);
        return captions;
    }

    // The drives outlive the OS layer and the drive-access object that reach them.
    std::vector<std::unique_ptr<VirtualDrive>> drives_;
    std::vector<size_t> sentAtStart_;
    FakeOs os;
    ScriptedWindow window;
    SKFSParameter parameter;
    std::vector<uint8_t> image;
    std::vector<uint8_t> container;
    std::unique_ptr<TAtapi> atapi;
    std::unique_ptr<TMainW> form;
};
