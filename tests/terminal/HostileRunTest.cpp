// The updater program as a hostile user runs it: an output that closes, keys sent
// during the page writes, odd answers typed on a terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SignalHold.h"
#include "TempDir.h"

namespace {

// The program with the given descriptors as its standard streams (-1: closed).
pid_t Start(const std::vector<std::string>& args, int in, int out, int err, int pty = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    setpgid(0, 0);  // a group of its own, not orphaned: a stop signal stops it
    if (pty >= 0) {
        setsid();
        ioctl(pty, TIOCSCTTY, 0);
    }
    const int fds[3] = {in, out, err};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0) {
            close(i);
        } else if (fds[i] != i) {
            dup2(fds[i], i);
        }
    }
    std::vector<char*> argv{const_cast<char*>(UPDATER_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(UPDATER_PATH, argv.data());
    _exit(127);
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status); }

std::string Contents(const std::string& path) {
    std::string text;
    if (std::FILE* f = std::fopen(path.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

// Whatever is in the descriptor now, without waiting.
std::string Drain(int fd) {
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    return text;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class HostileRun : public ::testing::Test {
protected:
    int Open(const std::string& name, int flags) {
        return open((dir / name).c_str(), flags | O_CREAT | O_CLOEXEC, 0600);
    }
    std::string Err() { return Contents(dir / "err"); }
    TempDir dir;
};

TEST_F(HostileRun, OutputThatCannotBeWrittenNeverStopsThePageWrites) {
    const int err = Open("err", O_WRONLY | O_TRUNC), none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    // A pipe nobody reads: the first page's output already meets a closed end.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    close(p[0]);
    pid_t pid = Start({"flash", "--simulate=fail-page:64", "--yes"}, none, p[1], err);
    close(p[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_EQ(ExitCode(status), 1);
    const std::string piped = Err();
    EXPECT_NE(piped.find("updater: Writing page 64 of 64 failed."), std::string::npos) << piped;  // reached the last
    EXPECT_NE(piped.find("updater: part of the output to standard output could not be written\n"), std::string::npos);

    // Standard output closed: the flash is carried out, the exit status says what was lost.
    const int closedErr = Open("closed-err", O_WRONLY | O_TRUNC);
    pid = Start({"flash", "--simulate", "--yes"}, none, -1, closedErr);
    waitpid(pid, &status, 0);
    close(closedErr);
    EXPECT_EQ(ExitCode(status), 4);
    EXPECT_EQ(Contents(dir / "closed-err"),
              "updater: part of the output to standard output could not be written; "
              "the command itself was carried out to its end\n");
    close(err);
    close(none);
}

TEST_F(HostileRun, QuitAndStopKeysDuringTheWritesNeitherEndNorStopThem) {
    const int err = Open("err", O_WRONLY | O_TRUNC), none = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    // A full pipe holds the program in the middle of its page writes: its first output comes
    // with page 1, and the room left is less than the pages need.
    const int size = fcntl(p[1], F_SETPIPE_SZ, 4096);
    ASSERT_GE(size, 4096);
    const std::string filler(static_cast<size_t>(size) - 400, 'x');
    ASSERT_EQ(write(p[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    const pid_t pid = Start({"flash", "--simulate", "--yes"}, none, p[1], err);
    close(p[1]);
    int queued = 0;
    for (int i = 0; i < 1000 && queued <= static_cast<int>(filler.size()); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ioctl(p[0], FIONREAD, &queued);
    }
    ASSERT_GT(queued, static_cast<int>(filler.size())) << "the page writes never began";
    kill(pid, SIGQUIT);
    kill(pid, SIGTSTP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG | WUNTRACED), 0) << "ended or stopped in the writes";

    // Read on: the put-off stop comes once every page is written, and the program goes on after it.
    fcntl(p[0], F_SETFL, O_NONBLOCK);
    std::string out;
    bool stopped = false;
    std::string outAtStop;
    for (int i = 0; i < 2000; ++i) {
        out += Drain(p[0]);
        const pid_t changed = waitpid(pid, &status, WNOHANG | WUNTRACED);
        if (changed == pid && WIFSTOPPED(status)) {
            stopped = true;
            outAtStop = out + Drain(p[0]);
            kill(pid, SIGCONT);
        } else if (changed == pid) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out += Drain(p[0]);
    close(p[0]);
    EXPECT_EQ(ExitCode(status), 1);
    EXPECT_TRUE(stopped);
    EXPECT_NE(outAtStop.find("Progress: 64 of 64 pages\n"), std::string::npos);
    EXPECT_EQ(Count(out, "Progress: "), 64u);
    EXPECT_NE(out.find("Yes!: Flash Succeed!\n"), std::string::npos);
    const std::string said =
        "SIGQUIT (Ctrl-\\) came while the pages were written; the writes went on to the end: every page was "
        "written and the firmware on the drive is complete. The exit status is 1 because of the signal.\n";
    // Each told once, in the order they were handled, then the outcome.
    const std::string told = Err();
    EXPECT_EQ(Count(told, kSignalHoldMessage), 1u) << told;
    EXPECT_EQ(Count(told, kStopHoldMessage), 1u) << told;
    ASSERT_EQ(told.size(), sizeof kSignalHoldMessage + sizeof kStopHoldMessage - 2 + 9 + said.size()) << told;
    EXPECT_EQ(told.substr(told.size() - said.size() - 9), "updater: " + said);
    EXPECT_NE(out.find(said), std::string::npos);
    close(err);
    close(none);
}

// The program with standard input and error on a terminal, standard output there too or
// in a pipe; each of `typed` is typed at the next prompt, and at the prompt after them
// `signal`, when given, is sent. Returns the exit code.
int OnTerminal(const std::vector<std::string>& args, const std::vector<std::string>& typed, bool outToPipe,
               std::string& screen, std::string& out, int signal = 0) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int p[2];
    if (slave < 0 || pipe2(p, O_CLOEXEC) != 0) return -1;
    const pid_t pid = Start(args, slave, outToPipe ? p[1] : slave, slave, slave);
    close(slave);
    close(p[1]);
    size_t next = 0;
    for (;;) {
        pollfd f{master, POLLIN, 0};
        if (poll(&f, 1, 10000) <= 0) break;  // ten seconds without a word: the run is over or hangs
        char buf[4096];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;  // the program ended: the terminal is gone
        screen.append(buf, static_cast<size_t>(n));
        if (next < typed.size() && Count(screen, "? ") > next) {
            if (write(master, typed[next].data(), typed[next].size()) < 0) break;
            ++next;
        } else if (signal != 0 && next == typed.size() && Count(screen, "? ") > next) {
            kill(pid, signal);
            ++next;
        }
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    out = Drain(p[0]);
    close(p[0]);
    close(master);
    return ExitCode(status);
}

TEST(HostileAnswers, OnlyAWholeLineThatIsAnAnswerCounts) {
    const std::string zeros(63, '0'), endOfInput = "\x04";
    std::string screen, out;
    // The end of a long line is no answer; the question is asked again, and the end of the input declines.
    EXPECT_EQ(OnTerminal({"flash", "--simulate"}, {zeros + "ok\n", endOfInput}, false, screen, out), 1);
    EXPECT_EQ(Count(screen, "OK/Cancel? "), 2u) << screen;
    EXPECT_EQ(screen.find("Page 1 Checksum"), std::string::npos);

    screen.clear();
    EXPECT_EQ(OnTerminal({"flash", "--simulate=newer"}, {zeros + "y\n", endOfInput}, false, screen, out), 1);
    EXPECT_EQ(Count(screen, "Yes/No? "), 2u) << screen;
    EXPECT_EQ(screen.find("Page 1 Checksum"), std::string::npos);

    // Either question takes yes, y, ok, no, n and cancel; any other line is told which answers count.
    const char answers[] = "Answer yes, y or ok to go on; no, n, cancel or an empty line to stop.";
    struct Answer {
        const char* simulate;
        std::vector<std::string> typed;
        int exitCode;
    } table[] = {
        {"match", {"Yes\n"}, 0}, {"match", {"y\n"}, 0}, {"newer", {"ok\n", "YES\n"}, 0},
        {"match", {"maybe\n", "no\n"}, 1}, {"newer", {"cancel\n"}, 1}, {"match", {"N\n"}, 1},
    };
    for (const Answer& a : table) {
        SCOPED_TRACE(a.typed[0]);
        screen.clear();
        EXPECT_EQ(OnTerminal({"flash", std::string("--simulate=") + a.simulate}, a.typed, false, screen, out),
                  a.exitCode)
            << screen;
        EXPECT_EQ(Count(screen, "? "), a.typed.size()) << screen;
        EXPECT_EQ(Count(screen, answers), a.typed[0] == "maybe\n" ? 1u : 0u) << screen;
    }

    // Output to a pipe: the question is still put on the terminal, and answered there.
    screen.clear();
    EXPECT_EQ(OnTerminal({"flash", "--simulate"}, {"ok\n"}, true, screen, out), 0) << screen;
    EXPECT_NE(screen.find("Caution!: Flash Now! Please do not power off!\r\nOK/Cancel? "), std::string::npos)
        << screen;
    EXPECT_EQ(Count(out, "Progress: "), 64u);
    EXPECT_NE(out.find("Yes!: Flash Succeed!\n"), std::string::npos);
}

// A signal that ends the program at a question says that no page was sent; it still ends it.
TEST(HostileAnswers, ASignalAtTheQuestionSaysNoPageWasSent) {
    for (const int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        std::string screen, out;
        EXPECT_EQ(OnTerminal({"flash", "--simulate"}, {}, false, screen, out, signal), 1000 + signal) << screen;
        EXPECT_NE(screen.find(std::string("updater: ") + HeldSignalName(signal) +
                              " at the question ends the program: no page write was sent to the drive, and its "
                              "firmware is as it was."),
                  std::string::npos)
            << screen;
        EXPECT_EQ(screen.find("Page 1 Checksum"), std::string::npos);
    }
}

}  // namespace
