// Benchmarks, each measured against an anchor in the same run:
//  - the storage child filter's SCSI path (a read passed on, a write
//    swallowed) against a bare pass-through filter in the same host kernel;
//  - IsWriteCommand against a 256-entry lookup table over the operation code;
//  - HmacSha1 over a setting-sized message and SHA-1 over 1 MiB against
//    OpenSSL;
//  - a bus-relations pass with 1, 16 and 128 children in each mode, and the
//    ejection filter with 128 bus filters of 128 records each, against a bare
//    pass-through filter handing up the same list.
// Anchors are named "Anchor..." so that docs/performance.md can pair them.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <memory>
#include <random>

#include "common/classifier.h"
#include "common/sha1.h"
#include "fuzz/fuzz_support.h"
#include "sys/driver.h"

namespace {

// ---------------------------------------------------------------------------
// A small world on the host kernel: the driver, a fake bus driver, its cards.

NTSTATUS CardRequest(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_SCSI && stack->Parameters.Scsi.Srb != nullptr) {
        stack->Parameters.Scsi.Srb->SrbStatus = SRB_STATUS_SUCCESS;
    }
    if (stack->MajorFunction == IRP_MJ_PNP) {
        if (stack->MinorFunction == IRP_MN_QUERY_ID) {
            return fuzz::Complete(irp, STATUS_SUCCESS,
                                  reinterpret_cast<ULONG_PTR>(fuzz::NewMultiString({u"GenDisk"})));
        }
        return fuzz::Complete(irp, stack->MinorFunction == IRP_MN_REMOVE_DEVICE
                                       ? STATUS_SUCCESS
                                       : irp->IoStatus.Status);
    }
    return fuzz::Complete(irp, STATUS_SUCCESS);
}

// The bare pass-through filter: what any filter must do at the least.
NTSTATUS PassThrough(PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(hk::LowerOf(device), irp);
}

struct World {
    PDRIVER_OBJECT driver = nullptr;
    PDRIVER_OBJECT pcmcia = nullptr;
    PDRIVER_OBJECT bare = nullptr;
    std::vector<PDEVICE_OBJECT> fakes;

    World() {
        hk::Reset();
        driver = fuzz::LoadFilterDriver();
        pcmcia = fuzz::LoadFakeDriver("pcmcia");
        bare = fuzz::LoadFakeDriver("bare filter");
    }
    ~World() {
        fuzz::RemoveFilterDevices(driver);
        for (auto it = fakes.rbegin(); it != fakes.rend(); ++it) {
            fuzz::DestroyFakeDevice(*it);
        }
        hk::UnloadDriver(bare);
        hk::UnloadDriver(pcmcia);
        hk::UnloadDriver(driver);
        hk::DrainWork();
        fuzz::Require(hk::CheckClean().empty(),
                      "the benchmark's machine is clean: " + hk::CheckClean());
        fuzz::ForgetFakeDevices();
        hk::Reset();
    }

    PDEVICE_OBJECT Card() {
        fakes.push_back(fuzz::CreateFakeDevice(pcmcia, "card", &CardRequest));
        return fakes.back();
    }

    PDEVICE_OBJECT BareFilterOver(PDEVICE_OBJECT below) {
        PDEVICE_OBJECT device = fuzz::CreateFakeDevice(bare, "bare filter", &PassThrough);
        IoAttachDeviceToDeviceStack(device, below);
        fakes.push_back(device);
        return device;
    }

    // A bus answering every relations query with `children`, and the
    // driver's bus filter over it.
    PDEVICE_OBJECT Bus(const std::vector<PDEVICE_OBJECT>* children) {
        PDEVICE_OBJECT pdo =
            fuzz::CreateFakeDevice(pcmcia, "bus", [children](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
                if (stack->MajorFunction == IRP_MJ_PNP &&
                    stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS) {
                    return fuzz::Complete(
                        irp, STATUS_SUCCESS,
                        reinterpret_cast<ULONG_PTR>(fuzz::NewRelationList(*children)));
                }
                return fuzz::Complete(irp, stack->MinorFunction == IRP_MN_QUERY_ID
                                               ? irp->IoStatus.Status
                                               : STATUS_SUCCESS);
            });
        fakes.push_back(pdo);
        return pdo;
    }

