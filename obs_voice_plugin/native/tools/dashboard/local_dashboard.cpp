#include "local_dashboard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>

#include "dashboard_json.h"
#include "dashboard_state.h"

const char DASHBOARD_DEFAULT_SETTINGS[] = "{\"voice_clip_enabled\":false,\"voice_clip_confidence_min\":0.6,"
					  "\"voice_clip_cooldown_seconds\":15,\"voice_clip_allow_mixer_tap\":true}";

// The server library listens with a backlog of 5: a burst of connections
// (acknowledgements sent side by side) overflows it, the kernel drops the
// excess and the clients retry a second later, which no hosted back-end
// does. Listening again on the bound socket raises the backlog.
static void widen_listen_backlog(int port)
{
	for (int fd = 3; fd < 1024; fd++) {
		sockaddr_in address = {};
		socklen_t length = sizeof(address);
		int accepting = 0;
		socklen_t option_length = sizeof(accepting);
		if (getsockname(fd, (sockaddr *)&address, &length) == 0 && address.sin_family == AF_INET &&
		    ntohs(address.sin_port) == port &&
		    getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &option_length) == 0 && accepting) {
			listen(fd, 256);
			return;
		}
	}
}

local_dashboard *dashboard_start(int port)
{
	// An answer written after the client gave up must not kill the process.
	signal(SIGPIPE, SIG_IGN);

	local_dashboard *d = new local_dashboard;
	// A hosted back-end serves many connections at once; the library's
	// default of a few threads would queue a burst of acknowledgements.
	d->server.new_task_queue = [] { return new httplib::ThreadPool(64); };
	if (port == 0) {
		d->port = d->server.bind_to_any_port("127.0.0.1");
	} else if (d->server.bind_to_port("127.0.0.1", port)) {
		d->port = port;
	} else {
		d->port = -1;
	}
	if (d->port <= 0) {
		delete d;
		return nullptr;
	}
	widen_listen_backlog(d->port);

	// Any path: the handlers classify requests themselves, on the raw target.
	const char *any = "[\\s\\S]*";
	auto obs = [d](const httplib::Request &req, httplib::Response &res) {
		if (req.target.rfind("/admin/", 0) == 0)
			dashboard_serve_admin(d, req, res);
		else
			dashboard_serve_obs(d, req, res);
	};
	d->server.Get(any, obs);
	d->server.Post(any, obs);
	d->server.Put(any, obs);
	d->server.Delete(any, obs);
	d->server.Patch(any, obs);

	d->thread = std::thread([d] { d->server.listen_after_bind(); });
	// stop() only works on a listening server.
	while (!d->server.is_running())
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	return d;
}

void dashboard_stop(local_dashboard *d)
{
	if (!d)
		return;
	{
		std::lock_guard<std::mutex> guard(d->lock);
		d->stopping = true;
	}
	d->changed.notify_all();
	d->server.stop();
	d->thread.join();
	delete d;
}

std::string dashboard_base_url(local_dashboard *d)
{
	return "http://127.0.0.1:" + std::to_string(d->port);
}

// A tenant known only through its settings or commands has no key yet, and
// every request for it is refused.
static dashboard_tenant &tenant_locked(local_dashboard *d, const std::string &tenant_id)
{
	auto found = d->tenants.find(tenant_id);
	if (found != d->tenants.end())
		return found->second;
	dashboard_tenant &tenant = d->tenants[tenant_id];
	tenant.settings_json = DASHBOARD_DEFAULT_SETTINGS;
	return tenant;
}

void dashboard_add_tenant(local_dashboard *d, const std::string &tenant_id, const std::string &key)
{
	std::lock_guard<std::mutex> guard(d->lock);
	tenant_locked(d, tenant_id).key = key;
}

std::string dashboard_mint_pairing(local_dashboard *d, const std::string &tenant_id, bool with_url)
{
	std::string key;
	{
		std::lock_guard<std::mutex> guard(d->lock);
		auto found = d->tenants.find(tenant_id);
		if (found != d->tenants.end())
			key = found->second.key;
	}
	std::string json = "{";
	if (with_url)
		json += "\"url\":" + json_quote(dashboard_base_url(d)) + ",";
	json += "\"tenant_id\":" + json_quote(tenant_id) + ",\"key\":" + json_quote(key) + "}";
	return base64_encode(json);
}

void dashboard_set_settings(local_dashboard *d, const std::string &tenant_id, const std::string &json)
{
	std::lock_guard<std::mutex> guard(d->lock);
	tenant_locked(d, tenant_id).settings_json = json;
}

void dashboard_queue_command(local_dashboard *d, const std::string &tenant_id, const std::string &id,
			     const std::string &action, const std::string *target)
{
	dashboard_command command;
	command.id = id;
	command.action = action;
	command.has_target = target != nullptr;
	if (target)
		command.target = *target;
	std::lock_guard<std::mutex> guard(d->lock);
	tenant_locked(d, tenant_id).queue.push_back(command);
}

void dashboard_set_commands_body(local_dashboard *d, const std::string &tenant_id, const std::string *json)
{
	std::lock_guard<std::mutex> guard(d->lock);
	dashboard_tenant &tenant = tenant_locked(d, tenant_id);
	tenant.has_commands_body = json != nullptr;
	tenant.commands_body = json ? *json : std::string();
}

std::vector<dashboard_request> dashboard_requests(local_dashboard *d, const std::string &endpoint)
{
	std::lock_guard<std::mutex> guard(d->lock);
	std::vector<dashboard_request> out;
	for (const dashboard_request &request : d->requests)
		if (endpoint.empty() || request.endpoint == endpoint)
			out.push_back(request);
	return out;
}

static size_t count_locked(local_dashboard *d, const std::string &endpoint)
{
	size_t n = 0;
	for (const dashboard_request &request : d->requests)
		n += endpoint.empty() || request.endpoint == endpoint;
	return n;
}

size_t dashboard_count(local_dashboard *d, const std::string &endpoint)
{
	std::lock_guard<std::mutex> guard(d->lock);
	return count_locked(d, endpoint);
}

bool dashboard_wait_count(local_dashboard *d, const std::string &endpoint, size_t n, int timeout_ms)
{
	std::unique_lock<std::mutex> guard(d->lock);
	return d->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
				   [&] { return count_locked(d, endpoint) >= n; });
}

bool dashboard_wait_arrivals(local_dashboard *d, const std::string &endpoint, size_t n, int timeout_ms)
{
	std::unique_lock<std::mutex> guard(d->lock);
	return d->changed.wait_for(guard, std::chrono::milliseconds(timeout_ms),
				   [&] { return d->arrivals[endpoint] >= n; });
}

void dashboard_clear_requests(local_dashboard *d)
{
	std::lock_guard<std::mutex> guard(d->lock);
	d->requests.clear();
	d->arrivals.clear();
}

void dashboard_set_fault(local_dashboard *d, const std::string &endpoint, const dashboard_fault &fault)
{
	std::lock_guard<std::mutex> guard(d->lock);
	d->faults[endpoint] = fault;
}

void dashboard_clear_faults(local_dashboard *d)
{
	std::lock_guard<std::mutex> guard(d->lock);
	d->faults.clear();
}
