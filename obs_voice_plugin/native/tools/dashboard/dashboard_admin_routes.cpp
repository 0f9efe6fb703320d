// The admin API, without a key, for driving the dashboard by hand or from a
// demo script:
//   POST /admin/tenants/<t>/commands  {"id","action","target"}  queues a command
//   PUT  /admin/tenants/<t>/settings  <json>                    sets the ping answer
//   GET  /admin/tenants/<t>/clips     JSON array of the clip trigger bodies
//   GET  /admin/tenants/<t>/acks      [{"id","status","error"}]
//   GET  /admin/pairing/<t>           the pairing string

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
	guard.unlock();
	if (req.method == "POST" && what == "commands")
		return queue_command(d, tenant_id, req.body, res);
	reply(res, 404, "{\"error\":\"not found\"}");
}
