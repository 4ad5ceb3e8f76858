#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

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
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &counting, &saved_[i]);
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
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    std::string Written() {
        std::ifstream in(dir / "stderr");
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
    TempDir dir;
    struct sigaction saved_[3];
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

TEST_F(SignalHoldTest, QuietHoldSaysNothing) {
    {
        SignalHold hold;
        EXPECT_FALSE(hold.SignalCame());
        EXPECT_EQ(hold.FirstSignal(), 0);
    }
    EXPECT_EQ(Written(), "");
}

TEST_F(SignalHoldTest, PreviousHandlersComeBackWhenTheHoldEnds) {
    { SignalHold hold; }
    for (int signal : kSignals) {
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

}  // namespace
