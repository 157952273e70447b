#include "CFRunLoop_Internal.h"

#include <CoreFoundation/CFRunLoopPriv.h>
#include <CoreFoundation/CFString.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

const CFStringRef kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

namespace {

using Lock = std::unique_lock<std::recursive_mutex>;
using Mode = __CFRunLoop::Mode;

const char kDefaultName[] = "kCFRunLoopDefaultMode";
const char kCommonName[] = "kCFRunLoopCommonModes";

// Run-loop time-outs at least this long mean "no time-out".
constexpr CFTimeInterval kForever = 1.0e9;
constexpr double kNever = std::numeric_limits<double>::infinity();

// Never destroyed: static destructors (the poll timer's among them) still use it at exit.
__CFRunLoop* gMainLoop = nullptr;

std::atomic<long> gProcessId{0};
thread_local long tThreadId = 0;

void ForgetIdsInChild() {
    gProcessId.store(0, std::memory_order_relaxed);
    tThreadId = 0;
}

void ForgetIdsOnFork() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, ForgetIdsInChild); });
}

long CurrentThread() {
    return __CFRunLoopThreadId();
}

struct ThreadLoop {
    __CFRunLoop* loop = nullptr;
    ~ThreadLoop() {
        // Never the main loop, which CFRunLoopGetCurrent hands out without keeping it here.
        if (loop == nullptr)
            return;
        loop->RemoveEverything();
        CFRelease(loop);
    }
};
thread_local ThreadLoop tThreadLoop;

// Holds one retain for the length of a scope, so a call-out may release the object.
template <typename T> class Retained {
public:
    explicit Retained(T* object) : mObject(object) { CFRetain(object); }
    ~Retained() {
        if (mObject != nullptr)
            CFRelease(mObject);
    }
    Retained(Retained&& other) noexcept : mObject(other.mObject) { other.mObject = nullptr; }
    Retained(const Retained&) = delete;
    Retained& operator=(const Retained&) = delete;
    Retained& operator=(Retained&& other) noexcept {
        std::swap(mObject, other.mObject);
        return *this;
    }
    T* operator->() const { return mObject; }
    T* Get() const { return mObject; }

private:
    T* mObject;
};

