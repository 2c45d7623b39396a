// Process exit while a host completion outlasts the exit handler's wait.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

extern char** environ;

namespace {

struct Outcome {
    int status = -1;  // -1: did not end in time
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

Outcome runProbe() {
    int out[2], err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) return {};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    posix_spawn_file_actions_addclose(&fa, err[0]);
    char* argv[] = {const_cast<char*>(ORVALIS_EXIT_PROBE), nullptr};
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    Outcome o;
    if (rc == 0) {
        // Bounded: the probe ends in about 6 s when sound.
        for (int i = 0; i < 600; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                o.status = status;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (o.status == -1) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        o.out = drain(out[0]);
        o.err = drain(err[0]);
    }
    ::close(out[0]);
    ::close(err[0]);
    return o;
}

TEST(ExitTest, NoCompletionRunsAfterTheExitHandlerGaveUpWaiting) {
    Outcome o = runProbe();
    EXPECT_EQ(o.out, "exiting\n");
    ASSERT_NE(o.status, -1) << "the process hung at exit";
    ASSERT_TRUE(WIFEXITED(o.status)) << "the process died of signal " << WTERMSIG(o.status) << "\n" << o.err;
    EXPECT_EQ(WEXITSTATUS(o.status), 0) << o.err;
    // Completions queued behind the slow one would touch destroyed host state.
    EXPECT_EQ(o.err.find("late"), std::string::npos) << o.err;
}

}  // namespace
