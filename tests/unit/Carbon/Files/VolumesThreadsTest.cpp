// Volume walks on several threads at once, beside IOKit requests on the process's one host
// session, while the host's registry moves: each walk still sees every volume that stays, with
// its own sizes.
#include "DeviceHost.h"
#include "ScratchSupport.h"

#include <Carbon/Carbon.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

using Sizes = std::map<std::u16string, uint64_t>; // a simulated volume's name -> total bytes

// One walk by index, as the daemon makes it; the volumes named "Vol<n>" with their sizes, each
// asked for again by the number the walk gave it.
std::string WalkVolumes(Sizes& seen) {
    std::string wrong;
    for (ItemCount index = 1; index < 1000; ++index) {
        FSVolumeInfo info{};
        HFSUniStr255 name{};
        FSVolumeRefNum refNum = 0;
        const OSErr err = FSGetVolumeInfo(kFSInvalidVolumeRefNum, index, &refNum, kFSVolInfoSizes,
                                          &info, &name, nullptr);
        if (err == nsvErr)
            return wrong;
        if (err != noErr)
            continue;
        const std::u16string text(name.unicode, name.unicode + name.length);
        if (text.rfind(u"Vol", 0) != 0)
            continue;
        seen[text] = info.totalBytes;
        FSVolumeInfo again{};
        if (FSGetVolumeInfo(refNum, 0, nullptr, kFSVolInfoSizes, &again, nullptr, nullptr) ==
                noErr &&
            again.totalBytes != info.totalBytes)
            wrong += "the volume's number gave another volume; ";
    }
    return wrong + "the walk never ended";
}

std::string WalkMedia() {
    io_iterator_t media = 0;
    if (IOServiceGetMatchingServices(kIOMasterPortDefault, IOServiceMatching("IOMedia"), &media) !=
        KERN_SUCCESS)
        return "no media";
    int named = 0;
    for (io_object_t entry = IOIteratorNext(media); entry != 0; entry = IOIteratorNext(media)) {
        io_name_t name;
        if (IORegistryEntryGetName(entry, name) == KERN_SUCCESS &&
            std::string(name).rfind("Vol", 0) == 0)
            ++named;
        IOObjectRelease(entry);
    }
    IOObjectRelease(media);
    return named >= 3 ? "" : "a volume's media is missing";
}

TEST(VolumesThreads, WalksOnSeveralThreadsBesideIOKitSeeEveryVolumeThatStays) {
    tvbtest::DeviceHost host;
    tvb::test::ScopedEnv socket("TVB_DEVHOST_SOCKET", host.SocketPath().c_str());
    ASSERT_TRUE(host.Start());
    Sizes expected;
    for (int d = 0; d < 3; ++d) {
        const std::string name = "Vol" + std::to_string(d);
        const uint64_t total = 1000000 * (d + 1);
        ASSERT_EQ(host.Ctl({"attach", "STAY" + std::to_string(d), "--volume",
                            name + ":" + std::to_string(total) + ":1000"})
                      .exitCode,
                  0);
        expected[std::u16string(name.begin(), name.end())] = total;
    }
    constexpr int kThreads = 3;
    std::vector<std::string> wrong(kThreads);
    std::vector<int> passes(kThreads, 0);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            while (!stop && wrong[t].empty()) {
                if (t == kThreads - 1) {
                    wrong[t] = WalkMedia();
                } else {
                    Sizes seen;
                    wrong[t] = WalkVolumes(seen);
                    if (wrong[t].empty() && seen != expected)
                        wrong[t] = "a walk missed a volume or its size";
                }
                ++passes[t];
            }
        });
    // Each change moves the registry generation, so the walks' snapshot and IOKit's cache are
    // both dropped and made again meanwhile.
    for (int churn = 0; churn < 15; ++churn) {
        EXPECT_EQ(host.Ctl({"attach", "CHURN", "--volume", "Churn:1000:500"}).exitCode, 0);
        EXPECT_EQ(host.Ctl({"detach", "CHURN"}).exitCode, 0);
    }
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], "") << "thread " << t;
        EXPECT_GT(passes[t], 0) << "thread " << t;
    }
}

} // namespace
