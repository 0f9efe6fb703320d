#pragma once

// A stand-in for the hosted Tollivaren dashboard on 127.0.0.1, for tests and
// demos: it answers the plug-in's four requests per tenant, records every
// request it gets, and can be told to misbehave per endpoint.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct local_dashboard;

// Binds 127.0.0.1:port (0 picks a free port) and serves on its own thread;
// null when the port cannot be bound.
local_dashboard *dashboard_start(int port = 0);
// Stops serving (answers still held back by a fault delay are released at
// once) and frees the dashboard. Accepts null.
void dashboard_stop(local_dashboard *d);
// "http://127.0.0.1:<port>"
std::string dashboard_base_url(local_dashboard *d);

// Adds a tenant, or changes the key of a known one.
void dashboard_add_tenant(local_dashboard *d, const std::string &tenant_id, const std::string &key);
// Standard padded base64 of {"url" (left out unless with_url), "tenant_id", "key"}.
std::string dashboard_mint_pairing(local_dashboard *d, const std::string &tenant_id, bool with_url = true);
// What a new tenant's ping is answered (voice clips off, threshold 0.6).
extern const char DASHBOARD_DEFAULT_SETTINGS[];
// The JSON text answered to the tenant's ping.
void dashboard_set_settings(local_dashboard *d, const std::string &tenant_id, const std::string &json);
// Queues a command; a null target leaves the "target" member out.
void dashboard_queue_command(local_dashboard *d, const std::string &tenant_id, const std::string &id,
			     const std::string &action, const std::string *target);
// Replaces the whole commands answer with this text until called with null.
void dashboard_set_commands_body(local_dashboard *d, const std::string &tenant_id, const std::string *json);

// One request to /obs/..., recorded once its answer is decided (requests to
// /admin/ are not recorded).
struct dashboard_request {
	std::string method, path, body; // path as sent, without the query
	std::string tenant_id;          // from /obs/<tenant>/...
	std::string endpoint;           // "ping", "voice-command", "commands", "ack" or "other"
	std::string command_id;         // for "ack": the id segment, not percent-decoded
	std::map<std::string, std::string> headers; // lower-case names
	int status;                     // the status answered; 0 when the connection was dropped
	uint64_t received_ns;           // steady clock, when the request arrived
};

// All requests in arrival order, or only those of one endpoint.
std::vector<dashboard_request> dashboard_requests(local_dashboard *d, const std::string &endpoint = "");
size_t dashboard_count(local_dashboard *d, const std::string &endpoint);
// Waits until at least n requests of the endpoint were recorded.
bool dashboard_wait_count(local_dashboard *d, const std::string &endpoint, size_t n, int timeout_ms);
// Waits until at least n requests of the endpoint have arrived, answered or
// not (one held back by a delay counts at once).
bool dashboard_wait_arrivals(local_dashboard *d, const std::string &endpoint, size_t n, int timeout_ms);
void dashboard_clear_requests(local_dashboard *d);

// How one endpoint misbehaves. Setting status, empty_body or body replaces
// the normal answer (and its effects: nothing is queued, recorded as a clip
// or acknowledged); delay, Retry-After and Location are added to whichever
// answer is given.
struct dashboard_fault {
	int status = 0;           // answer this status (0: normal behaviour)
	std::string retry_after;  // non-empty: a Retry-After header with this exact value
	int delay_ms = 0;         // wait this long before answering
	int delay_max_ms = 0;     // above delay_ms: wait a random time in [delay_ms, delay_max_ms]
	std::string location;     // non-empty: a Location header
	bool empty_body = false;  // answer with no body
	std::string body;         // non-empty: answer exactly this body
	bool drop_connection = false; // send the status line and headers, then close before the body
	int times = -1;           // for this many requests, then normal again; -1 until cleared
};
void dashboard_set_fault(local_dashboard *d, const std::string &endpoint, const dashboard_fault &fault);
void dashboard_clear_faults(local_dashboard *d);
