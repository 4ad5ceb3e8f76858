// Runs the kfstool program itself on files made here, and its file writer with failing system calls.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "BuildVersion.h"
#include "HandMade.h"
#include "KfstoolFiles.h"
#include "KfstoolFilesPosix.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct ToolRun {
    int exitCode;
    std::string out;
};

class Kfstool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kfstool-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& name, const Bytes& bytes) {
        std::ofstream(dir_ / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }
    Bytes Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // Runs a shell command line in the test's folder, in which $K is kfstool; stdout and stderr together,
    // and nothing to read unless the line gives it.
    ToolRun Shell(const std::string& line) {
        const std::string command =
            "cd " + dir_.string() + " && K=" + std::string(KFSTOOL_PATH) + " && { " + line + "\n} 2>&1 </dev/null";
        std::FILE* p = popen(command.c_str(), "r");
        ToolRun r{-1, ""};
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int status = pclose(p);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
    }
    // What each entry in the folder is: a file replaced, rewritten or made shows here.
    std::map<std::string, std::tuple<unsigned, off_t, long long, ino_t>> Entries() {
        std::map<std::string, std::tuple<unsigned, off_t, long long, ino_t>> entries;
        for (const auto& e : fs::recursive_directory_iterator(dir_)) {
            struct stat st;
            lstat(e.path().c_str(), &st);
            entries[e.path().string()] = {st.st_mode, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec,
                                          st.st_ino};
        }
        return entries;
    }
    fs::path dir_;
};

// An image with one INQUIRY block and one identity block.
Bytes IdentityImage() {
    Bytes image(0x10000, 0);
    const char name[] = "ACME    DRIVE X1 \"q\"\\ \t\xE9";
    const Bytes inquiry = {0x05, 0x80, 0x00};
    std::copy(inquiry.begin(), inquiry.end(), image.begin() + 0x100);
    std::copy(name, name + 24, image.begin() + 0x108);
    std::copy_n("2.10", 4, image.begin() + 0x120);
    std::copy_n("KOLA", 4, image.begin() + 0x400);
    image[0x410] = 'H', image[0x411] = 'W', image[0x412] = 'Z', image[0x413] = 0x01;
    return image;
}

uint16_t Sum(const Bytes& b) {
    unsigned s = 0;
    for (uint8_t x : b) s += x;
    return static_cast<uint16_t>(s);
}

// An old-layout container of a one-bank image, its checksum right.
Bytes OldOf(const Bytes& image) {
    size_t used = image.size();
    while (used > 0 && image[used - 1] == 0) --used;
    return handmade::Old('2', 0, Sum(image), {Bytes(image.begin(), image.begin() + used)});
}

