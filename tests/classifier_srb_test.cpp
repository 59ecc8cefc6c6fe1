// Tests of the write-class classifier's front end for SCSI request blocks.
#include "kernel/kernel.h"
#include "common/classifier_srb.h"

#include <gtest/gtest.h>

namespace {

SCSI_REQUEST_BLOCK Write10Srb(USHORT Length, UCHAR Function) {
    SCSI_REQUEST_BLOCK srb = {};
    srb.Length = Length;
    srb.Function = Function;
    srb.CdbLength = 10;
    srb.Cdb[0] = 0x2A; // WRITE (10)
    return srb;
}

TEST(SrbClassifier, NullIsNotAWrite) {
    EXPECT_EQ(FALSE, IsSrbWrite(nullptr));
}

// The command block of a request whose sender left Length at 0 is not
// trusted, and the request is not taken for a write.
TEST(SrbClassifier, ZeroLengthIsNotAWrite) {
    const SCSI_REQUEST_BLOCK srb = Write10Srb(0, SRB_FUNCTION_EXECUTE_SCSI);
    EXPECT_EQ(FALSE, IsSrbWrite(&srb));
}

// The command block decides, whatever the request's function.
TEST(SrbClassifier, CommandBlockDecidesWhateverTheFunction) {
    for (UCHAR function : {UCHAR(SRB_FUNCTION_EXECUTE_SCSI), UCHAR(SRB_FUNCTION_FLUSH)}) {
        SCSI_REQUEST_BLOCK srb = Write10Srb(64, function);
        EXPECT_EQ(TRUE, IsSrbWrite(&srb)) << "function " << int(function);

        // READ (10) in the same request is not a write.
        srb.Cdb[0] = 0x28;
        EXPECT_EQ(FALSE, IsSrbWrite(&srb)) << "function " << int(function);
    }
}

// The SRB's 8-bit CdbLength reaches the classifier: a 32-byte WRITE (32).
TEST(SrbClassifier, VariableLengthCommandUsesCdbLength) {
    SCSI_REQUEST_BLOCK srb = Write10Srb(sizeof(SCSI_REQUEST_BLOCK), SRB_FUNCTION_EXECUTE_SCSI);
    srb.Cdb[0] = 0x7F;
    srb.Cdb[9] = 0x0B; // service action WRITE (32)
    srb.CdbLength = 32;
    EXPECT_EQ(TRUE, IsSrbWrite(&srb));
    srb.CdbLength = 16;
    EXPECT_EQ(FALSE, IsSrbWrite(&srb));
}

} // namespace
