// Random hot-plug traffic against the real poller: drives of every shape come and go, send
// messages, get their buttons pressed and their drivers faulted, and the host stalls now and
// then, while the poller tracks them, hands presses to the sample backup application and
// refreshes lights. Once the traffic stops and the faults clear, the poller must be alive, list
// exactly the drives the design lists, show each listed drive's free share and never have sent a
// command to any other, leave no hand-off file behind, and exit cleanly. TVB_FUZZ_STEPS sets the
// number of steps (default 150); TVB_FUZZ_SEED repeats a run.
#include "Harness.h"

#include <signal.h>

#include <cstdlib>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace scenario {
namespace {

struct Drive {
    std::string bsd, serial;
    bool listed = false;       // what the design lists
    bool hasDuplicate = false; // a drive with the same serial came later
    uint64_t total = 0, free = 0;
};

class HotPlugFuzz : public Scenario {
protected:
    uint64_t Below(uint64_t n) { return mRng() % n; }

    void AttachOne() {
        Drive d;
        std::vector<std::string> options;
        std::vector<size_t> originals;
        for (size_t i = 0; i < mDrives.size(); ++i)
            if (mDrives[i].listed)
                originals.push_back(i);
        const bool duplicate = !originals.empty() && Below(4) == 0;
        if (duplicate) {
            Drive& original = mDrives[originals[Below(originals.size())]];
            original.hasDuplicate = true;
            d.serial = original.serial;
            options.push_back("--allow-duplicate");
        } else {
            d.serial = "R" + std::to_string(mNextSerial++);
        }
        bool listable = !duplicate;
        switch (Below(12)) {
        case 0:
            options.push_back("--no-bridge");
            listable = false;
            break;
        case 1:
            options.insert(options.end(), {"--serial-type", Below(2) ? "number" : "data"});
            listable = false;
            break;
        case 2:
            options.insert(options.end(), {"--bridge-class", "com_ostrel_IOTVBPlus"});
            listable = false;
            break;
        case 3:
            options.push_back("--serial-on-ancestor");
            break;
        case 4:
            options.push_back("--second-storage");
            break;
        case 5:
            options.insert(options.end(), {"--settle-ms", std::to_string(20 + Below(200))});
            break;
        default:
            break;
        }
        for (size_t v = Below(4); v > 0; --v) {
            const uint64_t total = 1 + Below(Below(2) ? 1000 : 4000000000000ull);
            const uint64_t free = Below(total + 1);
            std::string volume =
                "V" + std::to_string(v) + ":" + std::to_string(total) + ":" + std::to_string(free);
            const uint64_t r = Below(10);
            if (r == 0) {
                volume += ":nobsd"; // never seen by a walk
            } else if (r == 1) {
                volume += ":unreadable";
            } else {
                d.total += total;
                d.free += free;
            }
            options.insert(options.end(), {"--volume", volume});
        }
        d.bsd = Attach(d.serial, options);
        Note("attach " + d.serial + " -> " + d.bsd, options);
        d.listed = listable;
        mDrives.push_back(d);
    }

    void OneStep() {
        const uint64_t r = Below(20);
        if (r < 6 || mDrives.empty()) {
            AttachOne();
            return;
        }
        const size_t at = Below(mDrives.size());
        const std::string bsd = mDrives[at].bsd;
        if (r < 9) {
            if (mDrives[at].hasDuplicate)
                return; // which copy the poller keeps would depend on timing
            CtlOk({"detach", bsd});
            Note("detach " + bsd);
            mDrives.erase(mDrives.begin() + static_cast<std::ptrdiff_t>(at));
        } else if (r < 12) {
            static const char* const kCodes[] = {"e0000020", "e0000030", "e0000100", "e0000101",
                                                 "e0000110", "e0000120", "1234"};
            const char* code = kCodes[Below(std::size(kCodes))];
            Ctl({"message", bsd, code});
            Note("message " + bsd + " " + code);
        } else if (r < 15) {
            Ctl({"press", bsd});
            Note("press " + bsd);
        } else if (r < 18) {
            static const char* const kFaults[] = {"refuse-open",  "refuse-selector0",
                                                  "fail-command", "short-answer",
                                                  "slow-answer",  "none"};
            const char* fault = kFaults[Below(std::size(kFaults))];
            Ctl({"fault", bsd, fault});
            Note("fault " + bsd + " " + fault);
        } else if (r < 19) {
            std::this_thread::sleep_for(std::chrono::milliseconds(Below(150)));
            Note("pause");
        } else {
            // The host stalls (a debugger, a swapped-out process) while the poller talks to it.
            const auto stall = std::chrono::milliseconds(Below(1500));
            mHost.Signal(SIGSTOP);
            std::this_thread::sleep_for(stall);
            mHost.Signal(SIGCONT);
            Note("host stopped for " + std::to_string(stall.count()) + " ms");
        }
    }

