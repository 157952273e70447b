// The volume walk: real mounts, a mount table of our own, and simulated volumes from a small
// stand-in host speaking the wire protocol on a real socket.
#include "FilesTestSupport.h"
#include "Volumes_Internal.h"

#include <TvbGeneration.h>
#include <TvbWire.h>

#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/un.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <set>
#include <thread>

using namespace tvb::test;

namespace {

// Says hello and answers volume requests with the list it holds, for as long as a peer stays.
// It publishes a registry generation as the device host does, moved by every SetVolumes.
class FakeHost {
public:
    explicit FakeHost(const std::string& path) : mPath(path) {
        mListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        mListening = mListen >= 0 && pipe(mWake) == 0 &&
                     bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     listen(mListen, 8) == 0;
        if (mListening) {
            mPage.Create(tvb::wire::GenerationPage::PathFor(path), 1);
            mPage.Publish(mGeneration);
            mThread = std::thread([this] { Serve(); });
        }
    }
    ~FakeHost() {
        if (mThread.joinable()) {
            (void)!write(mWake[1], "x", 1);
            mThread.join();
        }
        for (int fd : {mListen, mWake[0], mWake[1]})
            if (fd >= 0)
                close(fd);
        unlink(mPath.c_str());
        mPage.Retire();
    }
    bool Listening() const { return mListening; }
    void SetVolumes(std::vector<tvb::wire::VolumeInfo> volumes) {
        std::lock_guard<std::mutex> lock(mMutex);
        mVolumes = std::move(volumes);
        mPage.Publish(++mGeneration);
    }
    // Volume requests answered so far.
    int VolumeRequests() const { return mVolumeRequests; }

private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{mListen, POLLIN, 0}, {mWake[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                return;
            int conn = accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0)
                continue;
            timeval limit{5, 0};
            setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            Answer(conn);
            close(conn);
        }
    }
    void Answer(int conn) {
        namespace wire = tvb::wire;
        wire::FrameReader reader;
        for (;;) {
            wire::FrameView request;
            wire::DecodeStatus status;
            while ((status = reader.Next(request)) == wire::DecodeStatus::NeedMore) {
                // The session keeps its connection: the fake must still hear that it is done.
                pollfd fds[2] = {{conn, POLLIN, 0}, {mWake[0], POLLIN, 0}};
                if (poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN))
                    return;
                uint8_t buf[4096];
                ssize_t n = recv(conn, buf, sizeof buf, 0);
                if (n <= 0)
                    return;
                reader.Append(buf, static_cast<size_t>(n));
            }
            if (status != wire::DecodeStatus::Frame)
                return;
            const auto op = static_cast<wire::Op>(request.header.code);
            std::vector<uint8_t> frame;
            if (op == wire::Op::Hello) {
                std::lock_guard<std::mutex> lock(mMutex);
                wire::AppendAnswer(frame, op, request.header.id, wire::kStatusSuccess, mGeneration,
                                   wire::HelloAnswer{1, 1}, "");
            } else if (op == wire::Op::Volumes) {
                wire::VolumesRequest asked;
                if (!wire::DecodeBody(request.body, request.bodyLength, asked))
                    return;
                wire::VolumesAnswer answer;
                uint64_t generation = 0;
                {
                    std::lock_guard<std::mutex> lock(mMutex);
                    for (const auto& v : mVolumes)
                        if (asked.volume == 0 || asked.volume == v.id)
                            answer.volumes.push_back(v);
                    generation = mGeneration;
                }
                ++mVolumeRequests;
                wire::AppendAnswer(frame, op, request.header.id, wire::kStatusSuccess, generation,
                                   answer, "");
            } else {
                wire::AppendAnswer(frame, op, request.header.id, wire::kStatusUnsupported, 1,
                                   wire::HelloAnswer{}, "");
            }
            if (send(conn, frame.data(), frame.size(), MSG_NOSIGNAL) < 0)
                return;
        }
    }

    std::string mPath;
    int mListen = -1;
    int mWake[2] = {-1, -1};
    bool mListening = false;
    std::thread mThread;
    std::mutex mMutex;
    std::vector<tvb::wire::VolumeInfo> mVolumes;
    tvb::wire::GenerationPage mPage;
    uint64_t mGeneration = 1;
    std::atomic<int> mVolumeRequests{0};
};

