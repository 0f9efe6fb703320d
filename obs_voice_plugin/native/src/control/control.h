#pragma once

// Chat-command OBS control: the one process-wide poller of the tenant's
// commands (control_service.cpp) and the actions that carry them out in OBS
// (control_actions.cpp).

#include "../backend/command_requests.h"

#define CONTROL_POLL_INTERVAL_MS 3000
#define CONTROL_POLL_CAPACITY 20

// The poll service: init at module load, shutdown at unload (which joins
// the poll thread), start by every filter update that paired (which never
// waits for it).
void control_service_init(void);
void control_service_start(const char *url, const char *tenant_id, const char *key);
void control_service_shutdown(void);

// OBS's frontend as the actions see it: watched from init to shutdown, and
// never called again once OBS has begun to close.
void control_frontend_watch(void);
void control_frontend_unwatch(void);
bool control_frontend_closing(void);

// Once OBS begins to close (SCRIPTING_SHUTDOWN) the poll thread must not
// hold the close, whatever the back-end does: the poll in flight is
// cancelled at once (this flag), an acknowledgement in flight ends at the
// latest CONTROL_CLOSING_ACK_MS later, and one sent after that (the refusals
// of what is still in hand, all at once) CONTROL_CLOSING_ACK_MS after it
// starts. A back-end that answers in time receives and answers them all.
#define CONTROL_CLOSING_ACK_MS 500
const volatile bool *control_frontend_closing_flag(void);

// Carries one command out in OBS, logs it and acknowledges it. Called by one
// thread at a time (the poll thread).
void control_dispatch(const backend_endpoints *endpoints, const control_command *command);
// Logs and acknowledges commands as failed without touching OBS, all at once.
void control_refuse(const backend_endpoints *endpoints, const control_command *commands, int count,
		    const char *reason);

#define CONTROL_REASON_SHUTTING_DOWN "OBS is shutting down"
