#include "control.h"

#include <pthread.h>
#include <string.h>

#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>
#include <util/threading.h>

#include "../module/log_text.h"

// The single process-wide control state; zero at load.
struct control_service {
	bool initialized;    // wake_event exists; cleared first thing by shutdown
	bool shutting_down;  // shutdown is joining the poll thread
	bool running;        // a poll thread was created and not yet joined
	bool stop_requested; // read by the poll thread after each wait
	pthread_t thread;    // valid while running
	os_event_t *wake_event; // auto-reset; signalled only by shutdown
	char *tenant_id;        // the tenant last started for
	// What the poll thread uses; replaced only by that thread, and freed
	// only by it or after it has been joined.
	backend_endpoints *endpoints;
	// Another pairing's endpoints (another tenant, or the same tenant at
	// another server or with another key), taken by the poll thread at its
	// next cycle.
	backend_endpoints *next_endpoints;
};

// Guards every field. Static, so that it exists before init and after
// shutdown; never held across a request, a join or another lock.
static pthread_mutex_t control_service_lock = PTHREAD_MUTEX_INITIALIZER;
static control_service control_state = {};

// Adopts endpoints handed over by a start for another pairing (*adopted),
// and frees the ones it leaves: nobody but this thread uses them.
static const backend_endpoints *control_poll_endpoints(bool *stop, bool *adopted)
{
	control_service &service = control_state;
	backend_endpoints *retired = nullptr;
	pthread_mutex_lock(&control_service_lock);
	*stop = service.stop_requested;
	*adopted = service.next_endpoints != nullptr;
	if (service.next_endpoints) {
		retired = service.endpoints;
		service.endpoints = service.next_endpoints;
		service.next_endpoints = nullptr;
	}
	const backend_endpoints *endpoints = service.endpoints;
	pthread_mutex_unlock(&control_service_lock);
	backend_endpoints_destroy(retired);
	return endpoints;
}

// A poll the dashboard refuses (401, 403) means a revoked key or a pairing
// for another server: one warning per run of refusals (*warned), which an
// answered poll or a new pairing ends.
static void control_poll_note_status(long status, bool *warned)
{
	if (status != 401 && status != 403) {
		if (status != 0)
			*warned = false;
		return;
	}
	if (*warned)
		return;
	*warned = true;
	blog(LOG_WARNING,
	     "[tollivaren-voice] the dashboard refused the commands poll (HTTP %ld) \xE2\x80\x94 chat commands stop "
	     "until the filter is paired again: paste the pairing string from the Tollivaren dashboard",
	     status);
}

static void *control_poll_thread(void *)
{
	control_command commands[CONTROL_POLL_CAPACITY];
	bool refusal_warned = false;
	os_set_thread_name("tollivaren-voice: control poll");

	for (;;) {
		os_event_timedwait(control_state.wake_event, CONTROL_POLL_INTERVAL_MS);
		bool stop = false;
		bool adopted = false;
		const backend_endpoints *endpoints = control_poll_endpoints(&stop, &adopted);
		if (stop)
			break;
		if (adopted)
			refusal_warned = false;
		// Once OBS closes nothing more is fetched: it stays at the dashboard.
		if (!endpoints || control_frontend_closing())
			continue;

		// A poll in flight when OBS begins to close is cancelled: whatever it
		// would have fetched stays at the dashboard.
		long status = 0;
		int count = backend_poll_commands(endpoints, commands, CONTROL_POLL_CAPACITY,
						  control_frontend_closing_flag(), &status);
		control_poll_note_status(status, &refusal_warned);
		for (int i = 0; i < count; i++) {
			if (control_frontend_closing()) {
				// What is still in hand is refused at once, not one by one.
				control_refuse(endpoints, &commands[i], count - i, CONTROL_REASON_SHUTTING_DOWN);
				for (int rest = i; rest < count; rest++)
					control_command_clear(&commands[rest]);
				break;
			}
			control_dispatch(endpoints, &commands[i]);
			control_command_clear(&commands[i]);
		}
	}
	return nullptr;
}

