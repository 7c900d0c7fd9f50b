// The single-instance lock on real files, with real second holders.
#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vantrel::test {
namespace {

namespace fs = std::filesystem;

bool acquire(Agent& agent) {
    return Inspector::acquireSingleInstanceLock(*agent.delegate);
}

int lockDescriptor(Agent& agent) {
    return Inspector::lockDescriptor(*agent.delegate);
}

// Sets the process's umask for one scope.
class Umask {
  public:
    explicit Umask(mode_t mask) : previous(::umask(mask)) {}
    ~Umask() { ::umask(previous); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

  private:
    mode_t previous;
};

// Whether a separate process can take the lock now (exit status 0: it could).
bool lockIsFreeForAnotherProcess(const fs::path& lockPath) {
    const pid_t child = ::fork();
    if (child == 0) {
        const int fd = ::open(lockPath.c_str(), O_RDONLY);
        ::_exit(fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SingleInstanceLock, CreatesTheRuntimeFolderAndLockFileOwnerOnly) {
    // Exact modes whatever the umask, including missing Application Support.
    for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        Agent agent;
        const auto support = agent.support.path() / "Library" / "Application Support";
        agent.system->supportDirectories = {support.string()};
        ::chmod(agent.support.path().c_str(), 0755);
        bool acquired = false;
        {
            const Umask umask(mask);
            acquired = acquire(agent);
        }
        ASSERT_TRUE(acquired);
        const auto runtime = support / "Vantrel" / "runtime";
        const auto lockPath = runtime / "status-menu.lock";
        EXPECT_EQ(permissions(support), 0700u);
        EXPECT_EQ(permissions(support / "Vantrel"), 0700u);
        EXPECT_EQ(permissions(runtime), 0700u);
        EXPECT_EQ(permissions(lockPath), 0600u);
        EXPECT_EQ(fs::file_size(lockPath), 0u);
        // Folders that were there already keep their permissions.
        EXPECT_EQ(permissions(agent.support.path()), 0755u);

        const int fd = lockDescriptor(agent);
        ASSERT_GE(fd, 0);
        // Close-on-exec: a relaunched Vantrel must not inherit the lock.
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_FALSE(lockIsFree(lockPath));
        EXPECT_FALSE(lockIsFreeForAnotherProcess(lockPath));
    }
}

TEST(SingleInstanceLock, NarrowsWiderPermissionsAndKeepsTheContent) {
    Agent agent;
    fs::create_directories(agent.runtimeDirectory());
    ASSERT_EQ(::chmod(agent.runtimeDirectory().c_str(), 0755), 0);
    ASSERT_EQ(::chmod((agent.support.path() / "Vantrel").c_str(), 0755), 0);
    writeFile(agent.lockPath(), "12345\n", 0644);

    ASSERT_TRUE(acquire(agent));
    EXPECT_EQ(permissions(agent.runtimeDirectory()), 0700u);
    EXPECT_EQ(permissions(agent.lockPath()), 0600u);
    EXPECT_EQ(readFile(agent.lockPath()), "12345\n");
    // Only the runtime folder itself is narrowed.
    EXPECT_EQ(permissions(agent.support.path() / "Vantrel"), 0755u);
}

TEST(SingleInstanceLock, SymbolicLinkAtTheLockPathIsRefused) {
    Agent agent;
    fs::create_directories(agent.runtimeDirectory());
    const auto missingTarget = agent.support.path() / "target";
    const auto existingTarget = agent.support.path() / "existing";
    writeFile(existingTarget, "keep", 0644);

    for (const auto& target : {missingTarget, existingTarget}) {
        SCOPED_TRACE(target);
        fs::remove(agent.lockPath());
        fs::create_symlink(target, agent.lockPath());
        EXPECT_FALSE(acquire(agent));
        EXPECT_EQ(lockDescriptor(agent), -1);
    }
    EXPECT_FALSE(fs::exists(missingTarget));
    EXPECT_EQ(readFile(existingTarget), "keep");
    EXPECT_EQ(permissions(existingTarget), 0644u);
    EXPECT_TRUE(lockIsFree(existingTarget));
}

TEST(SingleInstanceLock, NonDirectoryInTheWayIsRefused) {
    for (const char* blocked : {"Vantrel", "Vantrel/runtime"}) {
        SCOPED_TRACE(blocked);
        Agent agent;
        const auto path = agent.support.path() / blocked;
        fs::create_directories(path.parent_path());
        writeFile(path, "", 0600);
        EXPECT_FALSE(acquire(agent));
        EXPECT_EQ(lockDescriptor(agent), -1);
        EXPECT_TRUE(fs::is_regular_file(path));
    }
}

TEST(SingleInstanceLock, NoApplicationSupportFolderIsRefused) {
    Agent agent;
    agent.system->supportDirectories.clear();
    EXPECT_FALSE(acquire(agent));
    EXPECT_EQ(lockDescriptor(agent), -1);
    EXPECT_TRUE(fs::is_empty(agent.support.path()));
}

TEST(SingleInstanceLock, SecondHolderIsRefusedAndLeavesTheFirstAlone) {
    Agent first;
    ASSERT_TRUE(acquire(first));

    // flock belongs to the open file description, so a second agent in this
    // process competes like one in another process.
    Agent second;
    second.system->supportDirectories = first.system->supportDirectories;
    EXPECT_FALSE(acquire(second));
    EXPECT_GE(lockDescriptor(second), 0); // left open for the clean-up
    second.app.setDelegate(second.delegate.get());
    second.app.terminate();
    EXPECT_FALSE(lockIsFreeForAnotherProcess(first.lockPath()));

    first.app.setDelegate(first.delegate.get());
    first.app.terminate();
    EXPECT_TRUE(lockIsFreeForAnotherProcess(first.lockPath()));
}

TEST(SingleInstanceLock, KilledHoldersLockIsFreeAtOnce) {
    Agent agent;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        const char acquired = acquire(agent) ? 'y' : 'n';
        [[maybe_unused]] const auto written = ::write(ready[1], &acquired, 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char acquired = 0;
    ASSERT_EQ(::read(ready[0], &acquired, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(acquired, 'y');

    Agent second;
    second.system->supportDirectories = agent.system->supportDirectories;
    EXPECT_FALSE(acquire(second));

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(fs::exists(agent.lockPath()));
    Agent third;
    third.system->supportDirectories = agent.system->supportDirectories;
    EXPECT_TRUE(acquire(third));
}

} // namespace
} // namespace vantrel::test
