// Runs the kfstool program itself on files made here.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "BuildVersion.h"
#include "HandMade.h"

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

    std::string Write(const std::string& name, const Bytes& bytes) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }
    Bytes Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // Runs kfstool with the given arguments (already shell-quoted), stdout and stderr together.
    ToolRun Kfs(const std::string& args) { return Shell(std::string(KFSTOOL_PATH) + " " + args); }
    // Runs a shell command line in which $K is kfstool.
    ToolRun Shell(const std::string& line) {
        const std::string command = "K=" + std::string(KFSTOOL_PATH) + "; " + line + " 2>&1";
        std::FILE* p = popen(command.c_str(), "r");
        ToolRun r{-1, ""};
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
        const int status = pclose(p);
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return r;
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

TEST_F(Kfstool, InfoJsonOfHandMadeContainersOfBothLayouts) {
    Bytes image = IdentityImage();
    const Bytes stored(image.begin(), image.begin() + 0x414);
    const std::string old = Write("old.kfs", handmade::Old('2', 0, Sum(image), {stored}));
    ToolRun r = Kfs("info --json " + old);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_EQ(r.out,
              "{\"formatVersion\":1,\"programVersion\":\"" + std::string(BuildVersion()) + "\","
              "\"version\":\"2\",\"scrambleMode\":0,\"checksum\":" + std::to_string(Sum(image)) +
                  ",\"imageChecksum\":" + std::to_string(Sum(image)) +
                  ",\"imageLength\":65536,\"bankSize\":65536,\"bankLengths\":[1044],"
                  "\"reserveBlocks\":[{\"offset\":126976,\"length\":4096}],\"option1\":1,\"option2\":0,"
                  "\"option3\":1,\"value1\":4294967295,\"value2\":4294967295,"
                  "\"driveName\":\"ACME    DRIVE X1 \\\"q\\\"\\\\ \\u0009\\u00e9\",\"firmwareVersion\":\"2.10\","
                  "\"hardwareId\":\"Z\\u0001\",\"pages\":4}\n");

    handmade::V3Fields f;
    f.bankSize = 0x8000;
    f.reserve = {{5, 6}};
    const uint8_t key = handmade::Key(f.key);
    const std::string v3 = Write("v3.kfs", handmade::V3(2, 0x0102, f, {handmade::Scramble(stored, key), {}}));
    r = Kfs("info --json " + v3);
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("\"version\":\"3\",\"scrambleMode\":2,\"checksum\":258,\"imageChecksum\":" +
                         std::to_string(Sum(image)) + ",\"imageLength\":65536,\"bankSize\":32768,"
                         "\"bankLengths\":[1044,0],\"reserveBlocks\":[{\"offset\":5,\"length\":6}],"
                         "\"option1\":7,\"option2\":8,\"option3\":9,\"value1\":287454020,"
                         "\"value2\":4294967294,\"driveName\":\"ACME"),
              std::string::npos)
        << r.out;

    // Checksums differ, so verify fails and says so.
    r = Kfs("verify " + v3);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("checksum 0102 differs from the image checksum"), std::string::npos) << r.out;
    EXPECT_EQ(Kfs("verify " + old).exitCode, 0);

    // Text form shows trailing spaces inside quotes and unprintable bytes as \xNN.
    r = Kfs("info " + old);
    EXPECT_NE(r.out.find("hardware ID        \"Z\\x01\""), std::string::npos) << r.out;
}

TEST_F(Kfstool, PackThenUnpackGivesTheImageBack) {
    const Bytes image = IdentityImage();
    const std::string in = Write("image.bin", image);
    struct { std::string args; } cases[] = {
        {"--layout old"}, {"--layout old --version 1"}, {"--layout v3"},
        {"--layout v3 --scramble --key 1,2,3,0x44 --bank-size 16384"},
    };
    for (const auto& c : cases) {
        const std::string out = (dir_ / "out.kfs").string(), flat = (dir_ / "flat.bin").string();
        ASSERT_EQ(Kfs("pack " + c.args + " " + in + " " + out).exitCode, 0) << c.args;
        ASSERT_EQ(Kfs("verify " + out).exitCode, 0) << c.args;
        ASSERT_EQ(Kfs("unpack " + out + " " + flat).exitCode, 0) << c.args;
        EXPECT_EQ(Read(flat), image) << c.args;
    }
}