    PDEVICE_OBJECT BusFilterOver(PDEVICE_OBJECT pdo) {
        fuzz::Require(hk::CallAddDevice(driver, pdo) == STATUS_SUCCESS, "bus filter added");
        return pdo->AttachedDevice;
    }
};

void SendScsi(benchmark::State& state, PDEVICE_OBJECT top, UCHAR opcode) {
    SCSI_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.CdbLength = 10;
    srb.Cdb[0] = opcode;
    hk::IrpSpec spec;
    spec.major = IRP_MJ_SCSI;
    spec.parameters = [&srb](PIO_STACK_LOCATION stack) { stack->Parameters.Scsi.Srb = &srb; };
    for (auto _ : state) {
        hk::IoResult result = hk::SendIrp(top, spec);
        benchmark::DoNotOptimize(result.status);
    }
}

// ---------------------------------------------------------------------------
// The SCSI path.

void AnchorScsiBarePassThrough(benchmark::State& state) {
    World world;
    PDEVICE_OBJECT filter = world.BareFilterOver(world.Card());
    SendScsi(state, filter, 0x28);
}
BENCHMARK(AnchorScsiBarePassThrough);

void ScsiStorageFilter(benchmark::State& state, UCHAR opcode) {
    World world;
    PDEVICE_OBJECT card = world.Card();
    PDEVICE_OBJECT busFilter = world.BusFilterOver(world.Bus(nullptr));
    fuzz::Require(CreateChildFilter(busFilter, card, TRUE) == STATUS_SUCCESS, "child filter");
    DriverState.ReadOnlyActive = TRUE;
    SendScsi(state, card->AttachedDevice, opcode);
}
void ScsiStorageFilterReadPassedOn(benchmark::State& state) {
    ScsiStorageFilter(state, 0x28);
}
void ScsiStorageFilterWriteSwallowed(benchmark::State& state) {
    ScsiStorageFilter(state, 0x2A);
}
BENCHMARK(ScsiStorageFilterReadPassedOn);
BENCHMARK(ScsiStorageFilterWriteSwallowed);

// ---------------------------------------------------------------------------
// The classifier.

std::vector<std::vector<UCHAR>> CommandBlocks() {
    std::mt19937 random(7);
    std::vector<std::vector<UCHAR>> blocks(4096, std::vector<UCHAR>(16, 0));
    for (auto& block : blocks) {
        for (UCHAR& byte : block) {
            byte = static_cast<UCHAR>(random());
        }
    }
    return blocks;
}

void AnchorClassifierLookupTable(benchmark::State& state) {
    bool table[256];
    UCHAR probe[16] = {};
    for (int opcode = 0; opcode < 256; ++opcode) {
        probe[0] = static_cast<UCHAR>(opcode);
        table[opcode] = IsWriteCommand(probe, 10) != 0;
    }
    std::vector<std::vector<UCHAR>> blocks = CommandBlocks();
    for (auto _ : state) {
        int writes = 0;
        for (const auto& block : blocks) {
            writes += table[block[0]];
        }
        benchmark::DoNotOptimize(writes);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(blocks.size()));
}
BENCHMARK(AnchorClassifierLookupTable);

void ClassifierIsWriteCommand(benchmark::State& state) {
    std::vector<std::vector<UCHAR>> blocks = CommandBlocks();
    for (auto _ : state) {
        int writes = 0;
        for (const auto& block : blocks) {
            writes += IsWriteCommand(block.data(), 10);
        }
        benchmark::DoNotOptimize(writes);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(blocks.size()));
}
BENCHMARK(ClassifierIsWriteCommand);

