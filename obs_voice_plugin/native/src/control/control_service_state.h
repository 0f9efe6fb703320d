#pragma once

#include <pthread.h>

#include <util/threading.h>

#include "../backend/pairing.h"

#define CONTROL_POLL_INTERVAL_MS 3000
#define CONTROL_POLL_CAPACITY 20

// The single process-wide control state; zero at load.
struct control_service {
	bool initialized;      // lock and wake_event exist
	pthread_mutex_t lock;  // guards running, stop_requested, thread, tenant_id, endpoints
	bool running;          // a poll thread was created and not yet joined
	bool stop_requested;   // read by the poll thread after each wait
	pthread_t thread;      // valid while running
	os_event_t *wake_event; // auto-reset; signalled only by a stop
	char *tenant_id;
	backend_endpoints *endpoints;
};

extern control_service control_service_state;

void *control_poll_thread(void *unused);
