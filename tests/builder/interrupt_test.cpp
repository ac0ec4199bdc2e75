// Interrupts against the held new file and the held steps beside it, on Linux: each case runs in
// a child process that the interrupt ends, and the parent looks at what it left.
#include "filesys.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <functional>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Interrupts : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/packrig-interrupt-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }

    // In the child: holds the new file `held`, then runs a step that writes `step.part` and
    // renames it to `step`, sending SIGTERM by `interrupt` in between. The step's pause gives the
    // signal's handler time to run wherever the signal went.
    [[noreturn]] void HoldAndStep(const std::function<void()>& interrupt) const {
        fsys::OutFile out;
        fsys::InterruptRemoval removal;
        if (removal.CreateNew(out, Path("held")))
            _exit(2);
        fsys::WithInterruptsHeld([&] {
            fsys::OutFile part;
            if (part.CreateNew(Path("step.part")))
                _exit(3);
            interrupt();
            usleep(200 * 1000);
            if (rename(Path("step.part").c_str(), Path("step").c_str()) != 0)
                _exit(4);
        });
        usleep(200 * 1000);
        _exit(0);
    }

    void ExpectStepDoneAndHeldFileGone() const {
        EXPECT_FALSE(fs::exists(Path("held")));
        EXPECT_TRUE(fs::exists(Path("step")));
        EXPECT_FALSE(fs::exists(Path("step.part")));
    }

    fs::path dir_;
};

TEST_F(Interrupts, AnInterruptOutsideAStepRemovesTheHeldFile) {
    EXPECT_EXIT(
        {
            fsys::OutFile out;
            fsys::InterruptRemoval removal;
            if (removal.CreateNew(out, Path("held")))
                _exit(2);
            raise(SIGTERM);
            _exit(0);
        },
        ::testing::KilledBySignal(SIGTERM), "");
    EXPECT_FALSE(fs::exists(Path("held")));
}

TEST_F(Interrupts, AnInterruptToTheSteppingThreadWaitsForTheStep) {
    EXPECT_EXIT(HoldAndStep([] { pthread_kill(pthread_self(), SIGINT); }),
                ::testing::KilledBySignal(SIGINT), "");
    ExpectStepDoneAndHeldFileGone();
}

// The window program builds in a thread of its own, beside the toolkit's threads, and the
// kernel hands a process its signal in any thread that does not block it.
TEST_F(Interrupts, AnInterruptToAnotherThreadWaitsForTheStep) {
    EXPECT_EXIT(
        {
            std::atomic<bool> stop{false};
            std::thread other([&] {
                while (!stop)
                    usleep(1000);
            });
            pthread_t target = other.native_handle();
            HoldAndStep([target] { pthread_kill(target, SIGTERM); });
        },
        ::testing::KilledBySignal(SIGTERM), "");
    ExpectStepDoneAndHeldFileGone();
}

} // namespace