struct Found {
    FSVolumeRefNum refNum = 0;
    std::u16string name;
    uint64_t totalBytes = 0, freeBytes = 0;
    std::string bsdName; // "<none>" when vMDeviceID is NULL
};

class Volumes : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        mSocket = Path("devhost.sock");
        mSocketEnv.emplace("TVB_DEVHOST_SOCKET", mSocket.c_str());
    }
    void TearDown() override {
        tvb::files::SetMountInfoPathForTesting("");
        mSocketEnv.reset();
        ScratchTest::TearDown();
    }
    void UseMountTable(const std::string& text) {
        WriteAll(Path("mountinfo"), text);
        tvb::files::SetMountInfoPathForTesting(Path("mountinfo"));
    }
    // One mountinfo line for a whole file system mounted from `source`.
    static std::string Line(int id, const std::string& mountPoint, const std::string& source) {
        return std::to_string(id) + " 1 8:" + std::to_string(id) + " / " + mountPoint +
               " rw,relatime shared:1 - ext4 " + source + " rw\n";
    }

    static HParamBlockRec VolParmsRequest(FSVolumeRefNum refNum, GetVolParmsInfoBuffer* parms,
                                          SInt32 size) {
        HParamBlockRec pb;
        memset(&pb, 0, sizeof pb);
        pb.ioParam.ioVRefNum = refNum;
        pb.ioParam.ioBuffer = parms;
        pb.ioParam.ioReqCount = size;
        return pb;
    }

    static std::string DeviceOf(FSVolumeRefNum refNum) {
        GetVolParmsInfoBuffer parms;
        memset(&parms, 0, sizeof parms);
        HParamBlockRec pb = VolParmsRequest(refNum, &parms, sizeof parms);
        OSErr err = PBHGetVolParmsSync(&pb);
        EXPECT_EQ(err, pb.ioParam.ioResult);
        if (err != noErr)
            return "<err " + std::to_string(err) + ">";
        EXPECT_EQ(static_cast<SInt32>(sizeof parms), pb.ioParam.ioActCount);
        return parms.vMDeviceID ? static_cast<const char*>(parms.vMDeviceID) : "<none>";
    }

    // Walks every index the way the daemon does, recording each volume; stops at nsvErr.
    std::vector<Found> Walk(std::vector<OSErr>* errors = nullptr) {
        std::vector<Found> all;
        for (ItemCount index = 1; index < 1000; ++index) {
            FSVolumeInfo info;
            memset(&info, 0, sizeof info);
            HFSUniStr255 name;
            Found f;
            OSErr err = FSGetVolumeInfo(kFSInvalidVolumeRefNum, index, &f.refNum,
                                        kFSVolInfoFSInfo | kFSVolInfoSizes, &info, &name, nullptr);
            if (err == nsvErr)
                return all;
            if (errors != nullptr)
                errors->push_back(err);
            if (err != noErr)
                continue;
            f.name.assign(name.unicode, name.unicode + name.length);
            f.totalBytes = info.totalBytes;
            f.freeBytes = info.freeBytes;
            f.bsdName = DeviceOf(f.refNum);
            all.push_back(f);
        }
        ADD_FAILURE() << "the walk never ended with nsvErr";
        return all;
    }

    // One volume of device `bsdName` as the poller's names and totals walks see it.
    struct Walked {
        ItemCount index = 0;
        std::u16string name;
        uint64_t totalBytes = 0; // 0 when the sizes could not be had
    };
    static std::vector<Walked> WalkFor(const std::string& bsdName) {
        std::vector<Walked> found;
        for (ItemCount index = 1; index < 10000; ++index) {
            Walked v{index, {}, 0};
            FSVolumeRefNum refNum = 0;
            HFSUniStr255 name;
            OSErr err =
                FSGetVolumeInfo(0, index, &refNum, kFSVolInfoFSInfo, nullptr, &name, nullptr);
            if (err == nsvErr)
                break;
            if (err != noErr || DeviceOf(refNum) != bsdName)
                continue;
            v.name.assign(name.unicode, name.unicode + name.length);
            FSVolumeInfo info;
            if (FSGetVolumeInfo(0, index, nullptr, kFSVolInfoSizes, &info, nullptr, nullptr) ==
                noErr)
                v.totalBytes = info.totalBytes;
            found.push_back(v);
        }
        return found;
    }
    static bool MountTmpfs(const std::string& source, const std::string& at, int kilobytes) {
        std::string options = "size=" + std::to_string(kilobytes) + "k";
        return mount(source.c_str(), at.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }

    std::string mSocket;
    std::optional<ScopedEnv> mSocketEnv;
};

