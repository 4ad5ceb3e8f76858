#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "Child.h"
#include "Machine.h"
#include "SignalHold.h"
#include "TempDir.h"

namespace {

volatile sig_atomic_t previousCalls = 0;
extern "C" void CountCall(int) { previousCalls = previousCalls + 1; }

// Standard error goes to a file for the length of a test, then comes back.
class SignalHoldTest : public ::testing::Test {
protected:
    void SetUp() override {
        previousCalls = 0;
        struct sigaction counting = {};
        counting.sa_handler = CountCall;
        sigemptyset(&counting.sa_mask);
        for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &counting, &saved_[i]);
        std::fflush(stderr);
        savedStderr_ = dup(STDERR_FILENO);
        FILE* file = std::fopen((dir / "stderr").c_str(), "w");
        ASSERT_NE(file, nullptr);
        dup2(fileno(file), STDERR_FILENO);
        std::fclose(file);
    }
    void TearDown() override {
        dup2(savedStderr_, STDERR_FILENO);
        close(savedStderr_);
        for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    std::string Written() {
        std::ifstream in(dir / "stderr");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGTSTP};
    TempDir dir;
    struct sigaction saved_[4];
    int savedStderr_ = -1;
};

TEST_F(SignalHoldTest, HeldSignalsAreRememberedAndToldOnce) {
    {
        SignalHold hold;
        EXPECT_FALSE(hold.SignalCame());
        raise(SIGTERM);
        raise(SIGINT);
        raise(SIGHUP);
        raise(SIGINT);
        // Any other that would end the process is held as well.
        for (int other : {SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ}) raise(other);
        EXPECT_TRUE(hold.SignalCame());
        EXPECT_EQ(hold.FirstSignal(), SIGTERM);
        EXPECT_EQ(previousCalls, 0) << "the previous handler ran while the hold was on";
    }
    EXPECT_EQ(Written(), "The firmware write is in progress and must not be interrupted.\n");
}

TEST_F(SignalHoldTest, PreviousHandlersComeBackWhenTheHoldEnds) {
    {
        SignalHold hold;
        EXPECT_EQ(hold.FirstSignal(), 0);
    }
    EXPECT_EQ(Written(), "");  // a quiet hold says nothing
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now = {};
        sigaction(signal, nullptr, &now);
        EXPECT_EQ(now.sa_handler, CountCall) << signal;
    }
    raise(SIGHUP);
    raise(SIGTERM);
    EXPECT_EQ(previousCalls, 2);
}

TEST_F(SignalHoldTest, EachHoldStartsClean) {
    {
        SignalHold first;
        raise(SIGHUP);
    }
    SignalHold second;
    EXPECT_FALSE(second.SignalCame());
    raise(SIGINT);
    EXPECT_EQ(second.FirstSignal(), SIGINT);
    // A new hold tells again.
    EXPECT_EQ(Written(), std::string(kSignalHoldMessage) + kSignalHoldMessage);
}

TEST_F(SignalHoldTest, NestedHoldKeepsTheOuterRecordAndHandler) {
    SignalHold outer;
    {
        SignalHold inner;
        raise(SIGTERM);
    }
    EXPECT_TRUE(outer.SignalCame());
    raise(SIGINT);  // still held after the inner hold ended
    EXPECT_EQ(outer.FirstSignal(), SIGTERM);
    EXPECT_EQ(previousCalls, 0);
}

// Ctrl-Z during the writes is told once and acts once, when the outermost hold ends; a held signal
// does not cut a wait short.
TEST_F(SignalHoldTest, StopsArePutOffAndWaitsRunTheirLength) {
    {
        SignalHold outer;
        {
            SignalHold inner;
            raise(SIGTSTP);
            raise(SIGTSTP);
        }
        EXPECT_EQ(previousCalls, 0);
        itimerval timer{};
        timer.it_value.tv_usec = 10000;
        setitimer(ITIMER_REAL, &timer, nullptr);
        const auto start = std::chrono::steady_clock::now();
        SleepMilliseconds(60);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
        EXPECT_EQ(outer.FirstSignal(), SIGALRM);
    }
    EXPECT_EQ(previousCalls, 1);
    EXPECT_EQ(Written(), std::string(kStopHoldMessage) + kSignalHoldMessage);
}

// At a question, a signal that would end the program says so first, then ends it as it would
// have; one ignored stays ignored, and once the question is over the signal is as it was.
TEST(SignalNote, ASignalAtTheQuestionIsToldThenEndsTheProgram) {
    struct Case {
        int sig;
        void (*before)(int);
        bool atQuestion, ended;
    };
    std::vector<Case> cases;
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ})
        cases.push_back({sig, SIG_DFL, true, true});
    cases.insert(cases.end(), {{SIGHUP, SIG_IGN, true, false}, {SIGTERM, SIG_DFL, false, true}});
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(strsignal(c.sig)) + (c.atQuestion ? " at the question" : " after it"));
        TempDir dir;
        const int status = ChildStatus([&] {
            std::FILE* err = std::fopen((dir / "stderr").c_str(), "w");
            dup2(fileno(err), STDERR_FILENO);
            signal(c.sig, c.before);
            {
                SignalNote note("at the question ends it.");
                if (c.atQuestion) CountedRaise(c.sig);
            }
            CountedRaise(c.sig);
        });
        EXPECT_TRUE(c.ended ? WIFSIGNALED(status) && WTERMSIG(status) == c.sig
                            : WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << status;
        std::ifstream in(dir / "stderr");
        const std::string told = std::string("updater: ") + HeldSignalName(c.sig) + " at the question ends it.\n";
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), c.atQuestion && c.ended ? told : "");
    }
}

}  // namespace
