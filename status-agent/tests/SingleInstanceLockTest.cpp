// The single-instance lock on real files. A second agent and a killed one are
// tested in LifecycleTest and end to end.
#include "FakeAgent.h"

#include <fcntl.h>
#include <sys/stat.h>
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

TEST(SingleInstanceLock, CreatesTheRuntimeFolderAndLockFileOwnerOnly) {
    // Exact modes whatever the umask, including missing Application Support.
    for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        Agent agent;
        const auto support = agent.support.path() / "Library" / "Application Support";
        agent.system->supportDirectories = {support.string()};
        ::chmod(agent.support.path().c_str(), 0755);
        const mode_t previous = ::umask(mask);
        const bool acquired = acquire(agent);
        ::umask(previous);
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

// A symbolic link at the lock path, or a file where a folder belongs, is
// refused and left as it was.
TEST(SingleInstanceLock, WhatStandsInTheWayIsRefusedAndLeftAlone) {
    for (const char* obstacle :
         {"link to a missing file", "link to a file", "Vantrel", "Vantrel/runtime"}) {
        SCOPED_TRACE(obstacle);
        Agent agent;
        const auto target = agent.support.path() / "target";
        fs::path path = agent.support.path() / obstacle;
        if (obstacle[0] == 'l') {
            fs::create_directories(agent.runtimeDirectory());
            if (std::string(obstacle) == "link to a file") {
                writeFile(target, "keep", 0644);
            }
            path = agent.lockPath();
            fs::create_symlink(target, path);
        } else {
            fs::create_directories(path.parent_path());
            writeFile(path, "", 0600);
        }
        EXPECT_FALSE(acquire(agent));
        EXPECT_EQ(lockDescriptor(agent), -1);
        EXPECT_EQ(fs::is_symlink(path), obstacle[0] == 'l');
        EXPECT_TRUE(fs::is_regular_file(path) || !fs::exists(path));
        if (fs::exists(target)) {
            EXPECT_EQ(readFile(target), "keep");
            EXPECT_EQ(permissions(target), 0644u);
            EXPECT_TRUE(lockIsFree(target));
        }
    }
}

} // namespace
} // namespace vantrel::test
