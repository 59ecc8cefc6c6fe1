// Recognition of SCSI commands that would change the medium.
//
// The set of write-class commands is closed: the writing, formatting, erasing
// and copying commands of the block, primary and multimedia command sets that
// a read-only medium must refuse.  Everything else is let through.
#pragma once
#include "common/nt_types.h"

// Answers whether the command block Cdb is a write-class command.
//
// CdbLength is the length the sender gave; it is only compared with 0, 16 and
// 32 to decide which bytes may be looked at, never with the size the
// operation code implies.  Cdb must point at no fewer than 16 readable bytes
// whatever CdbLength says (the Cdb field of an SRB and of a pass-through
// header both qualify).  A length of 0 answers FALSE without reading a byte.
//
// Pure function: no state, no lock, callable at any IRQL up to DISPATCH_LEVEL.
BOOLEAN IsWriteCommand(const UCHAR* Cdb, USHORT CdbLength);