// Releases the run-loop lock for a call-out and takes it back, also when the call-out throws.
class Unlocked {
public:
    explicit Unlocked(Lock& lock) : mLock(lock) { mLock.unlock(); }
    ~Unlocked() { mLock.lock(); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    Lock& mLock;
};

template <typename T> bool Contains(const std::vector<T*>& items, T* item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

template <typename T> bool Erase(std::vector<T*>& items, T* item) {
    auto it = std::find(items.begin(), items.end(), item);
    if (it == items.end())
        return false;
    items.erase(it);
    return true;
}

__CFRunLoop* AsLoop(CFRunLoopRef rl, const char* function) {
    auto* loop = __CFCast<__CFRunLoop>(rl, __kCFRunLoopTypeID);
    if (loop == nullptr)
        __CFComplain(function, "called with an invalid run loop");
    return loop;
}

__CFRunLoopTimer* AsTimer(CFRunLoopTimerRef timer, const char* function) {
    auto* object = __CFCast<__CFRunLoopTimer>(timer, __kCFRunLoopTimerTypeID);
    if (object == nullptr)
        __CFComplain(function, "called with an invalid timer");
    return object;
}

__CFRunLoopSource* AsSource(CFRunLoopSourceRef source, const char* function) {
    auto* object = __CFCast<__CFRunLoopSource>(source, __kCFRunLoopSourceTypeID);
    if (object == nullptr)
        __CFComplain(function, "called with an invalid source");
    return object;
}

std::string ModeNameOrComplain(CFStringRef mode, const char* function) {
    std::string name = __CFRunLoopModeName(mode);
    if (name.empty())
        __CFComplain(function, "called with an invalid mode");
    return name;
}

// The mode of that name, made on first use; a new mode keeps the caller's name string.
Mode& GetMode(__CFRunLoop* loop, const std::string& name, CFStringRef nameRef) {
    Mode& mode = loop->mModes[name];
    if (mode.name == nullptr)
        mode.name = static_cast<CFStringRef>(CFRetain(nameRef));
    return mode;
}

Mode* FindMode(__CFRunLoop* loop, const std::string& name) {
    auto it = loop->mModes.find(name);
    return it == loop->mModes.end() ? nullptr : &it->second;
}

bool IsCommon(const __CFRunLoop* loop, const std::string& name) {
    return std::find(loop->mCommonModes.begin(), loop->mCommonModes.end(), name) !=
           loop->mCommonModes.end();
}

// --- timers and sources in modes (lock held) ---
// A timer is in at most one run loop (mLoop); a source remembers every loop it is in (mLoops).

std::vector<__CFRunLoopTimer*>& Items(Mode& mode, __CFRunLoopTimer*) {
    return mode.timers;
}

std::vector<__CFRunLoopSource*>& Items(Mode& mode, __CFRunLoopSource*) {
    return mode.sources;
}

template <typename T> bool LoopHolds(__CFRunLoop* loop, T* item) {
    if (Contains(Items(loop->mCommonItems, item), item))
        return true;
    for (auto& entry : loop->mModes)
        if (Contains(Items(entry.second, item), item))
            return true;
    return false;
}

void NoteLoop(__CFRunLoop* loop, __CFRunLoopTimer* timer) {
    timer->mLoop = loop;
}

void NoteLoop(__CFRunLoop* loop, __CFRunLoopSource* source) {
    if (!Contains(source->mLoops, loop))
        source->mLoops.push_back(loop);
}

// Called once the loop holds the item in no list at all.
void ForgetLoop(__CFRunLoop*, __CFRunLoopTimer* timer) {
    timer->mLoop = nullptr;
}

void ForgetLoop(__CFRunLoop* loop, __CFRunLoopSource* source) {
    Erase(source->mLoops, loop);
    if (source->mDescriptor != nullptr)
        loop->mWaiter->Forget(source->mDescriptor->mFd);
}

// The schedule and cancel call-backs hear about real modes only, not the common-item list.
void Scheduled(__CFRunLoop*, __CFRunLoopTimer*, const Mode&) {}

void Scheduled(__CFRunLoop* loop, __CFRunLoopSource* source, const Mode& mode) {
    if (&mode != &loop->mCommonItems && source->mContext.schedule != nullptr)
        source->mContext.schedule(source->mContext.info, loop, mode.name);
}

void Cancelled(__CFRunLoop*, __CFRunLoopTimer*, const Mode&) {}

void Cancelled(__CFRunLoop* loop, __CFRunLoopSource* source, const Mode& mode) {
    if (&mode != &loop->mCommonItems && source->mContext.cancel != nullptr)
        source->mContext.cancel(source->mContext.info, loop, mode.name);
}

template <typename T> void AddToMode(__CFRunLoop* loop, T* item, Mode& mode) {
    auto& items = Items(mode, item);
    if (Contains(items, item))
        return;
    CFRetain(item);
    items.push_back(item);
    NoteLoop(loop, item);
    Scheduled(loop, item, mode);
}

template <typename T> void RemoveFromMode(__CFRunLoop* loop, T* item, Mode& mode) {
    if (!Erase(Items(mode, item), item))
        return;
    Cancelled(loop, item, mode);
    if (!LoopHolds(loop, item))
        ForgetLoop(loop, item);
    CFRelease(item);
}

template <typename T> void RemoveEverywhere(__CFRunLoop* loop, T* item) {
    Retained<T> keep(item);
    RemoveFromMode(loop, item, loop->mCommonItems);
    for (auto& entry : loop->mModes)
        RemoveFromMode(loop, item, entry.second);
}

void InvalidateTimer(__CFRunLoopTimer* timer) {
    if (!timer->mValid)
        return;
    timer->mValid = false;
    if (timer->mLoop != nullptr)
        RemoveEverywhere(timer->mLoop, timer);
}

// Timer dates are wall-clock dates, but a timer keeps to elapsed time: the date is turned
// into a time on the timer clock when it is set, so that setting the system clock neither
// holds timers back nor lets them all fire at once.
void SetFireDate(__CFRunLoopTimer* timer, CFAbsoluteTime date) {
    timer->mFireDate = date;
    timer->mFireTime = __CFTimerClockGetCurrent() + (date - CFAbsoluteTimeGetCurrent());
}

// Wall and timer clocks part by less than this unless someone sets the wall clock.
constexpr CFTimeInterval kClockSetTolerance = 1.0;

// After a fire: the first whole multiple of the interval after the scheduled time that lies
// past now, so missed fires are skipped rather than made up for.
void ScheduleNextFire(__CFRunLoopTimer* timer, CFAbsoluteTime scheduledDate, double scheduledTime) {
    const CFTimeInterval interval = timer->mInterval;
    const double now = __CFTimerClockGetCurrent();
    double periods = 1.0;
    if (!(scheduledTime + interval > now)) {
        periods = std::floor((now - scheduledTime) / interval) + 1.0;
        if (!(scheduledTime + periods * interval > now))
            periods += 1.0;
    }
    double nextTime = scheduledTime + periods * interval;
    CFAbsoluteTime nextDate = scheduledDate + periods * interval;
    // A schedule that began at minus infinity has no multiples to keep to.
    if (!std::isfinite(nextTime))
        nextTime = now + interval;
    // Once the wall clock has been set the old date no longer says when the timer fires.
    const CFAbsoluteTime wallDate = CFAbsoluteTimeGetCurrent() + (nextTime - now);
    if (!(std::fabs(nextDate - wallDate) <= kClockSetTolerance))
        nextDate = wallDate;
    timer->mFireDate = nextDate;
    timer->mFireTime = nextTime;
}

// --- running (lock held except around call-outs) ---

bool IsPending(const __CFRunLoopTimer* timer) {
    return timer->mValid && !timer->mFiring;
}

// Descriptor sources are not signalled; their descriptors are.
bool IsSignalled(const __CFRunLoopSource* source) {
    return source->mValid && source->mDescriptor == nullptr && source->mSignalled.load();
}

// The pending timer that comes due first, or NULL.
const __CFRunLoopTimer* NextTimer(const Mode& mode) {
    const __CFRunLoopTimer* next = nullptr;
    for (auto* timer : mode.timers)
        if (IsPending(timer) && timer->mFireTime < kNever &&
            (next == nullptr || timer->mFireTime < next->mFireTime))
            next = timer;
    return next;
}

bool AnySignalled(const Mode& mode) {
    return std::any_of(mode.sources.begin(), mode.sources.end(), IsSignalled);
}

__CFRunLoopWaiter::Interest DescriptorInterest(const Mode& mode) {
    __CFRunLoopWaiter::Interest interest;
    for (auto* source : mode.sources) {
        __CFFileDescriptor* descriptor = source->mDescriptor;
        if (source->mValid && descriptor != nullptr && descriptor->mValid && descriptor->mEnabled)
            interest[descriptor->mFd] |= descriptor->mEnabled;
    }
    return interest;
}

void FireTimers(__CFRunLoop* loop, const std::string& name, Lock& lock) {
    Mode* mode = FindMode(loop, name);
    const double now = __CFTimerClockGetCurrent();
    std::vector<Retained<__CFRunLoopTimer>> due;
    for (auto* timer : mode->timers)
        if (IsPending(timer) && timer->mFireTime <= now)
            due.emplace_back(timer);
    std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
        if (a->mFireDate != b->mFireDate)
            return a->mFireDate < b->mFireDate;
        return a->mOrder < b->mOrder;
    });
    for (auto& entry : due) {
        __CFRunLoopTimer* timer = entry.Get();
        // An earlier call-out may have removed, invalidated or re-dated this one.
        if (!timer->mValid || timer->mFiring || !Contains(mode->timers, timer) ||
            timer->mFireTime > now)
            continue;
        const CFAbsoluteTime scheduledDate = timer->mFireDate;
        const double scheduledTime = timer->mFireTime;
        timer->mFiring = true;
        timer->mFireDateSetWhileFiring = false;
        struct FiringFlag {
            __CFRunLoopTimer* timer;
            ~FiringFlag() { timer->mFiring = false; }
        } firing{timer};
        if (timer->mCallout != nullptr) {
            Unlocked unlocked(lock);
            timer->mCallout(timer, timer->mContext.info);
        }
        if (!timer->mValid || timer->mFireDateSetWhileFiring)
            continue;
        if (timer->mInterval > 0)
            ScheduleNextFire(timer, scheduledDate, scheduledTime);
        else
            InvalidateTimer(timer);
    }
}

