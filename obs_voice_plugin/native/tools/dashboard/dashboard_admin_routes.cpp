// The admin API, without a key, for driving the dashboard by hand or from a
// demo script:
//   POST /admin/tenants/<t>/commands  {"id","action","target"}  queues a command
//   PUT  /admin/tenants/<t>/settings  <json>                    sets the ping answer
//   GET  /admin/tenants/<t>/clips     JSON array of the clip trigger bodies
//   GET  /admin/tenants/<t>/acks      [{"id","status","error"}]
//   PUT  /admin/tenants/<t>/key       {"key"} replaces the tenant's plug-in key:
//                                     the old one is refused (401) from then on
//   GET  /admin/pairing/<t>           the pairing string
//   PUT  /admin/faults/<endpoint>     {"status","delay_ms","delay_max_ms","times"}
//                                     makes "ping", "voice-command", "commands" or
//                                     "ack" misbehave (all members optional)
//   DELETE /admin/faults              every endpoint behaves normally again
//   GET  /admin/requests[/<endpoint>] the plug-in's requests so far, in arrival order:
//        [{"endpoint","tenant","command_id","status","key_header","received_ms"}]
//        received_ms on the system's monotonic clock, key_header whether the
//        request carried the plug-in key header at all
//   GET  /admin/arrivals/<endpoint>   {"arrivals":N}: requests of that endpoint that
//        have arrived, answered or not (one held back by a delay counts at once)

#include <obs-data.h>

#include "dashboard_json.h"
#include "dashboard_state.h"

namespace {

const char JSON[] = "application/json";

void reply(httplib::Response &res, int status, const std::string &body, const char *type = JSON)
{
	res.status = status;
	res.set_content(body, type);
}

// `member` of an ack body, as a JSON member text, or "" when absent.
std::string ack_member(const std::string &body, const char *member)
{
	std::string value;
	if (!json_string_member(body, member, &value))
		return "";
	return ",\"" + std::string(member) + "\":" + json_quote(value);
}

void queue_command(local_dashboard *d, const std::string &tenant_id, const std::string &body,
		   httplib::Response &res)
{
	std::string id, action, target;
	if (!json_string_member(body, "id", &id) || id.empty() || !json_string_member(body, "action", &action) ||
	    action.empty())
		return reply(res, 400, "{\"error\":\"need a JSON object with id and action\"}");
	bool has_target = json_string_member(body, "target", &target);
	dashboard_queue_command(d, tenant_id, id, action, has_target ? &target : nullptr);
	reply(res, 200, "{\"ok\":true}");
}

// GET /admin/tenants/<t>/clips or /acks. Caller holds the lock.
std::string listing(const dashboard_tenant &tenant, const std::string &what)
{
	std::string json = "[";
	if (what == "clips") {
		for (size_t i = 0; i < tenant.clips.size(); i++) {
			const std::string &clip = tenant.clips[i];
			json += (i ? "," : "") + (json_is_object(clip) ? clip : json_quote(clip));
		}
	} else {
		for (size_t i = 0; i < tenant.acks.size(); i++) {
			const dashboard_ack &ack = tenant.acks[i];
			json += std::string(i ? "," : "") + "{\"id\":" + json_quote(ack.id) +
				ack_member(ack.body, "status") + ack_member(ack.body, "error") + "}";
		}
	}
	return json + "]";
}

void set_fault(local_dashboard *d, const std::string &endpoint, const std::string &body, httplib::Response &res)
{
	obs_data_t *data = json_is_object(body) ? obs_data_create_from_json(body.c_str()) : nullptr;
	if (!data)
		return reply(res, 400, "{\"error\":\"need a JSON object\"}");
	dashboard_fault fault;
	fault.status = (int)obs_data_get_int(data, "status");
	fault.delay_ms = (int)obs_data_get_int(data, "delay_ms");
	fault.delay_max_ms = (int)obs_data_get_int(data, "delay_max_ms");
	if (obs_data_has_user_value(data, "times"))
		fault.times = (int)obs_data_get_int(data, "times");
	obs_data_release(data);
	dashboard_set_fault(d, endpoint, fault);
	reply(res, 200, "{\"ok\":true}");
}

std::string request_listing(local_dashboard *d, const std::string &endpoint)
{
	std::string json = "[";
	for (const dashboard_request &r : dashboard_requests(d, endpoint)) {
		json += json.size() > 1 ? ",{" : "{";
		json += "\"endpoint\":" + json_quote(r.endpoint) + ",\"tenant\":" + json_quote(r.tenant_id) +
			",\"command_id\":" + json_quote(r.command_id) + ",\"status\":" + std::to_string(r.status) +
			",\"key_header\":" + (r.headers.count("x-tollivaren-plugin-key") ? "true" : "false") +
			",\"received_ms\":" + std::to_string(r.received_ns / 1000000) + "}";
	}
	return json + "]";
}

} // namespace

