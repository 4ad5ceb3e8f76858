// A drive for a real kernel's SCSI stack: serves the drive model (VirtualDrive)
// as a TCMU user backstore, so that a loopback target makes it a CD-ROM drive
// with a /dev/srN. It records every command it receives and, when stopped by
// SIGTERM or SIGINT, the pages it accepted and every field that did not fit.
//
// Usage: tcmu_drive --uio /dev/uioN --record FILE [--image FILE] [options]
//   --product TEXT           INQUIRY vendor and product (24 characters)
//   --revision TEXT          INQUIRY revision (4 characters)
//   --hardware-id XX         the identity reply's hardware ID
//   --fail-page N:KEY:ASC:ASCQ   answer page write N with CHECK CONDITION (hexadecimal sense)
//   --busy-page N            answer page write N with BUSY
//   --hang-page N            never answer page write N (until the kernel aborts it)
//   --page-delay MS          wait this long before answering each page write
//   --flashed-revision REV:N INQUIRY reports REV once N pages were accepted
// The record has a line per command, "CMD id=I cdb=HEX length=N status=S" (with
// " page=P" for an accepted page write), "HELD id=I cdb=HEX" and
// "ABORTED id=I after=MS" for a command left unanswered, and at the stop
// "PAGES N", a "MISMATCH TEXT" line per fault of the page writes and "END".
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "TcmuRing.h"
#include "VendorProtocol.h"
#include "VirtualDrive.h"

namespace {

volatile sig_atomic_t stopSignal = 0;

extern "C" void Stop(int signal) { stopSignal = signal; }

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%s%02X", text.empty() ? "" : " ", b);
        text += byte;
    }
    return text;
}

struct Options {
    std::string uio, record, image;
    VirtualDriveConfig config;
    struct Fail {
        int page;
        unsigned key, asc, ascq;
    };
    std::vector<Fail> fails;
    std::vector<int> busy, hang;
    int pageDelayMs = 0;
};

bool ParseNumber(const std::string& text, int& value, int base = 10) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 0xFFFFFF) return false;
    value = static_cast<int>(v);
    return true;
}

// "A:B:C" into its parts.
std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == ':') parts.emplace_back();
        else parts.back() += c;
    }
    return parts;
}

std::string Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) return option + " needs a value";
        const std::string value = argv[++i];
        int n = 0;
        if (option == "--uio") {
            o.uio = value;
        } else if (option == "--record") {
            o.record = value;
        } else if (option == "--image") {
            o.image = value;
        } else if (option == "--product" && value.size() <= 24) {
            o.config.vendorProduct = value;
        } else if (option == "--revision" && value.size() <= 4) {
            o.config.revision = value;
        } else if (option == "--hardware-id" && value.size() == 2) {
            o.config.hardwareId[0] = static_cast<uint8_t>(value[0]);
            o.config.hardwareId[1] = static_cast<uint8_t>(value[1]);
        } else if (option == "--fail-page") {
            const auto p = Split(value);
            int page, key, asc, ascq;
            if (p.size() != 4 || !ParseNumber(p[0], page) || page < 1 || !ParseNumber(p[1], key, 16) || key > 15 ||
                !ParseNumber(p[2], asc, 16) || asc > 255 || !ParseNumber(p[3], ascq, 16) || ascq > 255)
                return "--fail-page takes N:KEY:ASC:ASCQ, not " + value;
            o.fails.push_back({page, unsigned(key), unsigned(asc), unsigned(ascq)});
        } else if ((option == "--busy-page" || option == "--hang-page") && ParseNumber(value, n) && n >= 1) {
            (option == "--busy-page" ? o.busy : o.hang).push_back(n);
        } else if (option == "--page-delay" && ParseNumber(value, n)) {
            o.pageDelayMs = n;
        } else if (option == "--flashed-revision") {
            const auto p = Split(value);
            if (p.size() != 2 || p[0].empty() || p[0].size() > 4 || !ParseNumber(p[1], n) || n < 1)
                return "--flashed-revision takes REV:PAGES, not " + value;
            o.config.flashedRevision = p[0];
            o.config.flashedAfterPages = n;
        } else {
            return "bad option or value: " + option + " " + value;
        }
    }
    if (o.uio.empty() || o.record.empty()) return "--uio and --record are needed";
    return "";
}

