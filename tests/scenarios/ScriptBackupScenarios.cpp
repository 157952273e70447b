// The shipped recipe for a backup application made of a shell script
// (examples/ScriptBackup/ScriptBackup.app), opened by the real poller on a press.
#include "Harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace scenario {
namespace {

class ScriptBackup : public Scenario {
protected:
    void SetUp() override {
        WriteAppNamePreference("<string>" + std::string(TVB_SCRIPT_BACKUP_BUNDLE) + "</string>");
        WriteFile(mHome / "ToBackUp" / "letter.txt", "dear drive\n");
        StartHost();
        Attach("SCRIPT1", {"--bridge-serial", "TVB-7", "--volume", "My Data:1000:400", "--volume",
                           "Photos:1000:100"});
        StartMainPoller();
        ASSERT_TRUE(WaitUntil([&] { return Watchers("SCRIPT1") == 1; }, "the poller lists it"));
    }
    // A script still blocked on its log pipe is let go: it then ends on its own.
    void TearDown() override {
        int fd = open((Target() / "ScriptBackup.log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            close(fd);
    }
    fs::path Target() const { return mHome / "Backups" / "My Data"; }
    bool BackupEnded() { return Lights("SCRIPT1").find(" shown=on ") != std::string::npos; }
    bool HandOffFolderEmpty() const {
        return fs::is_directory(HandOffFolder()) && fs::is_empty(HandOffFolder());
    }
};

// The script reads the launch file, backs up, and is tracked as the running backup until its
// end file: a pipe in place of its log holds it, so the test decides when it may finish.
TEST_F(ScriptBackup, BacksUpAndIsTrackedUntilItWritesTheEndFile) {
    fs::create_directories(Target());
    const fs::path fifo = Target() / "ScriptBackup.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    CtlOk({"press", "SCRIPT1"});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(LaunchFile()); }, "the launch file"));
    CtlOk({"calls", "--clear", "SCRIPT1"});
    // A drive plugged in now has its lights set on the next tick, which proves a tick has passed.
    Attach("TICK1", {"--volume", "T:10:5"});
    ASSERT_TRUE(WaitUntil([&] { return Lights("TICK1") != "value=none shown=unset commands=0"; },
                          "a tick after the launch"));
    EXPECT_TRUE(fs::exists(LaunchFile())) << "the running script was not taken for the backup";
    for (const auto& call : Calls("SCRIPT1"))
        EXPECT_NE(call, "selector 2") << "a button was polled while the backup ran";

    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    pollfd ready = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1) << "the script never wrote its log";
    fcntl(fd, F_SETFL, 0);
    std::string log;
    char buffer[256];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        log.append(buffer, static_cast<size_t>(n));
    close(fd);
    EXPECT_EQ(log, "drive: TVB-7\nvolumes: My Data, Photos\ncopied " +
                       (mHome / "ToBackUp").string() + "\n");
    EXPECT_EQ(ReadFile(Target() / "letter.txt"), "dear drive\n");

    ASSERT_TRUE(WaitUntil([&] { return BackupEnded(); }, "the lights to come on"));
    EXPECT_TRUE(HandOffFolderEmpty()) << "the end file was not taken as the end of the backup";
}

} // namespace
} // namespace scenario
