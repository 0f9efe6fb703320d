#pragma once

// The one process-wide poller of chat-derived OBS control commands.
void control_service_init(void);
void control_service_start(const char *url, const char *tenant_id, const char *key);
void control_service_stop(void);
void control_service_shutdown(void);
