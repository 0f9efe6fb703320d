// tollivaren-dashboard: serves the local dashboard until interrupted.
//   tollivaren-dashboard [--port N] --tenant ID --key KEY [--tenant ID --key KEY ...]

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "local_dashboard.h"

static volatile sig_atomic_t stop_requested = 0;

static void request_stop(int)
{
	stop_requested = 1;
}

static int usage(const char *program)
{
	fprintf(stderr, "usage: %s [--port N] --tenant ID --key KEY [--tenant ID --key KEY ...]\n", program);
	return 2;
}

int main(int argc, char **argv)
{
	int port = 0;
	std::vector<std::pair<std::string, std::string>> tenants;
	for (int i = 1; i < argc; i++) {
		const char *option = argv[i];
		if (i + 1 >= argc)
			return usage(argv[0]);
		const char *value = argv[++i];
		if (strcmp(option, "--port") == 0) {
			char *end = nullptr;
			long parsed = strtol(value, &end, 10);
			if (*end || parsed < 0 || parsed > 65535)
				return usage(argv[0]);
			port = (int)parsed;
		} else if (strcmp(option, "--tenant") == 0) {
			tenants.emplace_back(value, "");
		} else if (strcmp(option, "--key") == 0 && !tenants.empty() && tenants.back().second.empty()) {
			tenants.back().second = value;
		} else {
			return usage(argv[0]);
		}
	}
	if (tenants.empty())
		return usage(argv[0]);
	for (const auto &tenant : tenants)
		if (tenant.second.empty())
			return usage(argv[0]);

	local_dashboard *d = dashboard_start(port);
	if (!d) {
		fprintf(stderr, "cannot listen on 127.0.0.1:%d\n", port);
		return 1;
	}
	for (const auto &tenant : tenants)
		dashboard_add_tenant(d, tenant.first, tenant.second);

	printf("dashboard: %s\n", dashboard_base_url(d).c_str());
	for (const auto &tenant : tenants)
		printf("pairing: %s\n", dashboard_mint_pairing(d, tenant.first).c_str());
	fflush(stdout);

	signal(SIGINT, request_stop);
	signal(SIGTERM, request_stop);
	while (!stop_requested)
		usleep(100 * 1000);
	dashboard_stop(d);
	return 0;
}
