// Write-class command recognition for a SCSI request block.  Built with the
// driver, as it needs the kernel's SCSI_REQUEST_BLOCK.
#include "kernel/kernel.h"
#include "common/classifier.h"
#include "common/classifier_srb.h"

BOOLEAN IsSrbWrite(const SCSI_REQUEST_BLOCK* Srb) {
    if (Srb == NULL || Srb->Length == 0) {
        return FALSE;
    }
    return IsWriteCommand(Srb->Cdb, (USHORT)Srb->CdbLength);
}