std::u16string U16Of(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

std::string HostName() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return host;
}

TEST_F(Volumes, EachFileSystemIsOneVolumeWithItsOwnNameAndSizesWhereItCanBeReached) {
    // Blank, tab, newline and backslash come escaped in the kernel's table; a vertical tab
    // and a carriage return do not.
    const std::string odd = "Disk\v1 \\x\ty\r\nz";
    for (const std::string& leaf : {std::string("A"), std::string("B"), odd})
        ASSERT_EQ(0, mkdir(Path(leaf).c_str(), 0755));
    int result = RunWithOwnMounts([&] {
        // This namespace's table, not the one a descriptor opened before the fork shows.
        tvb::files::SetMountInfoPathForTesting("");
        // sdz1 lies hidden beneath sdz2, which is bound whole at B as well.
        if (!MountTmpfs("/dev/sdz1", Path("A"), 64) || !MountTmpfs("/dev/sdz2", Path("A"), 128) ||
            mount(Path("A").c_str(), Path("B").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            !MountTmpfs("/dev/sdz3", Path(odd), 256))
            return 10;
        if (!WalkFor("sdz1").empty())
            return 11;
        std::vector<Walked> shown = WalkFor("sdz2");
        if (shown.size() != 1 || shown[0].name != u"A" || shown[0].totalBytes != 128 * 1024)
            return 12;
        std::vector<Walked> named = WalkFor("sdz3");
        if (named.size() != 1 || named[0].name != u"Disk\v1 \\x\ty\r\nz" ||
            named[0].totalBytes != 256 * 1024)
            return 13;
        // Unmounted between the walk's start and its look at the volume: the folder left
        // behind is not the volume, and its sizes are another's.
        if (umount(Path(odd).c_str()) != 0)
            return 14;
        FSVolumeInfo info;
        HFSUniStr255 name;
        FSRef root;
        if (FSGetVolumeInfo(0, named[0].index, nullptr, kFSVolInfoSizes, &info, &name, nullptr) ==
                noErr &&
            name.length == named[0].name.size())
            return 15;
        if (FSGetVolumeInfo(0, named[0].index, nullptr, 0, nullptr, &name, &root) == noErr &&
            name.length == named[0].name.size())
            return 16;
        return 0;
    });
    if (result == kNoNamespace)
        GTEST_SKIP() << "no user and mount namespace here";
    EXPECT_EQ(0, result);
}

TEST_F(Volumes, RealMountWalkEndsWithNsvErrAndKeepsItsNumbers) {
    std::vector<OSErr> errors;
    std::vector<Found> first = Walk(&errors);
    std::set<FSVolumeRefNum> seen;
    for (const Found& f : first) {
        EXPECT_LT(f.refNum, 0);
        EXPECT_TRUE(seen.insert(f.refNum).second) << "refnum given twice: " << f.refNum;
        EXPECT_LE(f.name.size(), 255u);
        EXPECT_LE(f.freeBytes, f.totalBytes);
        // Real mounts are block devices, so every one has a device name.
        EXPECT_NE("<none>", f.bsdName);
        EXPECT_EQ(std::string::npos, f.bsdName.find('/'));
    }
    std::vector<Found> second = Walk();
    ASSERT_EQ(first.size(), second.size());
    for (size_t i = 0; i < first.size(); ++i)
        EXPECT_EQ(first[i].refNum, second[i].refNum);
}

TEST_F(Volumes, ParseKeepsWholeBlockDeviceMountsOnly) {
    std::string text = Line(20, "/", "/dev/vdz") +
                       "21 20 0:5 / /proc rw - proc proc rw\n"
                       "22 20 0:6 / /run rw - tmpfs tmpfs rw\n"
                       "23 20 8:1 /var/lib/x /etc/hosts rw - ext4 /dev/vdz rw\n" // bind of a file
                       "garbage line\n"
                       "24 20 8:2 / /mnt/odd rw - ext4\n" // no source
                       "25 20 8:3 / /mnt/bare rw - ext4 /dev/ rw\n" +
                       Line(26, "/media/My\\040Disk", "/dev/sdz1") +
                       // optional fields before the separator, several of them
                       "27 20 8:4 / /media/b rw shared:3 master:2 - vfat /dev/sdz2 rw\n";
    auto mounts = tvb::files::ParseMountInfo(text);
    ASSERT_EQ(3u, mounts.size());
    EXPECT_EQ("/", mounts[0].mountPoint);
    EXPECT_EQ("vdz", mounts[0].bsdName);
    EXPECT_EQ("/media/My Disk", mounts[1].mountPoint);
    EXPECT_EQ("sdz1", mounts[1].bsdName);
    EXPECT_EQ("/media/b", mounts[2].mountPoint);
    EXPECT_EQ("sdz2", mounts[2].bsdName);
}

TEST_F(Volumes, BytesTheKernelLeavesUnescapedStayInTheirField) {
    // A vertical tab is no field break: else this tmpfs would pass for a mount of /dev/sdz9.
    std::string text = "2 1 0:7 / /media/Fake\va\v-\vext4\v/dev/sdz9 rw - tmpfs tmpfs rw\n" +
                       Line(3, "/media/CR\r\fFF", "/dev/sdz3");
    auto mounts = tvb::files::ParseMountInfo(text);
    ASSERT_EQ(1u, mounts.size());
    EXPECT_EQ("/media/CR\r\fFF", mounts[0].mountPoint);
    EXPECT_EQ("sdz3", mounts[0].bsdName);
}

TEST_F(Volumes, DeviceNamesAreTheKernelsAfterFollowingLinks) {
    std::string link = "/dev/shm/tvb-files-link-" + std::to_string(getpid());
    if (symlink("/dev/null", link.c_str()) != 0)
        GTEST_SKIP() << "cannot make a link under /dev/shm";
    auto mounts = tvb::files::ParseMountInfo(Line(30, "/mnt/x", link));
    unlink(link.c_str());
    ASSERT_EQ(1u, mounts.size());
    EXPECT_EQ("null", mounts[0].bsdName);
}

TEST_F(Volumes, WalkGivesNamesDevicesAndSizesInTableOrder) {
    ASSERT_EQ(0, mkdir(Path("Data").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("Back up").c_str(), 0755));
    UseMountTable(Line(1, "/", "/dev/vdz") + Line(2, Path("Data"), "/dev/sdz1") +
                  Line(3, Path("Back\\040up"), "/dev/sdz2"));
    std::vector<Found> found = Walk();
    ASSERT_EQ(3u, found.size());
    EXPECT_EQ(U16Of(HostName()), found[0].name);
    EXPECT_EQ(u"Data", found[1].name);
    EXPECT_EQ(u"Back up", found[2].name);
    EXPECT_EQ("vdz", found[0].bsdName);
    EXPECT_EQ("sdz1", found[1].bsdName);
    EXPECT_EQ("sdz2", found[2].bsdName);

    struct statvfs st;
    ASSERT_EQ(0, statvfs(Path("Data").c_str(), &st));
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_frsize, found[1].totalBytes);
    EXPECT_GT(found[1].freeBytes, 0u);
    EXPECT_LE(found[1].freeBytes, found[1].totalBytes);
}