TEST_F(Kfstool, BadInputGetsOneLineAndTheRightExitCode) {
    const std::string missing = (dir_ / "missing.kfs").string();
    ToolRun r = Kfs("info " + missing);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("cannot read"), std::string::npos);

    Bytes junk = handmade::Old(' ', 0, 0, {Bytes(10, 1)});
    junk[24] = '7';
    r = Kfs("info " + Write("junk.kfs", junk));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "kfstool: " + (dir_ / "junk.kfs").string() +
                         ": rejected: unknown container version 0x37 (\"7\") at offset 24; known are \" \", "
                         "\"1\", \"2\" and \"3\"\n");

    for (const std::string args : {"", "frobnicate x", "info", "info --json", "info --jsn x", "unpack x --builtin", "pack --layout old only-one", "pack x y",
                                     "pack --layout v3 --key 1,2,3 a b", "pack --layout old --key 1,2,3,4 a b",
                                     "pack --layout v3 --bank-size 0 a b", "pack --layout old --version 3 a b"}) {
        EXPECT_EQ(Kfs(args).exitCode, 2) << args;
    }

    // A refused pack writes nothing to OUT.
    Bytes notTwo(0x10000, 0);
    notTwo[0] = 9;
    const std::string out = (dir_ / "never.kfs").string();
    r = Kfs("pack --layout old --scramble " + Write("nottwo.bin", notTwo) + " " + out);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("must start with the byte 2"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out + ".partial"));
}

TEST_F(Kfstool, BuiltInContainerIsCompleteAndConsistent) {
    ToolRun r = Kfs("info --json --builtin");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("\"driveName\":\"VELD"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("null"), std::string::npos) << r.out;
    EXPECT_EQ(Kfs("verify --builtin").exitCode, 0);
}

