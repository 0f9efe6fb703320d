#pragma once

// The dashboard's state, shared by its route handlers. Everything below the
// server is guarded by `lock`.

#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include <httplib.h>

#include "local_dashboard.h"

struct dashboard_command {
	std::string id, action;
	bool has_target = false;
	std::string target;
};

struct dashboard_ack {
	std::string id;
	std::string body;
};

struct dashboard_tenant {
	std::string key;
	std::string settings_json;
	std::vector<dashboard_command> queue; // not yet acknowledged, in queue order
	bool has_commands_body = false;
	std::string commands_body;
	std::vector<std::string> clips; // clip trigger bodies
	std::vector<dashboard_ack> acks;
};

struct local_dashboard {
	httplib::Server server;
	std::thread thread;
	int port = 0;

	std::mutex lock;
	std::condition_variable changed; // a request recorded, or stopping
	bool stopping = false;
	std::map<std::string, dashboard_tenant> tenants;
	std::vector<dashboard_request> requests;
	std::map<std::string, size_t> arrivals; // requests per endpoint, counted as they arrive
	std::map<std::string, dashboard_fault> faults;
	std::minstd_rand random; // fault delays in a range
};

// Route handlers: the plug-in's API under /obs/, the admin API under /admin/.
void dashboard_serve_obs(local_dashboard *d, const httplib::Request &req, httplib::Response &res);
void dashboard_serve_admin(local_dashboard *d, const httplib::Request &req, httplib::Response &res);

// The request target's path, without the query, split at "/" (not decoded).
std::vector<std::string> dashboard_path_segments(const std::string &path);
std::string dashboard_target_path(const httplib::Request &req);

// The "commands" answer of a tenant. Caller holds the lock.
std::string dashboard_commands_answer(const dashboard_tenant &tenant);
