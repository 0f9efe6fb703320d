#pragma once

// Makes the next thread creations of the process fail (pthread_create
// returns EAGAIN), as when the system refuses a thread. Link
// failing_threads.cpp into the test program.
void failing_threads_next(int count);