bool PerformSignalledSources(__CFRunLoop* loop, const std::string& name, bool onlyOne, Lock& lock) {
    Mode* mode = FindMode(loop, name);
    std::vector<Retained<__CFRunLoopSource>> signalled;
    for (auto* source : mode->sources)
        if (IsSignalled(source))
            signalled.emplace_back(source);
    std::stable_sort(signalled.begin(), signalled.end(),
                     [](const auto& a, const auto& b) { return a->mOrder < b->mOrder; });
    bool handled = false;
    for (auto& entry : signalled) {
        __CFRunLoopSource* source = entry.Get();
        if (!source->mValid || !Contains(mode->sources, source) ||
            !source->mSignalled.exchange(false))
            continue;
        handled = true;
        if (source->mContext.perform != nullptr) {
            Unlocked unlocked(lock);
            source->mContext.perform(source->mContext.info);
        }
        if (onlyOne)
            break;
    }
    return handled;
}

bool DispatchDescriptors(__CFRunLoop* loop, const std::string& name,
                         const __CFRunLoopWaiter::Ready& ready, Lock& lock) {
    bool handled = false;
    // A call-out that runs the loop again lets that run wait and serve descriptors itself;
    // what this run's wait saw is then stale (a call-out reading on it could block). Whatever
    // is still ready is reported by the next wait.
    const unsigned long waits = loop->mWaitCount.load();
    for (const auto& [fd, flags] : ready) {
        Mode* mode = FindMode(loop, name);
        std::vector<Retained<__CFFileDescriptor>> owners;
        for (auto* source : mode->sources)
            if (source->mValid && source->mDescriptor != nullptr && source->mDescriptor->mFd == fd)
                owners.emplace_back(source->mDescriptor);
        for (auto& owner : owners) {
            if (loop->mWaitCount.load() != waits)
                return handled;
            __CFFileDescriptor* descriptor = owner.Get();
            CFOptionFlags types = flags & descriptor->mEnabled;
            if (!descriptor->mValid || types == 0)
                continue;
            // One-shot: the call-out re-enables what it wants to hear about again.
            descriptor->mEnabled &= ~types;
            handled = true;
            if (descriptor->mCallout != nullptr) {
                Unlocked unlocked(lock);
                descriptor->mCallout(descriptor, types, descriptor->mContext.info);
            }
        }
    }
    return handled;
}

