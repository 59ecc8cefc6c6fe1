// Write-class command recognition for a SCSI request block.
//
// The includer must have the kernel's types in scope (include
// "kernel/kernel.h" first): SCSI_REQUEST_BLOCK is a kernel structure.
#pragma once
#include "common/nt_types.h"

// Answers whether the command block of Srb is a write-class command, as
// IsWriteCommand does for its Cdb and CdbLength.  A NULL Srb, or one whose
// Length the sender left at 0, is not a write and its command block is not
// read.  Only Length, CdbLength and Cdb are read; Function is not looked at.
//
// Pure function: no state, no lock, callable at any IRQL up to DISPATCH_LEVEL.
BOOLEAN IsSrbWrite(const SCSI_REQUEST_BLOCK* Srb);
