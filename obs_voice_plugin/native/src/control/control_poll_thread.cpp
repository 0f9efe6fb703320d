#include "control_service_state.h"

#include "control_actions.h"

void *control_poll_thread(void *unused)
{
	(void)unused;
	control_service &service = control_service_state;
	control_command commands[CONTROL_POLL_CAPACITY];

	os_set_thread_name("tollivaren-voice: control poll");

	for (;;) {
		os_event_timedwait(service.wake_event, CONTROL_POLL_INTERVAL_MS);

		pthread_mutex_lock(&service.lock);
		bool stop = service.stop_requested;
		// The endpoints are not replaced or freed until this thread is joined.
		const backend_endpoints *endpoints = service.endpoints;
		pthread_mutex_unlock(&service.lock);

		if (stop)
			break;
		if (!endpoints)
			continue;

		int count = backend_poll_commands(endpoints, commands, CONTROL_POLL_CAPACITY);
		for (int i = 0; i < count; i++) {
			control_dispatch(endpoints, &commands[i]);
			control_command_clear(&commands[i]);
		}
	}
	return nullptr;
}
