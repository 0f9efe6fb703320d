#include "control_service.h"
#include "control_service_state.h"

#include <string.h>

#include <util/base.h>
#include <util/bmem.h>

control_service control_service_state = {};

// Serialises init, start, stop and shutdown, which swap the thread and the
// endpoints in several steps that the field lock does not cover as a whole.
// Statically initialised, so it exists before init and after shutdown. It is
// held across the join of the poll thread, which is safe because the poll
// thread never takes it; the field lock is only ever taken inside it, never
// the other way round, and is never held across the join.
static pthread_mutex_t control_service_lifecycle_lock = PTHREAD_MUTEX_INITIALIZER;

static bool control_service_serving(const char *tenant_id)
{
	control_service &service = control_service_state;
	pthread_mutex_lock(&service.lock);
	bool serving = service.running && service.endpoints && service.tenant_id &&
		       strcmp(service.tenant_id, tenant_id) == 0;
	pthread_mutex_unlock(&service.lock);
	return serving;
}

// Ends the poll thread, if any, after its current cycle. Lifecycle lock held.
static void control_service_stop_thread(void)
{
	control_service &service = control_service_state;

	pthread_mutex_lock(&service.lock);
	bool was_running = service.running;
	pthread_t thread = service.thread;
	service.stop_requested = true;
	pthread_mutex_unlock(&service.lock);

	if (was_running) {
		os_event_signal(service.wake_event);
		pthread_join(thread, nullptr);
		// The thread may have seen stop_requested after a timed-out wait and
		// left the signal unconsumed; the next thread must wait its full period.
		os_event_reset(service.wake_event);
	}

	pthread_mutex_lock(&service.lock);
	service.running = false;
	pthread_mutex_unlock(&service.lock);
}

void control_service_init(void)
{
	control_service &service = control_service_state;

	pthread_mutex_lock(&control_service_lifecycle_lock);
	if (!service.initialized && pthread_mutex_init(&service.lock, nullptr) == 0) {
		if (os_event_init(&service.wake_event, OS_EVENT_TYPE_AUTO) == 0)
			service.initialized = true;
		else
			pthread_mutex_destroy(&service.lock);
	}
	pthread_mutex_unlock(&control_service_lifecycle_lock);
}

static void control_service_start_serialised(const char *url, const char *tenant_id, const char *key)
{
	control_service &service = control_service_state;

	if (control_service_serving(tenant_id))
		return;

	backend_endpoints *endpoints = backend_endpoints_create(url, tenant_id, key);
	if (!endpoints)
		return;

	control_service_stop_thread();

	char *tenant_copy = bstrdup(tenant_id);
	pthread_mutex_lock(&service.lock);
	backend_endpoints *old_endpoints = service.endpoints;
	char *old_tenant = service.tenant_id;
	service.tenant_id = tenant_copy;
	service.endpoints = endpoints;
	service.stop_requested = false;
	bool started = pthread_create(&service.thread, nullptr, control_poll_thread, nullptr) == 0;
	service.running = started;
	pthread_mutex_unlock(&service.lock);

	bfree(old_tenant);
	backend_endpoints_destroy(old_endpoints);

	if (started)
		blog(LOG_INFO, "[tollivaren-voice] chat-command OBS control active for tenant=%s", tenant_id);
	else
		blog(LOG_ERROR, "[tollivaren-voice] failed to start OBS control poll thread");
}

void control_service_start(const char *url, const char *tenant_id, const char *key)
{
	if (!url || !*url || !tenant_id || !*tenant_id || !key || !*key)
		return;

	pthread_mutex_lock(&control_service_lifecycle_lock);
	if (control_service_state.initialized)
		control_service_start_serialised(url, tenant_id, key);
	pthread_mutex_unlock(&control_service_lifecycle_lock);
}

void control_service_stop(void)
{
	pthread_mutex_lock(&control_service_lifecycle_lock);
	if (control_service_state.initialized)
		control_service_stop_thread();
	pthread_mutex_unlock(&control_service_lifecycle_lock);
}

void control_service_shutdown(void)
{
	control_service &service = control_service_state;

	pthread_mutex_lock(&control_service_lifecycle_lock);
	if (!service.initialized) {
		pthread_mutex_unlock(&control_service_lifecycle_lock);
		return;
	}

	control_service_stop_thread();

	pthread_mutex_lock(&service.lock);
	backend_endpoints *endpoints = service.endpoints;
	service.endpoints = nullptr;
	bfree(service.tenant_id);
	service.tenant_id = nullptr;
	pthread_mutex_unlock(&service.lock);

	backend_endpoints_destroy(endpoints);

	os_event_destroy(service.wake_event);
	service.wake_event = nullptr;
	pthread_mutex_destroy(&service.lock);
	service.initialized = false;
	pthread_mutex_unlock(&control_service_lifecycle_lock);
}
