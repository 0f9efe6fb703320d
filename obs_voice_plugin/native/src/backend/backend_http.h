#pragma once

// What the four back-end requests share: one fresh libcurl handle per
// request, the key header, the options, and the transport warning.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <curl/curl.h>
#include <obs-data.h>
#include <util/dstr.h>

// A GET answer longer than this is abandoned like an unreadable one.
#define BACKEND_BODY_LIMIT ((size_t)1048576)

// The answer body of a GET, collected up to BACKEND_BODY_LIMIT bytes.
struct collected_body {
	struct dstr text;
	bool too_large;
};

struct backend_request {
	const char *url;
	const char *plugin_key;
	const char *json_body; // POST body text; null makes the request a GET
	long connect_timeout_ms;
	long timeout_ms;
	collected_body *body;    // a GET's answer body
	int32_t *retry_after;    // slot for retry_after_header, or null
	const char *description; // names the request in the transport warning
	// Set by another thread (os_atomic_set_bool) to end the transfer at once,
	// without a warning; null when nothing cancels it.
	const volatile bool *cancel;
	// A host time (os_gettime_ns) at which the transfer ends as if cancelled;
	// 0 for none. Another thread may set it while the transfer runs; null
	// when nothing does.
	const std::atomic<uint64_t> *cancel_at_ns;
};

extern "C" size_t collect_body(char *data, size_t size, size_t count, void *userdata);
extern "C" size_t discard_body(char *data, size_t size, size_t count, void *userdata);

// "Content-Type: application/json" first for a request with a JSON body,
// then the key header line.
curl_slist *backend_header_list(const char *key_header, bool json_body);

// Runs the request. True when an answer came, its status in *status (0
// otherwise). A transport failure logs one warning, except when the answer
// was abandoned for being too long or the request was cancelled.
bool backend_perform(const backend_request *request, long *status);
// Runs several requests side by side, as backend_perform runs one: the whole
// costs the slowest of them. answered[i] and statuses[i] for each.
void backend_perform_all(const backend_request *requests, size_t count, bool *answered, long *statuses);

// The parsed object of a collected body, or null when there is no body or
// it is not a JSON text the host accepts (nothing is logged then).
obs_data_t *backend_parse_body(const collected_body *body);

// The low 32 bits of a value, as a signed 32-bit integer.
int32_t backend_wrap_int32(uint32_t value);