// Every command line and every kind of input and output a user can give, run in order in one
// folder: the exit code, the words printed, and for a failure one line and the folder as it was
// (nothing made, replaced or half-written); never a temporary left. OUT is written through when
// it is not a regular file, a link is followed, a file is replaced whole keeping its mode.
TEST_F(Kfstool, EveryCommandLineAndFileEndsAsItShould) {
    const Bytes image = IdentityImage();
    const bool root = geteuid() == 0;
    Bytes v7 = OldOf(image), v0 = v7, vFF = v7, cut = v7, many = handmade::Header(' ', 0, 112 + 39);
    v7[24] = '7', v0[24] = 0, vFF[24] = 0xFF, cut.pop_back();
    handmade::Put16(many, 34, 39);
    Bytes tables = handmade::V3(0, 0, handmade::V3Fields{}, {}), notTwo(0x20000, 0), full(0x10000, 1);
    handmade::Put32(tables, 44, 0x01000000);
    notTwo[0] = 2, notTwo[0x10000] = 5;  // a second bank that starts with 5
    // An INQUIRY block too near the end for a firmware version, or for a hardware ID.
    Bytes noVersion(0x10000, 0), noHardwareId(0x10000, 0);
    std::copy_n("\x05\x80", 3, noVersion.end() - 32);
    std::copy_n("\x05\x80", 3, noHardwareId.end() - 36);
    const handmade::V3Fields fields{.bankSize = 0x8000, .reserve = {{5, 6}}};
    const Bytes stored(image.begin(), image.begin() + 0x414);
    const Bytes scrambled = handmade::Scramble(stored, handmade::Key(fields.key));
    auto v3 = [](uint32_t bankSize, uint16_t checksum, const Bytes& bank) {
        handmade::V3Fields f;
        f.bankSize = bankSize;
        return handmade::V3(0, checksum, f, {bank});
    };
    const std::string deep = std::string(100, 'd') + "/" + std::string(100, 'e');  // a long path is not cut short
    fs::create_directories(dir_ / deep);
    const std::pair<std::string, Bytes> files[] = {
        {"image.bin", image}, {"good.kfs", OldOf(image)}, {"--builtin", OldOf(image)}, {"old.bin", {1, 2, 3}},
        {"v3.kfs", handmade::V3(2, 0x0102, fields, {scrambled, {}})}, {"empty", {}}, {"v7.kfs", v7}, {"v0.kfs", v0},
        {"vFF.kfs", vFF}, {"cut.kfs", cut}, {"many.kfs", many}, {"tables.kfs", tables},
        {"long.kfs", v3(16, 0, Bytes(17, 1))}, {"vast.kfs", v3(0xFFFFFFFF, 0, {})},
        {"odd.kfs", v3(1000, 4, {1, 1, 1, 1})}, {"partial.kfs", v3(0x10000 + 1000, Sum(image), stored)},
        {"noname.kfs", OldOf(Bytes(0x10000, 0))}, {"noversion.kfs", OldOf(noVersion)},
        {"nohw.kfs", OldOf(noHardwareId)}, {"nottwo.bin", notTwo}, {"full.bin", full}, {"short.bin", Bytes(100, 0)},
        {"39banks.bin", Bytes(39 << 16, 0)}, {"large.bin", Bytes(64u << 20, 1)},
        {"huge.kfs", handmade::Header('3', 0, 26)}, {deep + "/wrong.kfs", handmade::Old('2', 0, 1, {stored})},
    };
    for (const auto& [name, bytes] : files) Write(name, bytes);
    // Larger than the largest container and image, sparse; a bank size changed in the header alone,
    // which adds zeros after every bank; what once served as a temporary's name belongs to the user.
    ASSERT_EQ(Shell("truncate -s 68157441 huge.kfs && truncate -s 65M huge.bin && mkdir adir ro new.bin.partial && "
                    "chmod 555 ro && for f in target.bin kept.bin locked.bin owned.bin kept.bin.partial; do "
                    "cp old.bin $f; done && chmod 640 kept.bin && chmod 444 locked.bin && ln -s target.bin link && "
                    "ln -s later.bin dangling && ln -s \"$PWD/later2.bin\" absolute && ln -s gone/out.bin into-gone && "
                    "ln -s loop2 loop1 && ln -s loop1 loop2 && mkfifo fifo && "
                    "$K pack --layout v3 image.bin honest.kfs && cp honest.kfs grown.kfs && "
                    "printf '\\0\\100\\1' | dd of=grown.kfs bs=1 seek=40 conv=notrunc status=none")
                  .exitCode, 0);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/sock", dir_.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(sock);

    const std::string usage = "usage: kfstool info [--json] FILE\n", sum = std::to_string(Sum(image));
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", Sum(image));
    const std::string sumHex = hex;
    const std::string key = "!--key needs four bytes from 0 to 255 (decimal or 0x hexadecimal)";
    const std::string pages = "\n  not checked: that the bank size and the page count are the ones meant";
    const std::string tooLarge = ": rejected: it is larger than 65 MiB (68157440 bytes), the most a container of a ";
    struct Case {
        std::string line;  // run in the folder; $K is kfstool
        int exitCode;
        // Parts of what it prints; "=" first: all of it, "^": its start, "!": all of it, one line after
        // "kfstool: " (and the usage after it for a usage error).
        std::vector<std::string> shown;
    };
    std::vector<Case> cases = {
        {"$K --help 2>/dev/null", 0, {"^" + usage}}, {"$K -h", 0, {"^" + usage}}, {"$K info --help", 0, {"^" + usage}},
        {"$K pack --layout v3 -h", 0, {"^" + usage}}, {"$K frobnicate --help", 0, {"^" + usage}},
        {"$K --version", 0, {"=kfstool " + std::string(BuildVersion()) + "\n"}},
        {"$K", 2, {"!no command"}}, {"$K --version x", 2, {"!--version takes nothing after it"}},
        {"$K frobnicate x", 2, {"!unknown command frobnicate"}},
        {"$K \"$(printf 'in\\nfo')\" x", 2, {"!unknown command \"in\\x0Afo\""}},
        {"$K info", 2, {"!info takes one FILE"}}, {"$K info --json", 2, {"!info --json takes one FILE"}},
        {"$K info --jsn x", 2, {"!unknown option --jsn (info)"}},
        {"$K info --json=yes --builtin", 2, {"!--json takes no value (info)"}},
        {"$K unpack good.kfs", 2, {"!unpack takes FILE and OUT"}},
        {"$K unpack x --builtin", 2, {"!--builtin can only be read, not written"}},
        {"$K pack x y", 2, {"!--layout old or --layout v3 is required"}},
        {"$K pack --layout new x y", 2, {"!--layout is old or v3, not \"new\""}},
        {"$K pack --layout old only-one", 2, {"!pack takes IMAGE and OUT"}},
        {"$K pack --layout v3 --builtin out.kfs", 2, {"!--builtin is a container, not an IMAGE to pack"}},
        {"$K pack --layout v3 image.bin --builtin", 2, {"!--builtin can only be read, not written"}},
        {"$K pack --layout old --key 1,2,3,4 a b", 2, {"!--key is for the v3 layout; old-layout banks are self-keyed"}},
        {"$K pack --layout old --bank-size 4096 a b", 2, {"!the old layout's bank size is fixed at 65536"}},
        {"$K pack --layout old --version 3 a b", 2, {"!the old layout has versions \" \", 1 and 2"}},
        {"$K pack --layout v3 --version 2 a b", 2, {"!the v3 layout has version 3 only"}},
        {"$K pack --layout v3 --version --scramble image.bin o.kfs", 2, {"!--version needs \" \", 1 or 2 (pack)"}},
        {"$K pack --layout v3 --bank-size 0 a b", 2, {"!--bank-size needs a number from 1 to 4294967295"}},
        {"$K pack --layout v3 --bank-size= a b", 2, {"!--bank-size needs a number from 1 to 4294967295"}},
        {"$K pack --layout v3 --key 1,2,3 a b", 2, {"!--key needs four bytes P0,P1,P2,P3"}},
        {"$K pack --layout v3 --key 1,2,3,4,5 a b", 2, {"!--key needs four bytes P0,P1,P2,P3"}},
        {"$K pack --layout v3 --key 0xaB,0Xc,0xF,0x1g a b", 2, {key}},
        {"$K pack --layout v3 --key 256,1,1,1 a b", 2, {key}},
        {"$K pack --layout v3 --key 0x1:,1,1,1 a b", 2, {key}},
        {"$K pack --layout v3 --key 08,2,3,1x image.bin b.kfs", 2, {key}},
        {"$K pack --layout=v3 --key=-1,2,3,4 image.bin o.kfs", 2, {key}},
        // After "--" every argument is a file, --builtin too; a later option replaces an earlier one.
        {"$K info -- --builtin", 0, {"drive name         \"ACME"}},
        {"$K info ./--builtin", 0, {"drive name         \"ACME"}},
        {"$K info --json --json --builtin | grep -v null", 0, {"\"driveName\":\"VELD"}},
        {"$K verify --builtin", 0, {"^--builtin: OK\n"}}, {"$K unpack --builtin -- --builtin", 0, {"="}},
        {"$K info --json -- --builtin", 1, {"!--builtin: rejected: no \"KOLA FILE SYSTEM\" magic at its start"}},
        // Packing; a leading 0 is decimal, and what the loader would refuse is refused before writing.
        {"for o in '--layout old' '--layout old --version 1' '--layout v3' '--layout v3 --scramble --key 1,2,3,0x44 "
         "--bank-size 16384'; do $K pack $o image.bin r.kfs && $K verify r.kfs >/dev/null && $K unpack r.kfs r.bin && "
         "cmp r.bin image.bin || exit 1; done", 0, {"="}},
        {"$K pack --layout old --version 2 --bank-size 0x10000 image.bin o.kfs && $K verify o.kfs", 0,
         {"container version \"2\""}},
        {"$K pack --layout old --version ' ' image.bin o.kfs && $K info o.kfs", 0, {"\" \" (old layout)"}},
        {"$K pack --layout v3 --version 3 --scramble --key 010,2,3,0x10 image.bin a.kfs && "
         "$K pack --layout v3 --scramble --key 10,2,3,16 image.bin b.kfs && cmp a.kfs b.kfs", 0, {"="}},
        {"$K pack --layout v3 - o.kfs < image.bin && $K unpack - o.bin < o.kfs && cmp o.bin image.bin", 0, {"="}},
        {"$K pack --layout old empty e.kfs && $K unpack e.kfs - && $K info e.kfs", 0,
         {"\npages              0 of 16 KiB\n"}},
        {"$K pack --layout v3 --bank-size 010 image.bin x.kfs", 1,
         {"!image.bin: image length 65536 is not a multiple of the bank size 10"}},
        {"$K pack --layout old --scramble nottwo.bin x.kfs", 1,
         {"!nottwo.bin: bank 1: a self-keyed bank must start with the byte 2, this one starts with 5"}},
        {"$K pack --layout old full.bin x.kfs", 1,
         {"!full.bin: bank 0: the old layout stores at most 65535 bytes, so the last byte of each slot must be 0"}},
        {"$K pack --layout old short.bin x.kfs", 1,
         {"!short.bin: image length 100 is not a multiple of the bank size 65536"}},
        {"$K pack --layout old 39banks.bin x.kfs", 1,
         {"!39banks.bin: the old layout holds at most 38 banks; this image needs 39"}},
        {"$K pack --layout v3 --bank-size 1 large.bin x.kfs", 1, {"would take more than 65 MiB", "a larger bank"}},
        {"$K pack --layout v3 --bank-size 64 large.bin x.kfs", 1, {"would take more than 65 MiB", "a larger bank"}},
        {"$K pack --layout v3 huge.bin x.kfs", 1,
         {"!huge.bin: an image is at most 64 MiB (67108864 bytes), far more than a drive's flash holds"}},
        {"$K pack --layout v3 - x.kfs < huge.bin", 1, {"kfstool: standard input: an image is at most 64 MiB"}},
        {"$K pack --layout v3 - x.kfs < adir", 1, {"!cannot read standard input: Is a directory"}},
        {"$K pack --layout v3 missing.bin x.kfs", 1, {"!cannot read missing.bin: No such file or directory"}},
        // Inputs that cannot be read or are no container, each rejection in its own words.
        {"$K info missing.kfs", 1, {"!cannot read missing.kfs: No such file or directory"}},
        {"$K info ''", 1, {"!cannot read \"\": No such file or directory"}},
        {"$K info 'odd\tname'", 1, {"!cannot read \"odd\\x09name\": No such file or directory"}},
        {"$K info adir", 1, {"!cannot read adir: it is a directory"}},
        {"$K info - < adir", 1, {"!cannot read standard input: Is a directory"}},
        {"$K info empty", 1, {"!empty: rejected: no \"KOLA FILE SYSTEM\" magic at its start"}},
        {"$K info - < /dev/null", 1, {"!standard input: rejected: no \"KOLA FILE SYSTEM\" magic at its start"}},
        {"$K info v7.kfs", 1,
         {"!v7.kfs: rejected: unknown container version 0x37 (\"7\") at offset 24; known are \" \", \"1\", \"2\" "
          "and \"3\""}},
        {"$K info v0.kfs", 1, {"kfstool: v0.kfs: rejected: unknown container version 0x00 at offset 24; known"}},
        {"$K info vFF.kfs", 1, {"kfstool: vFF.kfs: rejected: unknown container version 0xFF at offset 24; known"}},
        {"$K verify cut.kfs", 1, {"!cut.kfs: rejected: its header, tables or bank data run past the end of the file"}},
        {"$K unpack long.kfs x.bin", 1, {"!long.kfs: rejected: a bank is longer than its slot"}},
        {"$K info vast.kfs", 1,
         {"!vast.kfs: rejected: its image would be larger than 64 MiB (bank count times bank size), far more "
          "than a drive's flash holds"}},
        {"$K info many.kfs", 1, {"!many.kfs: rejected: an old-layout container holds at most 38 banks"}},
        {"$K info tables.kfs", 1,
         {"!tables.kfs: rejected: its header, tables and bank data would take more than 65 MiB, the most a "
          "container of a 64 MiB image needs"}},
        {"$K info huge.kfs", 1, {"!huge.kfs" + tooLarge + "64 MiB image takes"}},
        {"$K info - < huge.kfs", 1, {"!standard input" + tooLarge + "64 MiB image takes"}},
        // What info and verify say, and what verify refuses; a text shows trailing spaces inside quotes and
        // unprintable bytes as \xNN.
        {"$K info --json good.kfs", 0,
         {"={\"formatVersion\":1,\"programVersion\":\"" + std::string(BuildVersion()) + "\",\"version\":\"2\","
          "\"scrambleMode\":0,\"checksum\":" + sum + ",\"imageChecksum\":" + sum + ",\"imageLength\":65536,"
          "\"bankSize\":65536,\"bankLengths\":[1044],\"reserveBlocks\":[{\"offset\":126976,\"length\":4096}],"
          "\"option1\":1,\"option2\":0,\"option3\":1,\"value1\":4294967295,\"value2\":4294967295,\"driveName\":"
          "\"ACME    DRIVE X1 \\\"q\\\"\\\\ \\u0009\\u00e9\",\"firmwareVersion\":\"2.10\",\"hardwareId\":\"Z\\u0001\","
          "\"pages\":4}\n"}},
        {"$K info --json v3.kfs", 0,
         {"\"version\":\"3\",\"scrambleMode\":2,\"checksum\":258,\"imageChecksum\":" + sum +
          ",\"imageLength\":65536,\"bankSize\":32768,\"bankLengths\":[1044,0],\"reserveBlocks\":[{\"offset\":5,"
          "\"length\":6}],\"option1\":7,\"option2\":8,\"option3\":9,\"value1\":287454020,\"value2\":4294967294,"
          "\"driveName\":\"ACME"}},
        {"$K verify v3.kfs", 1, {"!v3.kfs: stored checksum 0102 differs from the image checksum " + sumHex}},
        {"$K info good.kfs && $K verify good.kfs", 0,
         {"\nhardware ID        \"Z\\x01\"\n", "\ngood.kfs: OK\n"}},
        {"$K info - < good.kfs", 0, {"^container          standard input (1108 bytes)\n"}},
        {"$K info odd.kfs", 0,
         {"\npages              0 of 16 KiB and 1000 bytes more (no whole number of pages: the updater refuses it)\n"}},
        {"$K verify partial.kfs", 1,
         {"!partial.kfs: the image is 66536 bytes, no whole number of 16 KiB pages: the updater refuses it"}},
        {"$K info noname.kfs", 0, {"\ndrive name         (absent)\n"}},
        {"$K verify noname.kfs", 1, {"!noname.kfs: the image has no drive name (needs exactly one INQUIRY block)"}},
        {"$K verify noversion.kfs", 1,
         {"!noversion.kfs: the image has no firmware version (needs exactly one INQUIRY block)"}},
        {"$K verify nohw.kfs", 1, {"!nohw.kfs: the image has no hardware ID"}},
        {"$K verify " + deep + "/wrong.kfs", 1,
         {"kfstool: " + deep + "/wrong.kfs: stored checksum 0001 differs from the image checksum"}},
        {"$K info " + deep + "/wrong.kfs", 0,
         {"\ncontainer version  \"2\" (old layout)\n", "\nfirmware version   \"2.10\"\n"}},
        {"$K verify honest.kfs && $K info honest.kfs", 0,
         {"\n  pages: 4 of 16 KiB\n", "\npages              4 of 16 KiB\n", pages}},
        {"$K verify grown.kfs && $K info grown.kfs", 0,
         {"\n  pages: 5 of 16 KiB\n", "\npages              5 of 16 KiB\n", pages}},
        // Outputs: standard output, a pipe, links, files replaced keeping their mode, and every refusal.
        {"$K unpack good.kfs - | cmp - image.bin", 0, {"="}},
        {"$K unpack good.kfs /dev/stdout | cmp - image.bin", 0, {"="}},
        // The shell holds the pipe open until the program has ended: what it wrote stays there for cat, even
        // when it ends before cat opens the pipe, and cat ends whatever the program does.
        {"exec 4<>fifo 5<fifo; { cat <&5 | cmp - image.bin; } 4>&- & $K unpack good.kfs fifo 4>&- 5<&-; r=$?; "
         "exec 4>&- 5<&-; wait $! && test $r = 0 && test -p fifo", 0, {"="}},
        {"$K unpack good.kfs link && test -L link && cmp target.bin image.bin", 0, {"="}},
        {"$K unpack good.kfs dangling && test -L dangling && cmp later.bin image.bin", 0, {"="}},
        {"$K unpack good.kfs absolute && test -L absolute && cmp later2.bin image.bin", 0, {"="}},
        {"$K unpack good.kfs kept.bin && cmp kept.bin image.bin && cmp kept.bin.partial old.bin && "
         "stat -c 'mode %a' kept.bin", 0, {"=mode 640\n"}},
        {"$K unpack good.kfs new.bin && cmp new.bin image.bin && test -d new.bin.partial", 0, {"="}},
        {"cd adir && $K unpack ../good.kfs here.bin && cmp here.bin ../image.bin", 0, {"="}},
        // Standard output closed, or a file beside the output: neither is the output.
        {"touch a.bin b.bin && $K unpack good.kfs a.bin >&- && $K unpack good.kfs b.bin >c.txt && cmp a.bin b.bin && "
         "cmp a.bin image.bin", 0, {"="}},
        {"$K unpack good.kfs locked.bin || exit $?; stat -c 'mode %a' locked.bin", root ? 0 : 1,
         {root ? "=mode 444\n" : "!cannot write locked.bin: Permission denied"}},
        {"$K unpack good.kfs ro/out.bin", root ? 0 : 1,
         {root ? "=" : "!cannot write ro/out.bin: cannot make a temporary file in its folder ro: Permission denied"}},
        {"$K unpack good.kfs into-gone", 1,
         {"!cannot write into-gone: cannot make a temporary file in ./gone, the folder the link leads into: No such "
          "file or directory"}},
        {"$K unpack good.kfs no/such.bin", 1,
         {"!cannot write no/such.bin: cannot make a temporary file in its folder no: No such file or directory"}},
        {"$K unpack good.kfs loop1", 1, {"!cannot write loop1: Too many levels of symbolic links"}},
        {"$K unpack good.kfs good.kfs/x", 1, {"!cannot write good.kfs/x: Not a directory"}},
        {"$K unpack good.kfs adir", 1, {"!cannot write adir: it is a directory"}},
        {"$K pack --layout v3 image.bin adir", 1, {"!cannot write adir: it is a directory"}},
        {"$K unpack good.kfs ''", 1, {"!cannot write \"\": No such file or directory"}},
        {"$K unpack good.kfs /dev/full", 1, {"!cannot write /dev/full: No space left on device"}},
        {"$K unpack good.kfs sock", 1, {"!cannot write sock: No such device or address"}},
        {"$K unpack good.kfs - >&-", 1, {"!cannot write standard output: Bad file descriptor"}},
        {"$K info --builtin >/dev/full", 1, {"!cannot write standard output: No space left on device"}},
    };
    // Root keeps a file's group when it replaces it.
    if (root)
        cases.push_back({"chown 0:2 owned.bin && $K unpack good.kfs owned.bin && stat -c 'owner %u:%g' owned.bin", 0,
                         {"=owner 0:2\n"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto before = Entries();
        const ToolRun r = Shell(c.line);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        for (std::string part : c.shown) {
            if (part[0] == '!') part = (c.exitCode == 2 ? "^kfstool: " : "=kfstool: ") + part.substr(1) + "\n";
            if (part[0] == '^' && c.exitCode == 2) part += usage;
            if (part[0] == '=') {
                EXPECT_EQ(r.out, part.substr(1));
            } else if (part[0] == '^') {
                EXPECT_EQ(r.out.substr(0, part.size() - 1), part.substr(1));
            } else {
                EXPECT_NE(r.out.find(part), std::string::npos) << r.out;
            }
        }
        EXPECT_TRUE(c.exitCode != 1 || std::count(r.out.begin(), r.out.end(), '\n') == 1) << r.out;
        EXPECT_TRUE(c.exitCode == 0 || Entries() == before);
        for (const auto& e : fs::recursive_directory_iterator(dir_))
            EXPECT_NE(e.path().filename().string().rfind(".kfstool-", 0), 0u) << e.path();
    }
}

// The system call that fails next, by name, and its error; each fails once.
std::string failing;
int failure;
bool Fails(const char* call) {
    if (failing != call) return false;
    failing.clear();
    errno = failure;
    return true;
}

// Each system call of a write fails in turn: OUT keeps what it held, no temporary is left, and the
// reason is the call's error. A write that takes part of the data, or none, or is interrupted, too.
TEST_F(Kfstool, AFailingSystemCallLeavesTheOutputAsItWas) {
    const KfstoolWriteCalls real = kfstoolWriteCalls;
    kfstoolWriteCalls = {
        [](int fd, const void* data, size_t size) -> ssize_t {
            if (Fails("short write")) return failing = "write", ::write(fd, data, size / 2);
            if (Fails("no progress")) return 0;
            return Fails("write") || Fails("interrupted") ? -1 : ::write(fd, data, size);
        },
        [](int fd) { return Fails("fsync") ? -1 : ::fsync(fd); },
        [](int fd) { return ::close(fd) != 0 || Fails("close") ? -1 : 0; },
        [](const char* from, const char* to) { return Fails("rename") ? -1 : ::rename(from, to); },
        [](int fd, mode_t mode) { return Fails("fchmod") ? -1 : ::fchmod(fd, mode); },
        [](int fd, uid_t user, gid_t group) { return Fails("fchown") ? -1 : ::fchown(fd, user, group); },
    };
    const Bytes image = IdentityImage(), old = {1, 2, 3};
    const std::string out = (dir_ / "out.bin").string();
    const std::pair<std::string, int> cases[] = {
        {"fchmod", EPERM}, {"write", EIO}, {"short write", ENOSPC}, {"no progress", 0}, {"fsync", EIO},
        {"close", EIO}, {"rename", EXDEV}, {"interrupted", EINTR}, {"device close", EIO}, {"fchown", EPERM}};
    for (const auto& [call, error] : cases) {
        SCOPED_TRACE(call);
        Write("out.bin", old);
        // Only root can give a file to another owner, which a replacement then has to keep.
        if (call == "fchown" && (geteuid() != 0 || chown(out.c_str(), 1, 1) != 0)) continue;
        failing = call == "device close" ? "close" : call, failure = error;
        // A write that takes nothing says the device is full; an interrupted one is done again.
        std::string expected = error == EINTR ? "" : std::strerror(error ? error : ENOSPC), reason;
        if (call == "fchown")
            expected = "it belongs to another user or group, and a replacement could not keep that (" + expected + ")";
        EXPECT_EQ(WriteOutput(call == "device close" ? "/dev/zero" : out, image.data(), image.size(), reason),
                  expected.empty());
        EXPECT_EQ(failing, "") << "not called";
        EXPECT_EQ(reason, expected);
        EXPECT_EQ(Read(out), expected.empty() ? image : old);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir_), {}), 1);
    }
    kfstoolWriteCalls = real;
}

}  // namespace
