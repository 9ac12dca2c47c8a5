/*
 * MappingLock and the data path's owner. MappingLock is dropped around every
 * GetMapping and ReleaseMapping call, so a flag under the lock marks the one
 * caller that owns the queues: Service and MappingAvailable arriving
 * meanwhile leave their work to the owner, SetState waits for it at passive
 * level.
 */
#include <zatplatform.h>
#include "wave/stream.h"

void CMiniportWavePciStreamZATAC97::AcquireMappingLock()
{
    KIRQL irql;
    KeAcquireSpinLock(&MappingLock, &irql);
    MappingLockIrql = irql;
}

void CMiniportWavePciStreamZATAC97::ReleaseMappingLock()
{
    KeReleaseSpinLock(&MappingLock, MappingLockIrql);
}

/* With MappingLock held: claim the queues, or leave them to the caller that has them. */
BOOLEAN CMiniportWavePciStreamZATAC97::TryEnterDataPath()
{
    if (DataPathBusy)
        return FALSE;
    DataPathBusy = TRUE;
    return TRUE;
}

/* Passive level only: waits for the current owner, then owns the queues (lock not held on return). */
void CMiniportWavePciStreamZATAC97::EnterDataPathWaiting()
{
    for (;;) {
        AcquireMappingLock();
        if (TryEnterDataPath()) {
            ReleaseMappingLock();
            return;
        }
        IdleWaiter = TRUE;
        ReleaseMappingLock();
        KeWaitForSingleObject(&DataPathIdle, Executive, KernelMode, FALSE, NULL);
    }
}

/* Gives the queues up (lock not held on entry or return). */
void CMiniportWavePciStreamZATAC97::LeaveDataPath()
{
    AcquireMappingLock();
    LeaveDataPathLocked();
}

/* Gives the queues up and drops MappingLock, waking a SetState that waits for them. */
void CMiniportWavePciStreamZATAC97::LeaveDataPathLocked()
{
    DataPathBusy = FALSE;
    BOOLEAN wake = IdleWaiter;
    IdleWaiter = FALSE;
    ReleaseMappingLock();
    if (wake)
        KeSetEvent(&DataPathIdle, IO_NO_INCREMENT, FALSE);
}
