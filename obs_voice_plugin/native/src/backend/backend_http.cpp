#include "backend_http.h"

#include <cstring>

#include <util/base.h>
#include <util/bmem.h>
#include <util/platform.h>
#include <util/threading.h>

#include "json_check.h"
#include "voice_requests.h"

extern "C" size_t collect_body(char *data, size_t size, size_t count, void *userdata)
{
	collected_body *body = (collected_body *)userdata;
	size_t length = size * count;
	if (length > BACKEND_BODY_LIMIT - body->text.len) {
		body->too_large = true;
		return 0; // makes libcurl abort the transfer
	}
	// Not dstr_ncat: it drops a piece whose first byte is zero.
	if (length) {
		size_t used = body->text.len;
		dstr_resize(&body->text, used + length);
		memcpy(body->text.array + used, data, length);
	}
	return length;
}

extern "C" size_t discard_body(char *, size_t size, size_t count, void *)
{
	return size * count;
}

curl_slist *backend_header_list(const char *key_header, bool json_body)
{
	curl_slist *headers = nullptr;
	if (json_body)
		headers = curl_slist_append(headers, "Content-Type: application/json");
	return curl_slist_append(headers, key_header);
}

// How often a transfer in flight looks at its cancel flag.
#define BACKEND_CANCEL_CHECK_MS 20

// One request's handle and what it owns while it runs.
struct backend_transfer {
	const backend_request *request;
	CURL *curl;
	curl_slist *headers;
	struct dstr key_header;
	bool done;
	CURLcode code;
};

static bool backend_transfer_setup(backend_transfer *transfer, const backend_request *request)
{
	transfer->request = request;
	transfer->curl = curl_easy_init();
	if (!transfer->curl)
		return false;
	CURL *curl = transfer->curl;
	dstr_printf(&transfer->key_header, "X-Tollivaren-Plugin-Key: %s", request->plugin_key);
	transfer->headers = backend_header_list(transfer->key_header.array, request->json_body != nullptr);

	curl_easy_setopt(curl, CURLOPT_URL, request->url);
	if (request->json_body) {
		curl_easy_setopt(curl, CURLOPT_POST, 1L);
		curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, request->json_body);
	} else {
		curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
	}
	curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer->headers);
	if (request->body) {
		curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
		curl_easy_setopt(curl, CURLOPT_WRITEDATA, request->body);
	} else {
		curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard_body);
	}
	if (request->retry_after) {
		curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, retry_after_header);
		curl_easy_setopt(curl, CURLOPT_HEADERDATA, request->retry_after);
	}
	curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, request->connect_timeout_ms);
	curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, request->timeout_ms);
	curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
	curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
	// Every request has a handle of its own and is never followed by another
	// on its connection: close it when the transfer ends, not when the batch does.
	curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
#if LIBCURL_VERSION_NUM >= 0x075700
	// A cancelled or timed-out transfer still resolving a name would make the
	// clean-up wait for the resolver thread; leave that thread to finish alone.
	curl_easy_setopt(curl, CURLOPT_QUICK_EXIT, 1L);
#endif
	curl_easy_setopt(curl, CURLOPT_PRIVATE, transfer);
	return true;
}

static void backend_transfer_cleanup(backend_transfer *transfer)
{
	if (transfer->curl)
		curl_easy_cleanup(transfer->curl);
	curl_slist_free_all(transfer->headers);
	dstr_free(&transfer->key_header);
}

static bool backend_any_cancelled(const backend_transfer *transfers, size_t count)
{
	for (size_t i = 0; i < count; i++) {
		const volatile bool *cancel = transfers[i].request->cancel;
		if (cancel && os_atomic_load_bool(cancel))
			return true;
		const std::atomic<uint64_t> *cancel_at_ns = transfers[i].request->cancel_at_ns;
		const uint64_t at = cancel_at_ns ? cancel_at_ns->load() : 0;
		if (at != 0 && os_gettime_ns() >= at)
			return true;
	}
	return false;
}

// Drives the transfers until all are done or one is cancelled; true when
// cancelled. The multi interface, rather than curl_easy_perform, so that a
// cancel is seen within BACKEND_CANCEL_CHECK_MS whatever the server does.
static bool backend_run_transfers(CURLM *multi, backend_transfer *transfers, size_t count)
{
	int running = 1;
	bool cancelled = false;
	while (running) {
		if (curl_multi_perform(multi, &running) != CURLM_OK)
			break;
		CURLMsg *message;
		int left = 0;
		while ((message = curl_multi_info_read(multi, &left))) {
			if (message->msg != CURLMSG_DONE)
				continue;
			backend_transfer *transfer = nullptr;
			curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, (char **)&transfer);
			transfer->done = true;
			transfer->code = message->data.result;
		}
		if (!running)
			break;
		if (backend_any_cancelled(transfers, count)) {
			cancelled = true;
			break;
		}
		curl_multi_poll(multi, nullptr, 0, BACKEND_CANCEL_CHECK_MS, nullptr);
	}
	return cancelled;
}

static void backend_report(const backend_transfer *transfer, bool cancelled, bool *answered, long *status)
{
	const backend_request *request = transfer->request;
	*answered = transfer->done && transfer->code == CURLE_OK;
	*status = 0;
	if (*answered) {
		curl_easy_getinfo(transfer->curl, CURLINFO_RESPONSE_CODE, status);
		return;
	}
	if (cancelled && !transfer->done)
		return;
	CURLcode code = transfer->done ? transfer->code : CURLE_FAILED_INIT;
	if (!(code == CURLE_WRITE_ERROR && request->body && request->body->too_large))
		blog(LOG_WARNING, "[tollivaren-voice] %s failed: %s", request->description, curl_easy_strerror(code));
}

void backend_perform_all(const backend_request *requests, size_t count, bool *answered, long *statuses)
{
	backend_transfer *transfers = (backend_transfer *)bzalloc(count * sizeof(backend_transfer));
	CURLM *multi = curl_multi_init();
	for (size_t i = 0; i < count; i++) {
		if (backend_transfer_setup(&transfers[i], &requests[i]) && multi)
			curl_multi_add_handle(multi, transfers[i].curl);
	}

	bool cancelled = multi ? backend_run_transfers(multi, transfers, count) : false;

	for (size_t i = 0; i < count; i++) {
		backend_report(&transfers[i], cancelled, &answered[i], &statuses[i]);
		if (multi && transfers[i].curl)
			curl_multi_remove_handle(multi, transfers[i].curl);
		backend_transfer_cleanup(&transfers[i]);
	}
	if (multi)
		curl_multi_cleanup(multi);
	bfree(transfers);
}

bool backend_perform(const backend_request *request, long *status)
{
	bool answered = false;
	backend_perform_all(request, 1, &answered, status);
	return answered;
}

obs_data_t *backend_parse_body(const collected_body *body)
{
	return json_data_from_text(body->text.array);
}

int32_t backend_wrap_int32(uint32_t value)
{
	if (value <= (uint32_t)INT32_MAX)
		return (int32_t)value;
	return -(int32_t)(UINT32_MAX - value) - 1;
}
