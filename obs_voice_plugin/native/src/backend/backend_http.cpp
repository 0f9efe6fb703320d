#include "backend_http.h"

#include <cstring>

#include <util/base.h>

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

bool backend_perform(const backend_request *request, long *status)
{
	*status = 0;
	CURL *curl = curl_easy_init();
	if (!curl)
		return false;

	struct dstr key_header = {};
	dstr_printf(&key_header, "X-Tollivaren-Plugin-Key: %s", request->plugin_key);
	curl_slist *headers = backend_header_list(key_header.array, request->json_body != nullptr);

	curl_easy_setopt(curl, CURLOPT_URL, request->url);
	if (request->json_body) {
		curl_easy_setopt(curl, CURLOPT_POST, 1L);
		curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, request->json_body);
	} else {
		curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
	}
	curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
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

	CURLcode code = curl_easy_perform(curl);
	bool answered = code == CURLE_OK;
	if (answered)
		curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
	else if (!(code == CURLE_WRITE_ERROR && request->body && request->body->too_large))
		blog(LOG_WARNING, "[tollivaren-voice] %s failed: %s", request->description, curl_easy_strerror(code));

	curl_easy_cleanup(curl);
	curl_slist_free_all(headers);
	dstr_free(&key_header);
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