void control_service_init(void)
{
	control_service &service = control_state;
	pthread_mutex_lock(&control_service_lock);
	if (!service.initialized && !service.shutting_down &&
	    os_event_init(&service.wake_event, OS_EVENT_TYPE_AUTO) == 0)
		service.initialized = true;
	bool initialized = service.initialized;
	pthread_mutex_unlock(&control_service_lock);

	if (initialized)
		control_frontend_watch();
}

// The pairing that a start would change to is already in place (or handed
// over): same tenant, same server, same key.
static bool control_service_has_pairing(const control_service &service, const char *tenant_id,
					const backend_endpoints *endpoints)
{
	const backend_endpoints *newest = service.next_endpoints ? service.next_endpoints : service.endpoints;
	return service.tenant_id && strcmp(service.tenant_id, tenant_id) == 0 && newest &&
	       strcmp(newest->commands_url, endpoints->commands_url) == 0 &&
	       strcmp(newest->plugin_key, endpoints->plugin_key) == 0;
}

// A start never waits for the poll thread: a running thread takes another
// pairing's endpoints (another tenant, or a new server or key for the same
// one) at its next cycle (the cycle under way finishes with the old ones),
// so no host thread that updates a filter waits on the network or on OBS's
// UI thread, which the poll thread may itself be waiting for.
void control_service_start(const char *url, const char *tenant_id, const char *key)
{
	if (!url || !*url || !tenant_id || !*tenant_id || !key || !*key)
		return;
	backend_endpoints *endpoints = backend_endpoints_create(url, tenant_id, key);
	if (!endpoints)
		return;

	control_service &service = control_state;
	backend_endpoints *retired[2] = {endpoints, nullptr};
	char *old_tenant = nullptr;
	bool changed = false;
	bool started = true;

	pthread_mutex_lock(&control_service_lock);
	const bool same_pairing = control_service_has_pairing(service, tenant_id, endpoints);
	if (service.initialized && !(same_pairing && service.running)) {
		changed = true;
		retired[0] = nullptr;
		old_tenant = service.tenant_id;
		service.tenant_id = bstrdup(tenant_id);
		if (service.running) {
			retired[0] = service.next_endpoints;
			service.next_endpoints = endpoints;
		} else {
			retired[0] = service.endpoints;
			retired[1] = service.next_endpoints;
			service.endpoints = endpoints;
			service.next_endpoints = nullptr;
			service.stop_requested = false;
			started = pthread_create(&service.thread, nullptr, control_poll_thread, nullptr) == 0;
			service.running = started;
		}
	}
	pthread_mutex_unlock(&control_service_lock);

	backend_endpoints_destroy(retired[0]);
	backend_endpoints_destroy(retired[1]);
	bfree(old_tenant);
	if (!changed)
		return;
	if (started) {
		char *shown = log_text_copy(tenant_id);
		blog(LOG_INFO, "[tollivaren-voice] chat-command OBS control active for tenant=%s", shown);
		bfree(shown);
	} else
		blog(LOG_ERROR, "[tollivaren-voice] failed to start OBS control poll thread");
}

// Stops the poll thread after its current cycle, which still carries out and
// acknowledges what it fetched, and frees what the service holds.
void control_service_shutdown(void)
{
	control_service &service = control_state;
	pthread_mutex_lock(&control_service_lock);
	if (!service.initialized) {
		pthread_mutex_unlock(&control_service_lock);
		return;
	}
	service.initialized = false;
	service.shutting_down = true;
	service.stop_requested = true;
	const bool was_running = service.running;
	const pthread_t thread = service.thread;
	os_event_t *wake_event = service.wake_event;
	pthread_mutex_unlock(&control_service_lock);

	if (was_running) {
		os_event_signal(wake_event);
		pthread_join(thread, nullptr);
	}

	pthread_mutex_lock(&control_service_lock);
	backend_endpoints *endpoints = service.endpoints;
	backend_endpoints *next_endpoints = service.next_endpoints;
	char *tenant_id = service.tenant_id;
	service.endpoints = nullptr;
	service.next_endpoints = nullptr;
	service.tenant_id = nullptr;
	service.wake_event = nullptr;
	service.running = false;
	service.shutting_down = false;
	pthread_mutex_unlock(&control_service_lock);

	backend_endpoints_destroy(endpoints);
	backend_endpoints_destroy(next_endpoints);
	bfree(tenant_id);
	os_event_destroy(wake_event);
	control_frontend_unwatch();
}