SInt32 RunInMode(__CFRunLoop* loop, const std::string& name, CFTimeInterval seconds,
                 bool returnAfterSourceHandled) {
    Lock lock(__CFRunLoopLock());
    Mode* mode = FindMode(loop, name);
    if (mode == nullptr || mode->Empty())
        return kCFRunLoopRunFinished;

    // On the timer clock, so that setting the wall clock neither stretches nor cuts a run.
    const double start = __CFTimerClockGetCurrent();
    double deadline = start;
    if (seconds >= kForever)
        deadline = kNever;
    else if (seconds > 0)
        deadline = start + seconds;

    __CFRunLoop::Run run;
    run.mode = name;
    run.outer = loop->mRun;
    loop->mRun = &run;
    struct PopRun {
        __CFRunLoop* loop;
        __CFRunLoop::Run* run;
        ~PopRun() { loop->mRun = run->outer; }
    } pop{loop, &run};

    __CFRunLoopWaiter::Ready ready;
    for (;;) {
        bool handled = PerformSignalledSources(loop, name, returnAfterSourceHandled, lock);

        double realWait = 0;
        if (!handled && deadline > start && !AnySignalled(*mode) && !run.stopped) {
            const __CFRunLoopTimer* next = NextTimer(*mode);
            double until = std::min(next ? next->mFireTime : kNever, deadline);
            if (until == kNever)
                realWait = -1;
            else
                realWait = std::max(0.0, until - __CFTimerClockGetCurrent()) / __CFClockScale();
        }
        loop->mWaiter->SetInterest(DescriptorInterest(*mode));
        loop->mWaitCount.fetch_add(1);
        loop->mWaiting = true;
        {
            Unlocked unlocked(lock);
            loop->mWaiter->Wait(realWait, ready);
        }
        loop->mWaiting = false;

        handled = DispatchDescriptors(loop, name, ready, lock) || handled;
        FireTimers(loop, name, lock);

        if (handled && returnAfterSourceHandled)
            return kCFRunLoopRunHandledSource;
        if (__CFTimerClockGetCurrent() >= deadline)
            return kCFRunLoopRunTimedOut;
        if (run.stopped)
            return kCFRunLoopRunStopped;
        if (mode->Empty())
            return kCFRunLoopRunFinished;
    }
}

} // namespace

// --- internal interface ---