// The direction of a command's data, which the ring does not carry: the page
// write sends, every other command of the model reads.
uint8_t DirectionOf(const TcmuCommand& command) {
    if (command.data.empty()) return 0;
    return command.cdb[0] == kPageWriteOpcode ? 16 : 8;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const std::string error = Parse(argc, argv, o); !error.empty()) {
        std::fprintf(stderr, "tcmu_drive: %s\n", error.c_str());
        return 2;
    }
    const uint8_t pageWrite[8] = {kPageWriteOpcode};
    o.config.vendorCdbBytes = static_cast<int>(TcmuCdbLength(pageWrite));
    VirtualDrive drive(o.config);
    for (const auto& f : o.fails) drive.FailCommand(kPageWriteOpcode, f.page, 2, f.key, f.asc, f.ascq);
    for (int page : o.busy) drive.Busy(kPageWriteOpcode, page);
    for (int page : o.hang) drive.NeverComplete(kPageWriteOpcode, page);

    FILE* record = std::fopen(o.record.c_str(), "w");
    if (record == nullptr) {
        std::fprintf(stderr, "tcmu_drive: cannot write %s: %s\n", o.record.c_str(), std::strerror(errno));
        return 1;
    }
    setvbuf(record, nullptr, _IOLBF, 0);  // read while the drive runs
    TcmuRing ring;
    std::string error;
    if (!ring.Open(o.uio, error)) {
        std::fprintf(stderr, "tcmu_drive: %s\n", error.c_str());
        return 1;
    }
    struct sigaction stop {};
    stop.sa_handler = Stop;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    std::fprintf(record, "READY %s\n", o.uio.c_str());

    auto heldSince = std::chrono::steady_clock::now();
    auto serve = [&](const TcmuCommand& command) {
        std::vector<uint8_t> cdb(command.cdb);
        cdb.resize(std::max<size_t>(cdb.size(), 12), 0);
        std::vector<uint8_t> data(command.data);
        const int pagesBefore = drive.PagesWritten();
        const DriveAnswer a = drive.Execute(cdb.data(), data.data(), static_cast<uint32_t>(data.size()),
                                            DirectionOf(command));
        TcmuAnswer answer;
        if (a.transport == DriveAnswer::Transport::NeverCompletes) {
            std::fprintf(record, "HELD id=%u cdb=%s\n", command.id, Hex(command.cdb).c_str());
            heldSince = std::chrono::steady_clock::now();
            answer.hold = true;
            return answer;
        }
        if (command.cdb[0] == kPageWriteOpcode && o.pageDelayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(o.pageDelayMs));
        answer.scsiStatus = a.scsiStatus;
        answer.sense.assign(a.sense, a.sense + a.senseLength);
        if (DirectionOf(command) == 8 && a.scsiStatus == 0) answer.data = data;
        std::fprintf(record, "CMD id=%u cdb=%s length=%zu status=%u", command.id, Hex(command.cdb).c_str(),
                     command.data.size(), a.scsiStatus);
        if (drive.PagesWritten() > pagesBefore) std::fprintf(record, " page=%d", drive.PagesWritten());
        std::fprintf(record, "\n");
        return answer;
    };
    auto aborted = [&](uint16_t id) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                              heldSince).count();
        std::fprintf(record, "ABORTED id=%u after=%lld\n", id, static_cast<long long>(ms));
    };
    while (stopSignal == 0) {
        if (!ring.Poll(200, serve, aborted, error)) {
            std::fprintf(stderr, "tcmu_drive: %s\n", error.c_str());
            break;
        }
    }

    int status = error.empty() ? 0 : 1;
    if (!o.image.empty()) {
        const auto image = drive.AssembledImage();
        FILE* f = std::fopen(o.image.c_str(), "wb");
        if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "tcmu_drive: cannot write %s\n", o.image.c_str());
            status = 1;
        }
    }
    std::fprintf(record, "PAGES %d\n", drive.PagesWritten());
    for (const std::string& m : drive.Mismatches()) std::fprintf(record, "MISMATCH %s\n", m.c_str());
    std::fprintf(record, "END%s\n", ring.Holding() ? " holding a command" : "");
    return std::fclose(record) == 0 ? status : 1;
}