// OUT is written through when it is not a regular file, a link is followed,
// and a file is replaced whole, keeping its mode; nothing else in the folder
// is touched, even files named as a temporary used to be.
TEST_F(Kfstool, UnpackWritesThroughLinksDevicesAndPipesAndReplacesOnlyTheFile) {
    const Bytes image = IdentityImage();
    const Bytes stored(image.begin(), image.begin() + 0x414);
    const std::string in = Write("in.kfs", handmade::Old('2', 0, Sum(image), {stored}));
    const Bytes old = {1, 2, 3};
    auto unpackTo = [&](const std::string& out) { return Kfs("unpack " + in + " " + out); };

    // Standard output, as "-" and through a pipe the program writes to.
    ToolRun r = Kfs("unpack " + in + " -");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), image);
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // Should the program give up without opening the pipe, the shell opens it, so that cat ends at once.
    r = Shell("($K unpack " + in + " " + fifo + " || { s=$?; : >" + fifo + "; exit $s; }) & cat " + fifo + "; wait $!");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), image);
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // A link, and a link to a file not there yet, stay links.
    const std::string target = Write("target.bin", old), link = (dir_ / "link").string();
    const std::string dangling = (dir_ / "dangling").string(), later = (dir_ / "later.bin").string();
    ASSERT_EQ(symlink("target.bin", link.c_str()), 0);
    ASSERT_EQ(symlink("later.bin", dangling.c_str()), 0);
    for (const std::string& out : {link, dangling}) {
        ASSERT_EQ(unpackTo(out).exitCode, 0) << out;
        ASSERT_EQ(lstat(out.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << out;
    }
    EXPECT_EQ(Read(target), image);
    EXPECT_EQ(Read(later), image);

    // A file keeps its mode; one the user may not write is left alone
    // (root may write it, and then it keeps its mode too).
    const std::string kept = Write("kept.bin", old), locked = Write("locked.bin", old);
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
    EXPECT_EQ(unpackTo(kept).exitCode, 0);
    EXPECT_EQ(Read(kept), image);
    ASSERT_EQ(stat(kept.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    r = unpackTo(locked);
    ASSERT_EQ(stat(locked.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    if (geteuid() == 0) {
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_EQ(Read(locked), image);
    } else {
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("cannot write " + locked + ": Permission denied"), std::string::npos) << r.out;
        EXPECT_EQ(Read(locked), old);
    }

    // What once served as the temporary's name belongs to the user.
    const std::string partialFile = Write("kept.bin.partial", old);
    const fs::path partialFolder = dir_ / "new.bin.partial";
    fs::create_directory(partialFolder);
    EXPECT_EQ(unpackTo(kept).exitCode, 0);
    EXPECT_EQ(unpackTo((dir_ / "new.bin").string()).exitCode, 0);
    EXPECT_EQ(Read(partialFile), old);
    EXPECT_TRUE(fs::is_directory(partialFolder));

    // A folder that is not there: a clear line, and nothing left behind.
    r = unpackTo((dir_ / "no" / "such.bin").string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("cannot write " + (dir_ / "no" / "such.bin").string()), std::string::npos) << r.out;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"dangling", "fifo", "in.kfs", "kept.bin", "kept.bin.partial",
                                               "later.bin", "link", "locked.bin", "new.bin", "new.bin.partial",
                                               "target.bin"}));
}

TEST_F(Kfstool, HelpAndEveryMessageSayWhatTheyMean) {
    for (const std::string args : {"--help", "-h", "info --help", "pack --layout v3 -h"}) {
        const ToolRun r = Kfs(args + " 2>/dev/null");
        EXPECT_EQ(r.exitCode, 0) << args;
        EXPECT_EQ(r.out.rfind("usage: kfstool info", 0), 0u) << args << ": " << r.out;
    }

    fs::create_directory(dir_ / "adir");
    ToolRun r = Kfs("info " + (dir_ / "adir").string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("adir: it is a directory"), std::string::npos) << r.out;
    r = Kfs("info ''");
    EXPECT_EQ(r.out, "kfstool: cannot read \"\": No such file or directory\n");
    r = Kfs("info 'odd\tname'");
    EXPECT_NE(r.out.find("cannot read \"odd\\x09name\""), std::string::npos) << r.out;

    // A link into a folder that is not there: the message names that folder, not the link.
    ASSERT_EQ(symlink("gone/out.bin", (dir_ / "dangling").c_str()), 0);
    r = Kfs("unpack --builtin " + (dir_ / "dangling").string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("cannot make a temporary file in " + (dir_ / "gone").string() +
                         ", the folder the link leads into: No such file or directory"),
              std::string::npos)
        << r.out;

    // A long path is not cut short.
    const Bytes image = IdentityImage();
    const Bytes stored(image.begin(), image.begin() + 0x414);
    const fs::path deep = dir_ / std::string(100, 'd') / std::string(100, 'e');
    fs::create_directories(deep);
    const std::string wrongSum = (deep / "wrong.kfs").string();
    std::ofstream(wrongSum, std::ios::binary) << std::string(reinterpret_cast<const char*>(
        handmade::Old('2', 0, 1, {stored}).data()), 64 + stored.size());
    r = Kfs("verify " + wrongSum);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find(wrongSum + ": stored checksum 0001 differs from the image checksum"), std::string::npos)
        << r.out;

    // The container's version and the firmware's are told apart.
    r = Kfs("info " + wrongSum);
    EXPECT_NE(r.out.find("\ncontainer version  \"2\" (old layout)\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nfirmware version   \"2.10\"\n"), std::string::npos) << r.out;

    // A leading 0 is decimal: bank size 010 is ten (65536 is no multiple of
    // it), key byte 010 the same as 10.
    const std::string in = Write("image.bin", image);
    r = Kfs("pack --layout v3 --bank-size 010 " + in + " " + (dir_ / "x.kfs").string());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("is not a multiple of the bank size 10"), std::string::npos) << r.out;
    const std::string a = (dir_ / "a.kfs").string(), b = (dir_ / "b.kfs").string();
    ASSERT_EQ(Kfs("pack --layout v3 --scramble --key 010,2,3,0x10 " + in + " " + a).exitCode, 0);
    ASSERT_EQ(Kfs("pack --layout v3 --scramble --key 10,2,3,16 " + in + " " + b).exitCode, 0);
    EXPECT_EQ(Read(a), Read(b));
    EXPECT_EQ(Kfs("pack --layout v3 --key 08,2,3,1x " + in + " " + b).exitCode, 2);
}

