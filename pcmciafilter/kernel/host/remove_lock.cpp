// Remove locks with the documented semantics, tracked by tag as the platform's
// checked remove locks are.
//
// IoCount starts at 1 (the bias that release-and-wait drops); an acquire after
// release-and-wait began is refused with STATUS_DELETE_PENDING; release-and-
// wait blocks until every other holder has released.  The verifier checks
// releases against acquisitions tag by tag.

#include <algorithm>
#include <map>
#include <set>

#include "kernel/host/host_internal.h"

namespace hk {

namespace {

struct Tracking {
    ULONG tag = 0;
    std::multiset<PVOID> holders;
    std::multiset<PVOID> refused; // tags whose acquire was refused
    std::string owner;
};

// All state lives under the dispatcher lock, so that release-and-wait can
// block on it.
std::map<PIO_REMOVE_LOCK, Tracking> gLocks;

std::string Where() {
    PDRIVER_OBJECT driver = detail::CurrentDriver();
    return driver == nullptr ? std::string() : " (in " + detail::DriverName(driver) + ")";
}

Tracking* Find(PIO_REMOVE_LOCK lock) {
    auto it = gLocks.find(lock);
    return it == gLocks.end() ? nullptr : &it->second;
}

// Drops one holder with this tag; caller holds the dispatcher lock.
bool ReleaseTag(PIO_REMOVE_LOCK lock, Tracking& tracking, PVOID tag, const char* service) {
    auto held = tracking.holders.find(tag);
    if (held == tracking.holders.end()) {
        auto refused = tracking.refused.find(tag);
        if (refused != tracking.refused.end()) {
            tracking.refused.erase(refused);
            detail::Violate("remove-lock-release-after-refusal",
                            std::string(service) + " for a tag whose acquire was refused: the " +
                                "request went on although removal had begun" + Where());
        } else if (tracking.holders.empty()) {
            detail::Violate("remove-lock-release-without-acquire",
                            std::string(service) + " with nothing acquired" + Where());
        } else {
            detail::Violate("remove-lock-tag-mismatch",
                            std::string(service) + " with a tag that holds no acquisition (" +
                                std::to_string(tracking.holders.size()) +
                                " held under other tags)" + Where());
        }
        return false;
    }
    tracking.holders.erase(held);
    lock->Common.IoCount--;
    return true;
}

} // namespace

namespace detail {

void ForgetRemoveLocksIn(const void* begin, const void* end, const std::string& device) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    for (auto it = gLocks.begin(); it != gLocks.end();) {
        const void* address = it->first;
        if (address >= begin && address < end) {
            if (!it->second.holders.empty()) {
                Violate("remove-lock-holders-at-delete",
                        device + " deleted while its remove lock has " +
                            std::to_string(it->second.holders.size()) + " holder(s)");
            }
            it = gLocks.erase(it);
        } else {
            ++it;
        }
    }
}

void AppendRemoveLockLeaks(std::vector<std::string>& out) {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    for (const auto& entry : gLocks) {
        if (!entry.second.holders.empty()) {
            out.push_back("remove lock of " + entry.second.owner + " has " +
                          std::to_string(entry.second.holders.size()) +
                          " holder(s) never released");
        }
    }
}

void ResetRemoveLocks() {
    std::lock_guard<std::mutex> guard(DispatcherLock());
    gLocks.clear();
}

} // namespace detail
} // namespace hk

using hk::detail::Violate;

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                              ULONG HighWatermark, ULONG RemlockSize) {
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    hk::detail::RequireIrql(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    if (RemlockSize != sizeof(IO_REMOVE_LOCK)) {
        Violate("remove-lock-size", "IoInitializeRemoveLock with a size that is no remove lock");
    }
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    std::lock_guard<std::mutex> guard(hk::detail::DispatcherLock());
    hk::Tracking* old = hk::Find(Lock);
    if (old != nullptr && !old->holders.empty()) {
        Violate("remove-lock-reinitialized",
                "a remove lock initialised again while held" + hk::Where());
    }
    hk::Tracking& tracking = hk::gLocks[Lock];
    tracking = hk::Tracking{};
    tracking.tag = AllocateTag;
    PDRIVER_OBJECT driver = hk::detail::CurrentDriver();
    tracking.owner = driver == nullptr ? "the host" : hk::detail::DriverName(driver);
    Lock->Common.Removed = FALSE;
    Lock->Common.IoCount = 1;
    Lock->Tracking = &tracking;
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
    (void)File;
    (void)Line;
    (void)RemlockSize;
    hk::detail::RequireIrql(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    std::lock_guard<std::mutex> guard(hk::detail::DispatcherLock());
    hk::Tracking* tracking = hk::Find(RemoveLock);
    if (tracking == nullptr) {
        Violate("remove-lock-uninitialized", "IoAcquireRemoveLock on a remove lock that was never "
                                             "initialised (or whose device was deleted)" +
                                                 hk::Where());
        return STATUS_DELETE_PENDING;
    }
    if (RemoveLock->Common.Removed) {
        tracking->refused.insert(Tag);
        return STATUS_DELETE_PENDING;
    }
    RemoveLock->Common.IoCount++;
    tracking->holders.insert(Tag);
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    hk::detail::RequireIrql(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    std::lock_guard<std::mutex> guard(hk::detail::DispatcherLock());
    hk::Tracking* tracking = hk::Find(RemoveLock);
    if (tracking == nullptr) {
        Violate("remove-lock-uninitialized",
                "IoReleaseRemoveLock on a remove lock that was never initialised (or whose "
                "device was deleted)" +
                    hk::Where());
        return;
    }
    if (hk::ReleaseTag(RemoveLock, *tracking, Tag, "IoReleaseRemoveLock") &&
        RemoveLock->Common.IoCount == 0) {
        RemoveLock->Common.RemoveEvent.Header.SignalState = 1;
        hk::detail::DispatcherNotifyAll();
    }
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    (void)RemlockSize;
    hk::detail::RequireIrql(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    const hk::detail::Frame* frame = hk::detail::InnermostDispatchFrame();
    PIO_STACK_LOCATION stack = frame != nullptr && frame->irp != nullptr
                                   ? IoGetCurrentIrpStackLocation(frame->irp)
                                   : nullptr;
    if (stack == nullptr || stack->MajorFunction != IRP_MJ_PNP ||
        stack->MinorFunction != IRP_MN_REMOVE_DEVICE) {
        Violate("remove-lock-wait-outside-remove",
                "IoReleaseRemoveLockAndWait outside the dispatch of IRP_MN_REMOVE_DEVICE" +
                    hk::Where());
    }
    std::unique_lock<std::mutex> lock(hk::detail::DispatcherLock());
    hk::Tracking* tracking = hk::Find(RemoveLock);
    if (tracking == nullptr) {
        Violate("remove-lock-uninitialized",
                "IoReleaseRemoveLockAndWait on a remove lock that was never initialised" +
                    hk::Where());
        return;
    }
    RemoveLock->Common.Removed = TRUE;
    hk::ReleaseTag(RemoveLock, *tracking, Tag, "IoReleaseRemoveLockAndWait");
    RemoveLock->Common.IoCount--; // the bias
    std::string what = "IoReleaseRemoveLockAndWait of " + tracking->owner;
    hk::detail::DispatcherWait(
        lock, [RemoveLock]() { return RemoveLock->Common.IoCount <= 0; }, what);
}