// ---------------------------------------------------------------------------
// SHA-1 and HMAC-SHA1.

// A setting's signed message: "ALLBLOCK" and a salt of three digits, UTF-16LE.
const UCHAR kMessage[] = {'A', 0,   'L', 0,   'L', 0,   'B', 0,   'L', 0,   'O',
                          0,   'C', 0,   'K', 0,   '7', 0,   '3', 0,   '1', 0};
const UCHAR kKey[] = {0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b,
                      0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b, 0x0b};

void AnchorHmacSha1OpenSsl(benchmark::State& state) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        HMAC(EVP_sha1(), kKey, sizeof(kKey), kMessage, sizeof(kMessage), mac, &length);
        benchmark::DoNotOptimize(mac);
    }
}
BENCHMARK(AnchorHmacSha1OpenSsl);

void HmacSha1SettingMessage(benchmark::State& state) {
    UCHAR mac[SHA1_DIGEST_SIZE];
    for (auto _ : state) {
        HmacSha1(kKey, sizeof(kKey), kMessage, sizeof(kMessage), mac, sizeof(mac));
        benchmark::DoNotOptimize(mac);
    }
}
BENCHMARK(HmacSha1SettingMessage);

const std::vector<UCHAR>& Mebibyte() {
    static const std::vector<UCHAR> data = [] {
        std::vector<UCHAR> bytes(1 << 20);
        std::mt19937 random(11);
        for (UCHAR& byte : bytes) {
            byte = static_cast<UCHAR>(random());
        }
        return bytes;
    }();
    return data;
}