void dashboard_serve_admin(local_dashboard *d, const httplib::Request &req, httplib::Response &res)
{
	std::vector<std::string> s = dashboard_path_segments(dashboard_target_path(req));
	// s[0] is empty and s[1] is "admin".
	if (s.size() == 4 && s[2] == "pairing" && req.method == "GET") {
		bool known;
		{
			std::lock_guard<std::mutex> guard(d->lock);
			known = d->tenants.count(s[3]) != 0;
		}
		if (!known)
			return reply(res, 404, "{\"error\":\"unknown tenant\"}");
		return reply(res, 200, dashboard_mint_pairing(d, s[3]), "text/plain");
	}
	if (s.size() == 4 && s[2] == "faults" && req.method == "PUT")
		return set_fault(d, s[3], req.body, res);
	if (s.size() == 3 && s[2] == "faults" && req.method == "DELETE") {
		dashboard_clear_faults(d);
		return reply(res, 200, "{\"ok\":true}");
	}
	if ((s.size() == 3 || s.size() == 4) && s[2] == "requests" && req.method == "GET")
		return reply(res, 200, request_listing(d, s.size() == 4 ? s[3] : ""));
	if (s.size() == 4 && s[2] == "arrivals" && req.method == "GET") {
		std::lock_guard<std::mutex> guard(d->lock);
		auto found = d->arrivals.find(s[3]);
		size_t n = found == d->arrivals.end() ? 0 : found->second;
		return reply(res, 200, "{\"arrivals\":" + std::to_string(n) + "}");
	}
	if (s.size() != 5 || s[2] != "tenants")
		return reply(res, 404, "{\"error\":\"not found\"}");

	const std::string &tenant_id = s[3], &what = s[4];
	std::unique_lock<std::mutex> guard(d->lock);
	auto tenant = d->tenants.find(tenant_id);
	if (tenant == d->tenants.end())
		return reply(res, 404, "{\"error\":\"unknown tenant\"}");
	if (req.method == "GET" && (what == "clips" || what == "acks"))
		return reply(res, 200, listing(tenant->second, what));
	if (req.method == "PUT" && what == "settings") {
		if (!json_is_object(req.body))
			return reply(res, 400, "{\"error\":\"need a JSON object\"}");
		tenant->second.settings_json = req.body;
		return reply(res, 200, "{\"ok\":true}");
	}
	if (req.method == "PUT" && what == "key") {
		std::string key;
		if (!json_string_member(req.body, "key", &key) || key.empty())
			return reply(res, 400, "{\"error\":\"need a JSON object with a non-empty key\"}");
		tenant->second.key = key;
		return reply(res, 200, "{\"ok\":true}");
	}
	guard.unlock();
	if (req.method == "POST" && what == "commands")
		return queue_command(d, tenant_id, req.body, res);
	reply(res, 404, "{\"error\":\"not found\"}");
}