TEST_F(Volumes, OnlyTheAskedForFieldsAreWritten) {
    ASSERT_EQ(0, mkdir(Path("Data").c_str(), 0755));
    UseMountTable(Line(1, Path("Data"), "/dev/sdz1"));
    FSVolumeInfo info;
    memset(&info, 0xAB, sizeof info);
    FSVolumeRefNum actual = 0;
    ASSERT_EQ(noErr, FSGetVolumeInfo(kFSInvalidVolumeRefNum, 1, &actual, kFSVolInfoFSInfo, &info,
                                     nullptr, nullptr));
    EXPECT_EQ(kHFSPlusSigWord, info.signature);
    EXPECT_EQ(0xABABABABABABABABull, info.totalBytes);
    EXPECT_EQ(0xABABABABABABABABull, info.freeBytes);

    FSRef root;
    ASSERT_EQ(noErr, FSGetVolumeInfo(actual, 0, nullptr, kFSVolInfoSizes, &info, nullptr, &root));
    EXPECT_NE(0xABABABABABABABABull, info.totalBytes);
    EXPECT_EQ(Path("Data"), RefToPath(root));
}

TEST_F(Volumes, MissingMountPointGivesAnErrorAndTheWalkGoesOn) {
    ASSERT_EQ(0, mkdir(Path("Later").c_str(), 0755));
    UseMountTable(Line(1, Path("Gone"), "/dev/sdz1") + Line(2, Path("Later"), "/dev/sdz2"));
    std::vector<OSErr> errors;
    std::vector<Found> found = Walk(&errors);
    ASSERT_EQ(2u, errors.size());
    EXPECT_EQ(fnfErr, errors[0]);
    EXPECT_EQ(noErr, errors[1]);
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ(u"Later", found[0].name);
}