void AnchorSha1MebibyteOpenSsl(benchmark::State& state) {
    const std::vector<UCHAR>& data = Mebibyte();
    unsigned char digest[EVP_MAX_MD_SIZE];
    for (auto _ : state) {
        EVP_Digest(data.data(), data.size(), digest, nullptr, EVP_sha1(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(AnchorSha1MebibyteOpenSsl);

void Sha1Mebibyte(benchmark::State& state) {
    const std::vector<UCHAR>& data = Mebibyte();
    UCHAR digest[SHA1_DIGEST_SIZE];
    for (auto _ : state) {
        SHA1_CONTEXT context;
        Sha1Reset(&context);
        Sha1Input(&context, data.data(), static_cast<ULONG>(data.size()));
        Sha1Result(&context, digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
}
BENCHMARK(Sha1Mebibyte);

// ---------------------------------------------------------------------------
// Relations and ejection passes.

// Relations queries in a loop; one untimed query first, so that the child
// filters a first pass creates exist before the clock runs.
void Query(benchmark::State& state, PDEVICE_OBJECT filter, DEVICE_RELATION_TYPE type) {
    hk::IrpSpec spec = fuzz::PnpSpec(IRP_MN_QUERY_DEVICE_RELATIONS);
    spec.parameters = [type](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryDeviceRelations.Type = type;
    };
    fuzz::TakeRelationList(hk::SendIrp(filter, spec).information);
    hk::TakeInvalidations();
    for (auto _ : state) {
        hk::IoResult result = hk::SendIrp(filter, spec);
        fuzz::TakeRelationList(result.information);
        hk::TakeInvalidations();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The same list handed up by a filter that only passes it on.
void AnchorRelationsBarePassThrough(benchmark::State& state) {
    World world;
    std::vector<PDEVICE_OBJECT> children;
    for (int64_t i = 0; i < state.range(0); ++i) {
        children.push_back(world.Card());
    }
    PDEVICE_OBJECT filter = world.BareFilterOver(world.Bus(&children));
    Query(state, filter, BusRelations);
}
BENCHMARK(AnchorRelationsBarePassThrough)->Arg(1)->Arg(16)->Arg(128);

// Mode: 0 no block mode (every child kept, asked for its IDs, filtered once),
// 1 "ALLBLOCK" (every child hidden), 2 "ALLBLOCK" with enforcement suspended.
void RelationsPass(benchmark::State& state, int mode) {
    World world;
    std::vector<PDEVICE_OBJECT> children;
    for (int64_t i = 0; i < state.range(0); ++i) {
        children.push_back(world.Card());
    }
    PDEVICE_OBJECT filter = world.BusFilterOver(world.Bus(&children));
    DriverState.BlockMode = mode == 0 ? BlockModeNone : BlockModeAllBlock;
    DriverState.EnforcementSuspended = mode == 2;
    Query(state, filter, BusRelations);
}
void RelationsPassKeep(benchmark::State& state) {
    RelationsPass(state, 0);
}
void RelationsPassAllBlock(benchmark::State& state) {
    RelationsPass(state, 1);
}
void RelationsPassSuspended(benchmark::State& state) {
    RelationsPass(state, 2);
}
BENCHMARK(RelationsPassKeep)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK(RelationsPassAllBlock)->Arg(1)->Arg(16)->Arg(128);
BENCHMARK(RelationsPassSuspended)->Arg(1)->Arg(16)->Arg(128);

// 128 bus filters with 128 hidden children recorded each; the ejection list
// names 128 devices that no filter recorded, so that every entry is compared
// with every record (the longest the filter can take).
void EjectionSetup(World& world, std::vector<std::vector<PDEVICE_OBJECT>>& children,
                   std::vector<PDEVICE_OBJECT>& foreign, PDEVICE_OBJECT* first) {
    DriverState.BlockMode = BlockModeAllBlock;
    children.resize(FILTER_REGISTRY_CAPACITY);
    for (auto& list : children) {
        for (int i = 0; i < CHILD_LIST_CAPACITY; ++i) {
            list.push_back(world.Card());
        }
        PDEVICE_OBJECT filter = world.BusFilterOver(world.Bus(&list));
        // Each new bus filter loads the settings, which holds none here.
        DriverState.BlockMode = BlockModeAllBlock;
        hk::IrpSpec spec = fuzz::PnpSpec(IRP_MN_QUERY_DEVICE_RELATIONS);
        spec.parameters = [](PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceRelations.Type = BusRelations;
        };
        fuzz::TakeRelationList(hk::SendIrp(filter, spec).information);
        if (*first == nullptr) {
            *first = filter;
        }
    }
    for (int i = 0; i < CHILD_LIST_CAPACITY; ++i) {
        foreign.push_back(world.Card());
    }
}

void AnchorEjectionBarePassThrough(benchmark::State& state) {
    World world;
    std::vector<PDEVICE_OBJECT> foreign;
    for (int i = 0; i < CHILD_LIST_CAPACITY; ++i) {
        foreign.push_back(world.Card());
    }
    PDEVICE_OBJECT filter = world.BareFilterOver(world.Bus(&foreign));
    Query(state, filter, EjectionRelations);
}
BENCHMARK(AnchorEjectionBarePassThrough)->Arg(128)->Unit(benchmark::kMicrosecond);

void EjectionFilter128x128(benchmark::State& state) {
    World world;
    std::vector<std::vector<PDEVICE_OBJECT>> children;
    std::vector<PDEVICE_OBJECT> foreign;
    PDEVICE_OBJECT first = nullptr;
    EjectionSetup(world, children, foreign, &first);
    for (ULONG i = 0; i < DriverState.FilterCount; ++i) {
        const auto* extension =
            static_cast<const FILTER_EXTENSION*>(DriverState.FilterDevices[i]->DeviceExtension);
        fuzz::Require(extension->ChildCount == CHILD_LIST_CAPACITY, "every bus filter is full");
    }
    // The first bus now answers with the foreign devices.
    children[0] = foreign;
    Query(state, first, EjectionRelations);
}
BENCHMARK(EjectionFilter128x128)->Arg(128)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
