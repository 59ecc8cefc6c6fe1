// The write-command classifier on any command block and any length: it reads
// only the 16 bytes a command-block field holds, answers FALSE for a length
// of 0, and its answer depends on the length only as far as the contract
// says (0, under 16, under 32, 32 and more).  The SRB front end answers as the
// classifier does for the block it carries.

#include <cstring>
#include <memory>

#include "kernel/kernel.h"

#include "common/classifier.h"
#include "common/classifier_srb.h"
#include "fuzz/fuzz_support.h"

namespace {

USHORT LengthClass(USHORT length) {
    if (length == 0) {
        return 0;
    }
    if (length < 16) {
        return 1;
    }
    return length < 32 ? 16 : 32;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const USHORT length = input.U16();
    std::vector<uint8_t> bytes = input.Bytes(64);

    // Exactly 16 readable bytes, as in an SRB or a pass-through header.
    std::unique_ptr<UCHAR[]> cdb(new UCHAR[16]);
    memset(cdb.get(), 0, 16);
    if (!bytes.empty()) {
        memcpy(cdb.get(), bytes.data(), bytes.size() < 16 ? bytes.size() : 16);
    }

    const BOOLEAN write = IsWriteCommand(cdb.get(), length);
    fuzz::Require(length != 0 || !write, "a length of 0 is never a write");
    fuzz::Require(IsWriteCommand(cdb.get(), LengthClass(length)) == write,
                  "the answer depends on the length only through 0, 16 and 32");

    std::unique_ptr<SCSI_REQUEST_BLOCK> srb(new SCSI_REQUEST_BLOCK());
    srb->Length = static_cast<USHORT>(length % 2 == 0 ? sizeof(SCSI_REQUEST_BLOCK) : 0);
    srb->CdbLength = static_cast<UCHAR>(length);
    memcpy(srb->Cdb, cdb.get(), sizeof(srb->Cdb));
    const BOOLEAN srbWrite = IsSrbWrite(srb.get());
    fuzz::Require(srbWrite == (srb->Length != 0 && IsWriteCommand(srb->Cdb, srb->CdbLength)),
                  "an SRB is a write exactly when its command block is");
    fuzz::Require(!IsSrbWrite(nullptr), "no SRB is no write");
    return 0;
}