std::recursive_mutex& __CFRunLoopLock() {
    // Never destroyed, for the same reason as the main run loop.
    static auto* lock = new std::recursive_mutex;
    return *lock;
}

std::string __CFRunLoopModeName(CFStringRef mode) {
    if (mode == nullptr || CFGetTypeID(mode) != CFStringGetTypeID())
        return "";
    for (CFIndex size : {256, 4096, 65536}) {
        std::string buffer(static_cast<size_t>(size), '\0');
        if (CFStringGetCString(mode, buffer.data(), size, kCFStringEncodingUTF8)) {
            buffer.resize(std::char_traits<char>::length(buffer.c_str()));
            return buffer;
        }
    }
    return "";
}

unsigned long __CFRunLoopGetWaitCount(CFRunLoopRef rl) {
    auto* loop = __CFCast<__CFRunLoop>(rl, __kCFRunLoopTypeID);
    return loop ? loop->mWaitCount.load() : 0;
}

void __CFRunLoopSourceRemoveFromAllLoops(__CFRunLoopSource* source) {
    Retained<__CFRunLoopSource> keep(source);
    for (auto* loop : std::vector<__CFRunLoop*>(source->mLoops))
        RemoveEverywhere(loop, source);
}

void __CFRunLoopSourceWakeLoops(__CFRunLoopSource* source) {
    for (auto* loop : source->mLoops)
        loop->WakeFromOtherThread();
}

__CFRunLoop::__CFRunLoop() : __CFRuntimeBase(__kCFRunLoopTypeID) {
    mWaiter = __CFRunLoopWaiter::Create();
    mThread = CurrentThread();
    mCommonModes.push_back(kDefaultName);
    GetMode(this, kDefaultName, kCFRunLoopDefaultMode);
}

__CFRunLoop::~__CFRunLoop() {
    RemoveEverything();
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    for (auto& entry : mModes)
        CFRelease(entry.second.name);
}

// Descriptions read state that the loop's own thread changes under the lock, so they take it
// too: a description may be asked for on any thread.
std::string __CFRunLoop::Describe() const {
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    std::string text = "modes = (";
    for (const auto& entry : mModes)
        text += (text.back() == '(' ? "" : ", ") + entry.first;
    return text + ")";
}

void __CFRunLoop::RemoveEverything() {
    // Everything is detached under the lock; cancel call-outs and releases run after it,
    // so a call-out may use the run loop API from any thread.
    struct Cancel {
        __CFRunLoopSource* source;
        CFStringRef mode;
    };
    std::vector<CFTypeRef> dropped;
    std::vector<Cancel> cancels;
    {
        std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
        auto take = [&](Mode& mode, bool cancel) {
            for (auto* timer : mode.timers) {
                timer->mLoop = nullptr;
                dropped.push_back(timer);
            }
            for (auto* source : mode.sources) {
                if (cancel && source->mContext.cancel != nullptr)
                    cancels.push_back({source, mode.name});
                Erase(source->mLoops, this);
                dropped.push_back(source);
            }
            mode.timers.clear();
            mode.sources.clear();
        };
        take(mCommonItems, false);
        for (auto& entry : mModes)
            take(entry.second, true);
    }
    for (const Cancel& c : cancels)
        c.source->mContext.cancel(c.source->mContext.info, this, c.mode);
    for (CFTypeRef item : dropped)
        CFRelease(item);
}

void __CFRunLoop::WakeFromOtherThread() {
    if (CurrentThread() != mThread)
        mWaiter->Wake();
}

__CFRunLoopTimer::~__CFRunLoopTimer() {
    if (mContext.release != nullptr)
        mContext.release(mContext.info);
}

std::string __CFRunLoopTimer::Describe() const {
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    char text[128];
    std::snprintf(text, sizeof text,
                  "valid = %s, firing = %s, interval = %g, next fire date = %.6f",
                  mValid ? "Yes" : "No", mFiring ? "Yes" : "No", mInterval, mFireDate);
    return text;
}

__CFRunLoopSource::~__CFRunLoopSource() {
    if (mDescriptor != nullptr) {
        {
            std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
            if (mDescriptor->mSource == this)
                mDescriptor->mSource = nullptr;
        }
        CFRelease(mDescriptor);
    }
    if (mContext.release != nullptr)
        mContext.release(mContext.info);
}

