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
    // renames it to `step`, calling `interrupt` in between. The step's pause gives the signal's
    // handler time to run wherever the signal went.
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

    fs::path dir_;
};

// An interrupt of the command line (the building thread) and one that the kernel hands to
// another thread, as in the window program beside the toolkit's threads: both wait for the
// step, then remove the held file and end the process.
TEST_F(Interrupts, AnInterruptInAnyThreadWaitsForTheStep) {
    const struct {
        const char* sentTo;
        bool otherThread;
        int sig;
    } cases[] = {{"the stepping thread", false, SIGINT}, {"another thread", true, SIGTERM}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sentTo);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        EXPECT_EXIT(
            {
                std::atomic<bool> stop{false};
                std::thread other([&] {
                    while (!stop)
                        usleep(1000);
                });
                pthread_t target = c.otherThread ? other.native_handle() : pthread_self();
                HoldAndStep([&] { pthread_kill(target, c.sig); });
            },
            ::testing::KilledBySignal(c.sig), "");
        EXPECT_FALSE(fs::exists(Path("held")));
        EXPECT_TRUE(fs::exists(Path("step")));
        EXPECT_FALSE(fs::exists(Path("step.part")));
    }
}

} // namespace
