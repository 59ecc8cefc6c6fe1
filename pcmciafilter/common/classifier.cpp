// Write-class command recognition over a bare command block.
#include "common/classifier.h"

static const UCHAR OperationXdWriteRead10 = 0x53;
static const UCHAR OperationVariableLength = 0x7F;
static const UCHAR OperationServiceActionOut16 = 0x9F;

// Service actions of the 32-byte variable-length commands.
static const USHORT ActionXdWrite32 = 0x0004;
static const USHORT ActionXpWrite32 = 0x0006;
static const USHORT ActionXdWriteRead32 = 0x0007;
static const USHORT ActionWrite32 = 0x000B;
static const USHORT ActionWriteAndVerify32 = 0x000C;
static const USHORT ActionWriteSame32 = 0x000D;

// DISABLE WRITE: when set, an XDWRITEREAD only reads.
static const UCHAR DisableWriteBit = 0x04;

BOOLEAN IsWriteCommand(const UCHAR* Cdb, USHORT CdbLength) {
    if (CdbLength == 0) {
        return FALSE;
    }

    const UCHAR operationCode = Cdb[0];
    switch (operationCode) {
    case 0x04: // FORMAT UNIT
    case 0x0A: // WRITE (6)
    case 0x2A: // WRITE (10)
    case 0x2C: // ERASE (10)
    case 0x2E: // WRITE AND VERIFY (10)
    case 0xA1: // BLANK; also ATA PASS-THROUGH (12)
    case 0x83: // EXTENDED COPY
    case 0xAA: // WRITE (12)
    case 0x8A: // WRITE (16)
    case 0xAE: // WRITE AND VERIFY (12)
    case 0x8E: // WRITE AND VERIFY (16)
    case 0x8D: // WRITE ATTRIBUTE
    case 0x3B: // WRITE BUFFER
    case 0x3F: // WRITE LONG (10)
    case 0x41: // WRITE SAME (10)
    case 0x93: // WRITE SAME (16)
    case 0x50: // XDWRITE (10)
        return TRUE;
    case OperationXdWriteRead10:
        return (Cdb[1] & DisableWriteBit) ? FALSE : TRUE;
    default:
        break;
    }

    // A 32-byte command names what it does in its service action, a
    // big-endian field in bytes 8 and 9.
    if (CdbLength >= 32 && operationCode == OperationVariableLength) {
        const USHORT serviceAction = (USHORT)((Cdb[8] << 8) | Cdb[9]);
        switch (serviceAction) {
        case ActionWrite32:
        case ActionWriteAndVerify32:
        case ActionWriteSame32:
        case ActionXdWrite32:
        case ActionXpWrite32:
            return TRUE;
        case ActionXdWriteRead32:
            return (Cdb[10] & DisableWriteBit) ? FALSE : TRUE;
        default:
            return FALSE;
        }
    }

    // Every service action of SERVICE ACTION OUT (16) is treated as a write.
    if (CdbLength >= 16 && operationCode == OperationServiceActionOut16) {
        return TRUE;
    }

    return FALSE;
}