    // value=..., as the lights should show after a refresh (totals stay below 2^44 here).
    static std::string Share(const Drive& d) {
        return "value=" + std::to_string(d.total > 0 ? d.free * 100 / d.total : 0);
    }

    // Whether every drive is as the design says, with the differences in `why`.
    bool Settled(std::string& why) {
        why.clear();
        std::istringstream lines(CtlOk({"list"}));
        std::map<std::string, int> watchers;
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::string serial, bsd, field;
            fields >> serial >> bsd;
            while (fields >> field)
                if (field.rfind("watchers=", 0) == 0)
                    watchers[bsd] = std::atoi(field.c_str() + 9);
        }
        for (const Drive& d : mDrives) {
            const std::string lights = Lights(d.bsd);
            const bool ok =
                d.listed ? watchers[d.bsd] == 1 && lights.rfind(Share(d) + " ", 0) == 0
                         : watchers[d.bsd] == 0 && lights.find(" commands=0") != std::string::npos;
            if (!ok)
                why += d.bsd + " (" + d.serial + (d.listed ? ", listed" : ", not listed") +
                       ", expected " + (d.listed ? Share(d) : "no command") + "): watchers " +
                       std::to_string(watchers[d.bsd]) + ", " + lights + "\n";
        }
        return why.empty();
    }

    // What was done, for the failure message.
    void Note(const std::string& step, const std::vector<std::string>& options = {}) {
        mSteps += step;
        for (const std::string& option : options)
            mSteps += " " + option;
        mSteps += "\n";
    }

    std::mt19937_64 mRng;
    std::string mSteps;
    std::vector<Drive> mDrives;
    int mNextSerial = 1;
};

TEST_F(HotPlugFuzz, AfterRandomTrafficThePollerListsAndLightsExactlyWhatItShould) {
    const char* fixed = std::getenv("TVB_FUZZ_SEED");
    const uint64_t seed =
        fixed != nullptr ? std::strtoull(fixed, nullptr, 10) : std::random_device{}();
    mRng.seed(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));
    const char* configured = std::getenv("TVB_FUZZ_STEPS");
    const int steps = configured != nullptr ? std::atoi(configured) : 150;

    StartHost();
    UseSampleApplication("end", 0.2);
    for (int i = 0; i < 3; ++i)
        AttachOne();
    StartMainPoller();
    for (int n = 0; n < steps && !HasFailure(); ++n) {
        OneStep();
        ASSERT_TRUE(mPoller.Running()) << "after step " << n;
    }

    // Quiet: no faults, and one more arrival so that every listed drive is refreshed.
    for (const Drive& d : mDrives)
        Ctl({"fault", d.bsd, "none"});
    AttachOne();
    std::string why;
    EXPECT_TRUE(WaitUntil([&] { return Settled(why); }, "the drives settle", 30s))
        << why << "\nafter:\n"
        << mSteps;
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(LaunchFile()) && !fs::exists(EndFile()); },
                          "the last backup ends", 30s));
    ASSERT_TRUE(mPoller.Running());
    mPoller.Signal(SIGTERM);
    EXPECT_EQ(mPoller.Wait(10s), 0) << "the poller's exit (a sanitizer report makes it fail)";
}

} // namespace
} // namespace scenario
