// Runs the kfstool program itself on files made here.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

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
    ToolRun Kfs(const std::string& args) {
        const std::string command = std::string(KFSTOOL_PATH) + " " + args + " 2>&1";
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
    const char name[] = "ACME    DRIVE X1 \"q\"\\   ";
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
              "{\"version\":\"2\",\"scrambleMode\":0,\"checksum\":" + std::to_string(Sum(image)) +
                  ",\"imageChecksum\":" + std::to_string(Sum(image)) +
                  ",\"imageLength\":65536,\"bankSize\":65536,\"bankLengths\":[1044],"
                  "\"reserveBlocks\":[{\"offset\":126976,\"length\":4096}],\"option1\":1,\"option2\":0,"
                  "\"option3\":1,\"value1\":4294967295,\"value2\":4294967295,"
                  "\"driveName\":\"ACME    DRIVE X1 \\\"q\\\"\\\\   \",\"firmwareVersion\":\"2.10\","
                  "\"hardwareId\":\"Z\\u0001\"}\n");

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
    EXPECT_NE(r.out.find("hardware ID      \"Z\\x01\""), std::string::npos) << r.out;
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
    EXPECT_EQ(r.out, "kfstool: " + (dir_ / "junk.kfs").string() + ": rejected: unknown container version\n");

    for (const std::string args : {"", "frobnicate x", "info", "pack --layout old only-one", "pack x y",
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

}  // namespace