std::string __CFRunLoopSource::Describe() const {
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    char text[96];
    std::snprintf(text, sizeof text, "valid = %s, order = %ld, signalled = %s",
                  mValid ? "Yes" : "No", static_cast<long>(mOrder),
                  mSignalled.load() ? "Yes" : "No");
    return text;
}

// --- run loops ---

long __CFRunLoopProcessId() {
    long id = gProcessId.load(std::memory_order_relaxed);
    if (id == 0) {
        ForgetIdsOnFork();
        id = static_cast<long>(getpid());
        gProcessId.store(id, std::memory_order_relaxed);
    }
    return id;
}

long __CFRunLoopThreadId() {
    if (tThreadId == 0) {
        ForgetIdsOnFork();
        tThreadId = static_cast<long>(syscall(SYS_gettid));
    }
    return tThreadId;
}

CFTypeID CFRunLoopGetTypeID(void) {
    return __kCFRunLoopTypeID;
}

CFRunLoopRef CFRunLoopGetMain(void) {
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (gMainLoop == nullptr)
        gMainLoop = new __CFRunLoop;
    // The main thread's id is the process id; after fork it is the child's.
    gMainLoop->mThread = __CFRunLoopProcessId();
    return gMainLoop;
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
    if (CurrentThread() == __CFRunLoopProcessId())
        return CFRunLoopGetMain();
    if (tThreadLoop.loop == nullptr)
        tThreadLoop.loop = new __CFRunLoop;
    return tThreadLoop.loop;
}

CFStringRef CFRunLoopCopyCurrentMode(CFRunLoopRef rl) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    if (loop == nullptr)
        return nullptr;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (loop->mRun == nullptr)
        return nullptr;
    Mode* mode = FindMode(loop, loop->mRun->mode);
    return mode ? static_cast<CFStringRef>(CFRetain(mode->name)) : nullptr;
}

void CFRunLoopAddCommonMode(CFRunLoopRef rl, CFStringRef modeRef) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    std::string name = ModeNameOrComplain(modeRef, __func__);
    if (loop == nullptr || name.empty() || name == kCommonName)
        return;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (IsCommon(loop, name))
        return;
    loop->mCommonModes.push_back(name);
    Mode& mode = GetMode(loop, name, modeRef);
    for (auto* timer : std::vector<__CFRunLoopTimer*>(loop->mCommonItems.timers))
        AddToMode(loop, timer, mode);
    for (auto* source : std::vector<__CFRunLoopSource*>(loop->mCommonItems.sources))
        AddToMode(loop, source, mode);
}

CFAbsoluteTime CFRunLoopGetNextTimerFireDate(CFRunLoopRef rl, CFStringRef modeRef) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    std::string name = ModeNameOrComplain(modeRef, __func__);
    if (loop == nullptr || name.empty())
        return 0;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    Mode* mode = FindMode(loop, name);
    const __CFRunLoopTimer* next = mode ? NextTimer(*mode) : nullptr;
    return next ? next->mFireDate : 0;
}

void CFRunLoopRun(void) {
    SInt32 result;
    do {
        result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1.0e10, false);
    } while (result != kCFRunLoopRunStopped && result != kCFRunLoopRunFinished);
}

SInt32 CFRunLoopRunInMode(CFStringRef modeRef, CFTimeInterval seconds,
                          Boolean returnAfterSourceHandled) {
    std::string name = ModeNameOrComplain(modeRef, __func__);
    if (name.empty() || name == kCommonName)
        return kCFRunLoopRunFinished;
    if (std::isnan(seconds))
        seconds = 0;
    return RunInMode(CFRunLoopGetCurrent(), name, seconds, returnAfterSourceHandled);
}

Boolean CFRunLoopIsWaiting(CFRunLoopRef rl) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    return loop != nullptr && loop->mWaiting.load();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
    if (__CFRunLoop* loop = AsLoop(rl, __func__))
        loop->mWaiter->Wake();
}

void CFRunLoopStop(CFRunLoopRef rl) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    if (loop == nullptr)
        return;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    // Only the innermost run stops; a loop that is not running ignores it.
    if (loop->mRun != nullptr) {
        loop->mRun->stopped = true;
        loop->WakeFromOtherThread();
    }
}

CFIndex __CFRunLoopGetRunDepth(CFRunLoopRef rl) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    if (loop == nullptr)
        return 0;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    CFIndex depth = 0;
    for (const __CFRunLoop::Run* run = loop->mRun; run != nullptr; run = run->outer)
        ++depth;
    return depth;
}

