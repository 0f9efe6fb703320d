// The plug-in's side of the dashboard: GET /obs/<t>/ping, POST
// /obs/<t>/voice-command, GET /obs/<t>/commands, POST /obs/<t>/commands/<id>/ack.

#include <algorithm>
#include <cctype>
#include <chrono>

#include <curl/curl.h>

#include "dashboard_json.h"
#include "dashboard_state.h"

namespace {

const char JSON[] = "application/json";

uint64_t steady_ns()
{
	return (uint64_t)std::chrono::duration_cast<std::chrono::nanoseconds>(
		       std::chrono::steady_clock::now().time_since_epoch())
		.count();
}

std::string lower(std::string text)
{
	std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return (char)tolower(c); });
	return text;
}

// The command id as the plug-in meant it: its path segment percent-decoded.
std::string percent_decoded(const std::string &segment)
{
	int length = 0;
	char *decoded = curl_easy_unescape(nullptr, segment.c_str(), (int)segment.size(), &length);
	if (!decoded)
		return segment;
	std::string id(decoded, (size_t)length);
	curl_free(decoded);
	return id;
}

// Endpoint, tenant and command id from the path; the expected method in *method.
void classify(const std::string &path, dashboard_request *record, std::string *method)
{
	std::vector<std::string> s = dashboard_path_segments(path);
	record->endpoint = "other";
	if (s.size() < 4 || !s[0].empty() || s[1] != "obs")
		return;
	record->tenant_id = s[2];
	if (s.size() == 4 && s[3] == "ping") {
		record->endpoint = "ping";
		*method = "GET";
	} else if (s.size() == 4 && s[3] == "voice-command") {
		record->endpoint = "voice-command";
		*method = "POST";
	} else if (s.size() == 4 && s[3] == "commands") {
		record->endpoint = "commands";
		*method = "GET";
	} else if (s.size() == 6 && s[3] == "commands" && s[5] == "ack") {
		record->endpoint = "ack";
		record->command_id = s[4];
		*method = "POST";
	}
}

// Takes the endpoint's fault, if any, counting down its uses. Caller holds the lock.
bool take_fault(local_dashboard *d, const std::string &endpoint, dashboard_fault *out)
{
	auto found = d->faults.find(endpoint);
	if (found == d->faults.end())
		return false;
	if (found->second.times == 0) {
		d->faults.erase(found);
		return false;
	}
	*out = found->second;
	if (found->second.times > 0 && --found->second.times == 0)
		d->faults.erase(found);
	return true;
}

// The normal answer to an authorised request. Caller holds the lock.
void answer(dashboard_tenant &tenant, const dashboard_request &record, httplib::Response &res)
{
	res.status = 200;
	if (record.endpoint == "ping") {
		res.set_content(tenant.settings_json, JSON);
	} else if (record.endpoint == "voice-command") {
		tenant.clips.push_back(record.body);
		res.set_content("{\"ok\":true}", JSON);
	} else if (record.endpoint == "commands") {
		res.set_content(dashboard_commands_answer(tenant), JSON);
	} else {
		// The id segment is percent-encoded; the command is known by its id.
		const std::string id = percent_decoded(record.command_id);
		auto &queue = tenant.queue;
		queue.erase(std::remove_if(queue.begin(), queue.end(), [&](const dashboard_command &c) { return c.id == id; }),
			    queue.end());
		tenant.acks.push_back({id, record.body});
		res.set_content("{\"ok\":true}", JSON);
	}
}

void answer_normally(local_dashboard *d, const dashboard_request &record, const std::string &method,
		     httplib::Response &res)
{
	if (record.endpoint == "other") {
		res.status = 404;
		res.set_content("{\"error\":\"not found\"}", JSON);
		return;
	}
	auto tenant = d->tenants.find(record.tenant_id);
	auto key = record.headers.find("x-tollivaren-plugin-key");
	if (tenant == d->tenants.end() || tenant->second.key.empty() || key == record.headers.end() ||
	    key->second != tenant->second.key) {
		res.status = 401;
		res.set_content("{\"error\":\"unauthorized\"}", JSON);
		return;
	}
	if (record.method != method) {
		res.status = 405;
		res.set_content("{\"error\":\"method not allowed\"}", JSON);
		return;
	}
	answer(tenant->second, record, res);
}

void drop_connection(httplib::Response &res)
{
	// The status line and headers go out; the body never does.
	res.status = 200;
	res.set_content_provider(64, JSON, [](size_t, size_t, httplib::DataSink &) { return false; });
}

} // namespace

std::vector<std::string> dashboard_path_segments(const std::string &path)
{
	std::vector<std::string> segments;
	size_t start = 0;
	for (;;) {
		size_t slash = path.find('/', start);
		segments.push_back(path.substr(start, slash - start));
		if (slash == std::string::npos)
			return segments;
		start = slash + 1;
	}
}

std::string dashboard_target_path(const httplib::Request &req)
{
	return req.target.substr(0, req.target.find('?'));
}

std::string dashboard_commands_answer(const dashboard_tenant &tenant)
{
	if (tenant.has_commands_body)
		return tenant.commands_body;
	std::string json = "{\"commands\":[";
	for (size_t i = 0; i < tenant.queue.size(); i++) {
		const dashboard_command &command = tenant.queue[i];
		json += i ? ",{" : "{";
		json += "\"id\":" + json_quote(command.id) + ",\"action\":" + json_quote(command.action);
		if (command.has_target)
			json += ",\"target\":" + json_quote(command.target);
		json += "}";
	}
	return json + "]}";
}

void dashboard_serve_obs(local_dashboard *d, const httplib::Request &req, httplib::Response &res)
{
	dashboard_request record;
	record.received_ns = steady_ns();
	record.method = req.method;
	record.path = dashboard_target_path(req);
	record.body = req.body;
	for (const auto &header : req.headers) {
		std::string name = lower(header.first);
		// The server library adds the peer's address as pseudo headers.
		if (name == "remote_addr" || name == "remote_port" || name == "local_addr" || name == "local_port")
			continue;
		auto &value = record.headers[name];
		value = value.empty() ? header.second : value + ", " + header.second;
	}
	std::string method;
	classify(record.path, &record, &method);

	std::unique_lock<std::mutex> guard(d->lock);
	d->arrivals[record.endpoint]++;
	d->changed.notify_all();
	dashboard_fault fault;
	bool faulty = take_fault(d, record.endpoint, &fault);
	int delay_ms = faulty ? fault.delay_ms : 0;
	if (faulty && fault.delay_max_ms > fault.delay_ms)
		delay_ms += (int)(d->random() % (unsigned)(fault.delay_max_ms - fault.delay_ms + 1));
	if (delay_ms > 0)
		d->changed.wait_for(guard, std::chrono::milliseconds(delay_ms), [d] { return d->stopping; });

	if (faulty && fault.drop_connection) {
		drop_connection(res);
		record.status = 0;
	} else {
		if (faulty && (fault.status || fault.empty_body || !fault.body.empty())) {
			res.status = fault.status ? fault.status : 200;
			res.set_content(fault.empty_body ? std::string() : fault.body, JSON);
		} else {
			answer_normally(d, record, method, res);
		}
		if (faulty && !fault.retry_after.empty())
			res.set_header("Retry-After", fault.retry_after);
		if (faulty && !fault.location.empty())
			res.set_header("Location", fault.location);
		record.status = res.status;
	}
	d->requests.push_back(record);
	guard.unlock();
	d->changed.notify_all();
}