TEST_F(Volumes, LongAndMalformedNamesAreCutOnlyBetweenCharacters) {
    // Names only: no statvfs, so the mount points need not exist.
    std::string longAscii(300, 'a');
    std::string pairAtEnd = std::string(254, 'b') + "\xF0\x9D\x84\x9E"; // U+1D11E needs 2 units
    UseMountTable(Line(1, "/mnt/" + longAscii, "/dev/sdz1") +
                  Line(2, "/mnt/" + pairAtEnd, "/dev/sdz2") +
                  Line(3, "/mnt/bad\xFFname", "/dev/sdz3"));
    HFSUniStr255 name;
    ASSERT_EQ(noErr, FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, &name, nullptr));
    EXPECT_EQ(255, name.length);
    ASSERT_EQ(noErr, FSGetVolumeInfo(0, 2, nullptr, 0, nullptr, &name, nullptr));
    EXPECT_EQ(254, name.length);
    EXPECT_EQ(u'b', name.unicode[253]);
    ASSERT_EQ(noErr, FSGetVolumeInfo(0, 3, nullptr, 0, nullptr, &name, nullptr));
    EXPECT_EQ(u"bad\uFFFDname", std::u16string(name.unicode, name.unicode + name.length));
}

TEST_F(Volumes, RefNumsStayWithTheirVolumeAndGoneVolumesAreNsvErr) {
    ASSERT_EQ(0, mkdir(Path("A").c_str(), 0755));
    ASSERT_EQ(0, mkdir(Path("B").c_str(), 0755));
    UseMountTable(Line(1, Path("A"), "/dev/sdz1") + Line(2, Path("B"), "/dev/sdz2"));
    std::vector<Found> before = Walk();
    ASSERT_EQ(2u, before.size());
    EXPECT_NE(before[0].refNum, before[1].refNum);

    UseMountTable(Line(2, Path("B"), "/dev/sdz2"));
    EXPECT_EQ("<err -35>", DeviceOf(before[0].refNum));
    EXPECT_EQ(nsvErr, FSGetVolumeInfo(before[0].refNum, 0, nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(nsvErr, FSGetVolumeInfo(0, 0xFFFFFFFFu, nullptr, 0, nullptr, nullptr, nullptr));
    std::vector<Found> middle = Walk();
    ASSERT_EQ(1u, middle.size());
    EXPECT_EQ(before[1].refNum, middle[0].refNum);

    // Back again, after another volume: same number as before.
    UseMountTable(Line(2, Path("B"), "/dev/sdz2") + Line(1, Path("A"), "/dev/sdz1"));
    std::vector<Found> after = Walk();
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ(before[0].refNum, after[1].refNum);
    HFSUniStr255 name;
    FSVolumeRefNum actual = 0;
    ASSERT_EQ(noErr, FSGetVolumeInfo(after[1].refNum, 0, &actual, 0, nullptr, &name, nullptr));
    EXPECT_EQ(after[1].refNum, actual);
    EXPECT_EQ(u"A", std::u16string(name.unicode, name.unicode + name.length));
}

TEST_F(Volumes, MountsThatComeAndGoUnderNewNamesNeverRunOutOfNumbers) {
    // A mount keeps its number for as long as the numbers last; on a machine that mounts
    // every job's disk at a path of its own they would not, were gone mounts never given up.
    const int kPerTable = 3000;
    for (int round = 0; round < 12; ++round) {
        std::string text;
        for (int i = 0; i < kPerTable; ++i)
            text += Line(i + 1, "/mnt/job" + std::to_string(round * kPerTable + i), "/dev/sdz1");
        UseMountTable(text);
        // Index 1 reads the table and numbers every mount in it.
        FSVolumeRefNum first = 0, last = 0;
        ASSERT_EQ(noErr, FSGetVolumeInfo(0, 1, &first, 0, nullptr, nullptr, nullptr)) << round;
        ASSERT_EQ(noErr, FSGetVolumeInfo(0, kPerTable, &last, 0, nullptr, nullptr, nullptr))
            << round;
        EXPECT_NE(first, last);
    }
}

TEST_F(Volumes, VolParmsWritesOnlyWhatTheCallerAskedRoomFor) {
    UseMountTable(Line(1, "/mnt/x", "/dev/sdz7"));
    FSVolumeRefNum refNum = 0;
    ASSERT_EQ(noErr, FSGetVolumeInfo(0, 1, &refNum, 0, nullptr, nullptr, nullptr));

    GetVolParmsInfoBuffer parms;
    memset(&parms, 0xCD, sizeof parms);
    HParamBlockRec pb =
        VolParmsRequest(refNum, &parms, offsetof(GetVolParmsInfoBuffer, vMDeviceID));
    ASSERT_EQ(noErr, PBHGetVolParmsSync(&pb));
    EXPECT_EQ(pb.ioParam.ioReqCount, pb.ioParam.ioActCount);
    EXPECT_EQ(4, parms.vMVersion);
    void* untouched;
    memset(&untouched, 0xCD, sizeof untouched);
    EXPECT_EQ(untouched, parms.vMDeviceID);

    EXPECT_EQ("sdz7", DeviceOf(refNum));

    pb.ioParam.ioBuffer = nullptr;
    EXPECT_EQ(paramErr, PBHGetVolParmsSync(&pb));
    EXPECT_EQ(paramErr, pb.ioParam.ioResult);
    EXPECT_EQ(paramErr, PBHGetVolParmsSync(nullptr));
    EXPECT_EQ("<err -35>", DeviceOf(-32000));
    EXPECT_EQ("<err -35>", DeviceOf(0));
}

TEST_F(Volumes, DeviceNameStringsLiveOnAfterTheVolumeIsGone) {
    UseMountTable(Line(1, "/mnt/x", "/dev/sdz8"));
    FSVolumeRefNum refNum = 0;
    ASSERT_EQ(noErr, FSGetVolumeInfo(0, 1, &refNum, 0, nullptr, nullptr, nullptr));
    GetVolParmsInfoBuffer parms;
    HParamBlockRec pb = VolParmsRequest(refNum, &parms, sizeof parms);
    ASSERT_EQ(noErr, PBHGetVolParmsSync(&pb));
    UseMountTable("");
    EXPECT_EQ(nsvErr, FSGetVolumeInfo(0, 1, nullptr, 0, nullptr, nullptr, nullptr));
    ASSERT_NE(nullptr, parms.vMDeviceID);
    EXPECT_STREQ("sdz8", static_cast<const char*>(parms.vMDeviceID));
}

TEST_F(Volumes, SimulatedVolumesFollowTheRealOnes) {
    ASSERT_EQ(0, mkdir(Path("Internal").c_str(), 0755));
    UseMountTable(Line(1, Path("Internal"), "/dev/sdz1"));
    FakeHost host(mSocket);
    ASSERT_TRUE(host.Listening());
    host.SetVolumes({
        {1, "Data", "disk9s1", 120'000, 30'000, false},
        {2, "Broken", "disk9s2", 100, 50, true},
        {3, "Net", "", 1000, 10, false},
        {4, "Caf\xC3\xA9", "disk9s3", 3, 1, false},
    });
    std::vector<OSErr> errors;
    std::vector<Found> found = Walk(&errors);
    ASSERT_EQ((std::vector<OSErr>{noErr, noErr, ioErr, noErr, noErr}), errors);
    ASSERT_EQ(4u, found.size());
    EXPECT_EQ(u"Internal", found[0].name);
    EXPECT_EQ(u"Data", found[1].name);
    EXPECT_EQ("disk9s1", found[1].bsdName);
    EXPECT_EQ(120'000u, found[1].totalBytes);
    EXPECT_EQ(30'000u, found[1].freeBytes);
    EXPECT_EQ(u"Net", found[2].name);
    EXPECT_EQ("<none>", found[2].bsdName);
    EXPECT_EQ(u"Caf\u00e9", found[3].name);

    // A simulated volume has no directory behind it.
    FSRef root;
    EXPECT_EQ(fnfErr, FSGetVolumeInfo(found[1].refNum, 0, nullptr, 0, nullptr, nullptr, &root));

    // The host forgets a volume: its number is no longer valid, the others keep theirs.
    host.SetVolumes({{4, "Caf\xC3\xA9", "disk9s3", 3, 1, false}});
    EXPECT_EQ("<err -35>", DeviceOf(found[1].refNum));
    std::vector<Found> after = Walk();
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ(found[3].refNum, after[1].refNum);
}

TEST_F(Volumes, VolParmsComeFromTheWalkAndWalksAskNothingWhileTheRegistryStandsStill) {
    UseMountTable("");
    FakeHost host(mSocket);
    ASSERT_TRUE(host.Listening());
    host.SetVolumes({{1, "Data", "disk9s1", 100, 50, false}, {2, "More", "disk9s2", 10, 5, false}});
    std::vector<Found> first = Walk();
    ASSERT_EQ(2u, first.size());
    EXPECT_EQ("disk9s2", first[1].bsdName);
    // One question for the whole walk, PBHGetVolParmsSync included.
    EXPECT_EQ(1, host.VolumeRequests());
    std::vector<Found> second = Walk();
    ASSERT_EQ(2u, second.size());
    EXPECT_EQ(first[0].refNum, second[0].refNum);
    EXPECT_EQ(1, host.VolumeRequests());

    // The registry moves: what the walks learnt is never given out again.
    host.SetVolumes({{2, "More", "disk9s2", 10, 5, false}});
    EXPECT_EQ("<err -35>", DeviceOf(first[0].refNum));
    EXPECT_EQ(2, host.VolumeRequests());
    std::vector<Found> third = Walk();
    ASSERT_EQ(1u, third.size());
    EXPECT_EQ(first[1].refNum, third[0].refNum);
}

TEST_F(Volumes, NumbersOfVolumesTheHostNoLongerListsAreGivenOutAgain) {
    // Drives that come and go bring volumes of new ids every time: more, over a long life,
    // than there are numbers.
    UseMountTable("");
    FakeHost host(mSocket);
    ASSERT_TRUE(host.Listening());
    uint64_t id = 1'000'000;
    for (int round = 0; round < 40; ++round) {
        std::vector<tvb::wire::VolumeInfo> volumes;
        for (int i = 0; i < 900; ++i)
            volumes.push_back({id++, "Data", "disk9s1", 10, 5, false});
        host.SetVolumes(std::move(volumes));
        FSVolumeRefNum first = 0;
        ASSERT_EQ(noErr, FSGetVolumeInfo(0, 1, &first, 0, nullptr, nullptr, nullptr)) << round;
    }
    std::vector<OSErr> errors;
    std::vector<Found> found = Walk(&errors);
    ASSERT_EQ(900u, found.size());
    std::set<FSVolumeRefNum> numbers;
    for (const Found& f : found)
        numbers.insert(f.refNum);
    EXPECT_EQ(900u, numbers.size());
    EXPECT_EQ(0u, numbers.count(0));
}

} // namespace

TEST_F(Volumes, BsdNamesOfGoneVolumesAreLetGoAfterManyOthersWent) {
    // Every drive that arrives has a BSD name never seen before; a poller living for months
    // must not keep them all. A name handed out stays good while its volume is listed, and
    // for a good while after.
    UseMountTable("");
    FakeHost host(mSocket);
    ASSERT_TRUE(host.Listening());
    auto deviceIdAt = [](ItemCount index) -> const char* {
        FSVolumeRefNum refNum = 0;
        if (FSGetVolumeInfo(0, index, &refNum, 0, nullptr, nullptr, nullptr) != noErr)
            return nullptr;
        GetVolParmsInfoBuffer parms;
        HParamBlockRec pb = VolParmsRequest(refNum, &parms, sizeof parms);
        return PBHGetVolParmsSync(&pb) == noErr ? static_cast<const char*>(parms.vMDeviceID)
                                                : nullptr;
    };
    const tvb::wire::VolumeInfo staying{1, "Stays", "disk1s1", 10, 5, false};
    const char* stayingName = nullptr;
    const char* firstGone = nullptr;
    for (uint64_t round = 0; round < 3000; ++round) {
        const std::string bsdName = "disk" + std::to_string(round + 2) + "s1";
        host.SetVolumes({staying, {round + 2, "Data", bsdName, 10, 5, false}});
        const char* first = deviceIdAt(1); // index 1 starts a walk
        const char* name = deviceIdAt(2);
        ASSERT_NE(nullptr, name) << round;
        ASSERT_STREQ(bsdName.c_str(), name);
        if (round == 0) {
            stayingName = first;
            firstGone = name;
        }
        if (round == 500) {
            EXPECT_STREQ("disk2s1", firstGone); // gone long since, still readable
        }
    }
    EXPECT_STREQ("disk1s1", stayingName); // listed all along: never let go
    EXPECT_LE(tvb::files::InternedDeviceNamesForTesting(), 1100u);
}