void __CFRunLoopStopRunAtDepth(CFRunLoopRef rl, CFIndex depth) {
    __CFRunLoop* loop = AsLoop(rl, __func__);
    if (loop == nullptr || depth < 1)
        return;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    std::vector<__CFRunLoop::Run*> runs;
    for (__CFRunLoop::Run* run = loop->mRun; run != nullptr; run = run->outer)
        runs.push_back(run);
    if (depth > static_cast<CFIndex>(runs.size()))
        return;
    runs[runs.size() - static_cast<size_t>(depth)]->stopped = true;
    loop->WakeFromOtherThread();
}

// --- timers and sources on run loops ---

namespace {

// The arguments of the add, remove and contains calls, each checked and complained about.
template <typename T> struct ItemInMode {
    __CFRunLoop* loop;
    T* item;
    std::string name;
    CFStringRef nameRef;
    bool Valid() const { return loop != nullptr && item != nullptr && !name.empty(); }
};

ItemInMode<__CFRunLoopTimer> Check(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef modeRef,
                                   const char* function) {
    return {AsLoop(rl, function), AsTimer(timer, function), ModeNameOrComplain(modeRef, function),
            modeRef};
}

ItemInMode<__CFRunLoopSource> Check(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef modeRef,
                                    const char* function) {
    return {AsLoop(rl, function), AsSource(source, function), ModeNameOrComplain(modeRef, function),
            modeRef};
}

// A source may be in several run loops, a timer only in one.
bool MayJoin(__CFRunLoop* loop, __CFRunLoopTimer* timer, const char* function) {
    if (timer->mLoop == nullptr || timer->mLoop == loop)
        return true;
    __CFComplain(function, "a timer that is already in another run loop");
    return false;
}

bool MayJoin(__CFRunLoop*, __CFRunLoopSource*, const char*) {
    return true;
}

template <typename T> Boolean ContainsItem(const ItemInMode<T>& call) {
    if (!call.Valid())
        return false;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    Mode* mode =
        call.name == kCommonName ? &call.loop->mCommonItems : FindMode(call.loop, call.name);
    return mode != nullptr && Contains(Items(*mode, call.item), call.item);
}

template <typename T> void AddItem(const ItemInMode<T>& call, const char* function) {
    if (!call.Valid())
        return;
    __CFRunLoop* loop = call.loop;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (!call.item->mValid || !MayJoin(loop, call.item, function))
        return;
    if (call.name == kCommonName) {
        AddToMode(loop, call.item, loop->mCommonItems);
        for (const auto& common : loop->mCommonModes)
            AddToMode(loop, call.item, loop->mModes[common]);
    } else {
        AddToMode(loop, call.item, GetMode(loop, call.name, call.nameRef));
    }
    loop->WakeFromOtherThread();
}

template <typename T> void RemoveItem(const ItemInMode<T>& call) {
    if (!call.Valid())
        return;
    __CFRunLoop* loop = call.loop;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    Retained<T> keep(call.item);
    if (call.name == kCommonName) {
        if (!Contains(Items(loop->mCommonItems, call.item), call.item))
            return;
        for (const auto& common : loop->mCommonModes)
            RemoveFromMode(loop, call.item, loop->mModes[common]);
        RemoveFromMode(loop, call.item, loop->mCommonItems);
    } else if (Mode* mode = FindMode(loop, call.name)) {
        RemoveFromMode(loop, call.item, *mode);
    }
}

} // namespace

Boolean CFRunLoopContainsTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    return ContainsItem(Check(rl, timer, mode, __func__));
}

void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    AddItem(Check(rl, timer, mode, __func__), __func__);
}

void CFRunLoopRemoveTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFStringRef mode) {
    RemoveItem(Check(rl, timer, mode, __func__));
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    return ContainsItem(Check(rl, source, mode, __func__));
}

void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    AddItem(Check(rl, source, mode, __func__), __func__);
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFStringRef mode) {
    RemoveItem(Check(rl, source, mode, __func__));
}

// --- version-0 sources ---

CFTypeID CFRunLoopSourceGetTypeID(void) {
    return __kCFRunLoopSourceTypeID;
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext* context) {
    if (context == nullptr || context->version != 0) {
        __CFComplain(__func__, "no version-0 context");
        return nullptr;
    }
    auto* source = new __CFRunLoopSource;
    source->mAllocator = allocator;
    source->mOrder = order;
    source->mContext = *context;
    if (context->retain != nullptr)
        source->mContext.info = const_cast<void*>(context->retain(context->info));
    return source;
}