// A pack whose container the loader would refuse writes nothing: a small bank size makes a
// table of banks larger than the image itself.
TEST_F(Kfstool, PackRefusesWhatTheLoaderWouldRefuseBeforeWriting) {
    const std::string in = Write("large.bin", Bytes(64u << 20, 1));
    for (const char* bankSize : {"1", "64"}) {
        SCOPED_TRACE(bankSize);
        const std::string out = (dir_ / "never.kfs").string();
        const ToolRun r = Kfs("pack --layout v3 --bank-size " + std::string(bankSize) + " " + in + " " + out);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.out.find("would take more than 65 MiB"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("a larger bank size makes the table of banks smaller"), std::string::npos) << r.out;
        EXPECT_FALSE(fs::exists(out));
    }
}

// One option rule: after "--" every argument is a file, --builtin too; a later option replaces an
// earlier one; an option never serves as another's value.
TEST_F(Kfstool, OptionsFollowOneRule) {
    const Bytes image = IdentityImage();
    const Bytes stored(image.begin(), image.begin() + 0x414);
    Write("--builtin", handmade::Old('2', 0, Sum(image), {stored}));
    const std::string in = Write("image.bin", image), cd = "cd " + dir_.string() + " && ";
    struct Case {
        std::string line;  // $K is kfstool, run in the test's folder
        int exitCode;
        std::string shown;  // a part of what it prints
    } cases[] = {
        {"$K info -- --builtin", 0, "drive name         \"ACME"},
        {"$K info ./--builtin", 0, "drive name         \"ACME"},
        {"$K info --builtin", 0, "drive name         \"VELD"},
        {"$K unpack --builtin -- --builtin && $K info --json -- --builtin", 1, "rejected: no \"KOLA FILE SYSTEM\""},
        {"$K pack --layout v3 --version --scramble image.bin out.kfs", 2, "kfstool: --version needs \" \", 1 or 2 (pack)"},
        {"$K pack --layout=v3 --key=-1,2,3,4 image.bin out.kfs", 2, "--key needs four bytes"},
        {"$K info --json=yes --builtin", 2, "kfstool: --json takes no value (info)"},
        {"$K \"$(printf 'in\\nfo')\" x", 2, "kfstool: unknown command \"in\\x0Afo\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ToolRun r = Shell(cd + c.line);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out;
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
    }
}

// A bank size changed in the header alone adds zeros after every bank, which the loader and the
// checksum cannot see: verify says what it checked, and it and info show the page count.
TEST_F(Kfstool, VerifyAndInfoShowThePagesAChangedBankSizeGives) {
    const Bytes image = IdentityImage();
    const std::string in = Write("image.bin", image), honest = (dir_ / "honest.kfs").string();
    ASSERT_EQ(Kfs("pack --layout v3 " + in + " " + honest).exitCode, 0);
    Bytes changed = Read(honest);
    handmade::Put32(changed, 40, 81920);
    const std::string grown = Write("grown.kfs", changed);
    struct Case {
        std::string file, pages;
    } cases[] = {{honest, "4 of 16 KiB"}, {grown, "5 of 16 KiB"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ToolRun r = Kfs("verify " + c.file);
        EXPECT_EQ(r.exitCode, 0) << r.out;
        EXPECT_NE(r.out.find("\n  pages: " + c.pages + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\n  not checked: that the bank size and the page count are the ones meant"),
                  std::string::npos)
            << r.out;
        r = Kfs("info " + c.file);
        EXPECT_NE(r.out.find("\npages              " + c.pages + "\n"), std::string::npos) << r.out;
    }
}

}  // namespace
