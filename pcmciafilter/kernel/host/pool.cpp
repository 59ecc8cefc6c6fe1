// Non-paged and paged pool: every block tracked with its tag, size and owner,
// guard bytes on both sides, fault injection.
//
// New blocks are filled with a pattern rather than zeros, as pool memory is not
// cleared on the platform, so code that relies on zeroed pool shows it.  Freed
// blocks go back to the host allocator: under ASan a later touch stops the
// program with both stacks.

#include <cstdlib>
#include <deque>
#include <map>
#include <set>

#include "kernel/host/host_internal.h"

namespace hk {

namespace {

constexpr size_t kGuard = 16;
constexpr UCHAR kGuardByte = 0xFA;
constexpr UCHAR kFreshByte = 0xCD;
constexpr ULONG kProtectedTagBit = 0x80000000u;

struct Block {
    size_t size;
    ULONG tag;
    std::string owner;
    bool poisoned;
};

std::mutex gPoolLock;
std::map<UCHAR*, Block> gBlocks; // by the address handed out
std::set<UCHAR*> gFreed;         // recently freed addresses, for double frees
std::deque<UCHAR*> gFreedOrder;
uint64_t gAllocations = 0;
uint64_t gFailAt = 0; // allocation number that fails, 0 for none
std::multiset<ULONG> gFailTags;

std::string Describe(const UCHAR* address, const Block& block) {
    return "pool block " + detail::Hex(reinterpret_cast<uintptr_t>(address)) + " of " +
           std::to_string(block.size) + " bytes, tag '" + TagText(block.tag) + "', allocated by " +
           block.owner;
}

bool GuardIntact(const UCHAR* guard) {
    for (size_t i = 0; i < kGuard; ++i) {
        if (guard[i] != kGuardByte) {
            return false;
        }
    }
    return true;
}

// Checks and releases one block; the caller holds gPoolLock.
void ReleaseBlock(UCHAR* address, const Block& block) {
    UCHAR* base = address - kGuard;
    if (block.poisoned) {
        PCMF_UNPOISON(base, kGuard);
        PCMF_UNPOISON(address + block.size, kGuard);
    }
    if (!GuardIntact(base)) {
        detail::Violate("pool-underrun",
                        "bytes before the start were written: " + Describe(address, block));
    }
    if (!GuardIntact(address + block.size)) {
        detail::Violate("pool-overrun",
                        "bytes past the end were written: " + Describe(address, block));
    }
    std::free(base);
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    detail::RequireIrql(type == NonPagedPool ? DISPATCH_LEVEL : APC_LEVEL, "ExAllocatePoolWithTag");
    PDRIVER_OBJECT driver = detail::CurrentDriver();
    std::string owner = driver == nullptr ? "host" : detail::DriverName(driver);
    std::lock_guard<std::mutex> guard(gPoolLock);
    ++gAllocations;
    if (bytes == 0) {
        detail::Violate("pool-zero-size",
                        "a zero-byte allocation with tag '" + TagText(tag) + "' by " + owner);
    }
    if (gFailAt != 0 && gAllocations == gFailAt) {
        gFailAt = 0;
        return nullptr;
    }
    auto failTag = gFailTags.find(tag);
    if (failTag != gFailTags.end()) {
        gFailTags.erase(failTag);
        return nullptr;
    }
    size_t size = bytes == 0 ? 1 : bytes;
    UCHAR* base = static_cast<UCHAR*>(std::malloc(size + 2 * kGuard));
    if (base == nullptr) {
        return nullptr;
    }
    UCHAR* address = base + kGuard;
    memset(base, kGuardByte, kGuard);
    memset(address, kFreshByte, size);
    memset(address + size, kGuardByte, kGuard);
    bool poison = detail::AsanTraps();
    if (poison) {
        PCMF_POISON(base, kGuard);
        PCMF_POISON(address + size, kGuard);
    }
    gBlocks[address] = Block{size, tag, owner, poison};
    if (gFreed.erase(address) != 0) {
        // The address was reused; it is no longer a candidate for a double free.
    }
    return address;
}

void Free(PVOID pointer, ULONG tag, bool tagGiven) {
    detail::RequireIrql(DISPATCH_LEVEL, "ExFreePoolWithTag");
    PDRIVER_OBJECT driver = detail::CurrentDriver();
    std::string who = driver == nullptr ? "host" : detail::DriverName(driver);
    UCHAR* address = static_cast<UCHAR*>(pointer);
    std::lock_guard<std::mutex> guard(gPoolLock);
    if (address == nullptr) {
        detail::Violate("pool-free-null", "a NULL pointer freed by " + who);
        return;
    }
    auto it = gBlocks.find(address);
    if (it == gBlocks.end()) {
        if (detail::IsLiveIrp(address)) {
            detail::Violate("irp-freed-with-pool", "a request freed with ExFreePool by " + who +
                                                       "; requests are freed "
                                                       "with IoFreeIrp");
        } else if (gFreed.count(address) != 0) {
            detail::Violate(
                "pool-double-free",
                "a block freed twice: " + detail::Hex(reinterpret_cast<uintptr_t>(address)) +
                    ", second free by " + who);
        } else {
            detail::Violate("pool-free-unknown",
                            "freed memory that pool never handed out: " +
                                detail::Hex(reinterpret_cast<uintptr_t>(address)) + ", by " + who);
        }
        return;
    }
    Block block = it->second;
    if (tagGiven && tag != 0 && (tag & ~kProtectedTagBit) != (block.tag & ~kProtectedTagBit)) {
        detail::Violate("pool-free-wrong-tag", "freed with tag '" + TagText(tag) + "' by " + who +
                                                   ": " + Describe(address, block));
    }
    gBlocks.erase(it);
    ReleaseBlock(address, block);
    gFreed.insert(address);
    gFreedOrder.push_back(address);
    if (gFreedOrder.size() > 65536) {
        gFreed.erase(gFreedOrder.front());
        gFreedOrder.pop_front();
    }
}

} // namespace

namespace detail {

void ResetPool() {
    std::lock_guard<std::mutex> guard(gPoolLock);
    for (auto& entry : gBlocks) {
        UCHAR* base = entry.first - kGuard;
        if (entry.second.poisoned) {
            PCMF_UNPOISON(base, kGuard);
            PCMF_UNPOISON(entry.first + entry.second.size, kGuard);
        }
        std::free(base);
    }
    gBlocks.clear();
    gFreed.clear();
    gFreedOrder.clear();
    gAllocations = 0;
    gFailAt = 0;
    gFailTags.clear();
}

void AppendPoolLeaks(std::vector<std::string>& out) {
    std::lock_guard<std::mutex> guard(gPoolLock);
    for (const auto& entry : gBlocks) {
        out.push_back("never freed: " + Describe(entry.first, entry.second));
    }
}

} // namespace detail

std::vector<PoolBlock> OutstandingPool() {
    std::lock_guard<std::mutex> guard(gPoolLock);
    std::vector<PoolBlock> out;
    for (const auto& entry : gBlocks) {
        out.push_back(
            PoolBlock{entry.first, entry.second.size, entry.second.tag, entry.second.owner});
    }
    return out;
}

uint64_t AllocationCount() {
    std::lock_guard<std::mutex> guard(gPoolLock);
    return gAllocations;
}

void FailNthAllocation(uint64_t n) {
    std::lock_guard<std::mutex> guard(gPoolLock);
    gFailAt = n == 0 ? 0 : gAllocations + n;
}

void FailNextAllocationWithTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(gPoolLock);
    gFailTags.insert(tag);
}

ULONG TagFromText(const std::string& text) {
    ULONG tag = 0;
    for (size_t i = 0; i < 4 && i < text.size(); ++i) {
        tag |= static_cast<ULONG>(static_cast<UCHAR>(text[i])) << (8 * i);
    }
    return tag;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        UCHAR c = static_cast<UCHAR>(tag >> (8 * i));
        if (c == 0) {
            text += "\\0";
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            text += '?';
        }
    }
    return text;
}

} // namespace hk

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return hk::Allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    // Untagged allocations carry the platform's default tag "None".
    return hk::Allocate(PoolType, NumberOfBytes, hk::TagFromText("None"));
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    hk::Free(P, Tag, true);
}

VOID ExFreePool(PVOID P) {
    hk::Free(P, 0, false);
}