CFIndex CFRunLoopSourceGetOrder(CFRunLoopSourceRef sourceRef) {
    __CFRunLoopSource* source = AsSource(sourceRef, __func__);
    return source ? source->mOrder : 0;
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef sourceRef) {
    __CFRunLoopLocked(AsSource(sourceRef, __func__), [](__CFRunLoopSource* source) {
        if (!source->mValid)
            return;
        source->mValid = false;
        __CFRunLoopSourceRemoveFromAllLoops(source);
    });
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef sourceRef) {
    Boolean valid = false;
    __CFRunLoopLocked(AsSource(sourceRef, __func__),
                      [&](__CFRunLoopSource* source) { valid = source->mValid; });
    return valid;
}

void CFRunLoopSourceGetContext(CFRunLoopSourceRef sourceRef, CFRunLoopSourceContext* context) {
    __CFRunLoopSource* source = AsSource(sourceRef, __func__);
    if (source != nullptr && context != nullptr)
        *context = source->mContext;
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef sourceRef) {
    __CFRunLoopLocked(AsSource(sourceRef, __func__), [](__CFRunLoopSource* source) {
        if (!source->mValid)
            return;
        source->mSignalled = true;
        __CFRunLoopSourceWakeLoops(source);
    });
}

// --- timers ---

CFTypeID CFRunLoopTimerGetTypeID(void) {
    return __kCFRunLoopTimerTypeID;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext* context) {
    auto* timer = new __CFRunLoopTimer;
    timer->mAllocator = allocator;
    // A date that is not a number would never come due nor ever be passed; fire at once.
    SetFireDate(timer, std::isnan(fireDate) ? 0 : fireDate);
    timer->mInterval = std::isfinite(interval) && interval > 0 ? interval : 0;
    timer->mFlags = flags;
    timer->mOrder = order;
    timer->mCallout = callout;
    if (context != nullptr) {
        timer->mContext = *context;
        if (context->retain != nullptr)
            timer->mContext.info = const_cast<void*>(context->retain(context->info));
    }
    return timer;
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef timerRef) {
    CFAbsoluteTime date = 0;
    __CFRunLoopLocked(AsTimer(timerRef, __func__),
                      [&](__CFRunLoopTimer* timer) { date = timer->mFireDate; });
    return date;
}

void CFRunLoopTimerSetNextFireDate(CFRunLoopTimerRef timerRef, CFAbsoluteTime fireDate) {
    __CFRunLoopTimer* timer = AsTimer(timerRef, __func__);
    if (timer == nullptr || std::isnan(fireDate))
        return;
    std::lock_guard<std::recursive_mutex> guard(__CFRunLoopLock());
    if (!timer->mValid)
        return;
    SetFireDate(timer, fireDate);
    if (timer->mFiring)
        timer->mFireDateSetWhileFiring = true;
    if (timer->mLoop != nullptr)
        timer->mLoop->WakeFromOtherThread();
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef timerRef) {
    __CFRunLoopTimer* timer = AsTimer(timerRef, __func__);
    return timer ? timer->mInterval : 0;
}

Boolean CFRunLoopTimerDoesRepeat(CFRunLoopTimerRef timerRef) {
    __CFRunLoopTimer* timer = AsTimer(timerRef, __func__);
    return timer != nullptr && timer->mInterval > 0;
}

CFIndex CFRunLoopTimerGetOrder(CFRunLoopTimerRef timerRef) {
    __CFRunLoopTimer* timer = AsTimer(timerRef, __func__);
    return timer ? timer->mOrder : 0;
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timerRef) {
    __CFRunLoopLocked(AsTimer(timerRef, __func__), InvalidateTimer);
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef timerRef) {
    Boolean valid = false;
    __CFRunLoopLocked(AsTimer(timerRef, __func__),
                      [&](__CFRunLoopTimer* timer) { valid = timer->mValid; });
    return valid;
}

void CFRunLoopTimerGetContext(CFRunLoopTimerRef timerRef, CFRunLoopTimerContext* context) {
    __CFRunLoopTimer* timer = AsTimer(timerRef, __func__);
    if (timer != nullptr && context != nullptr)
        *context = timer->mContext;
}
