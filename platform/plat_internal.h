// Links between the platform's own modules. Not for use outside platform/.
#pragma once

// plat_process.cpp: the termination flag alone (no waiting, no side
// effects), safe to read under any lock of the thread layer.
bool plat_process_terminating();

// plat_thread.cpp: wakes every wait of the thread layer (periods, sleeps,
// plat_thread_wait_for_stop) so that it looks at the stop and termination
// flags again. Must not be called with a thread-layer lock held.
void plat_thread_notify_all();
