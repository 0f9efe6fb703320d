#include "backend_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <curl/curl.h>
#include <util/base.h>

namespace {

// libcurl's global state, set up once per test program as the module does.
class curl_environment : public ::testing::Environment {
public:
	void SetUp() override { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
	void TearDown() override { curl_global_cleanup(); }
};

::testing::Environment *const curl_env = ::testing::AddGlobalTestEnvironment(new curl_environment);

} // namespace

captured_log::captured_log()
{
	base_set_log_handler(handler, this);
}

captured_log::~captured_log()
{
	base_set_log_handler(nullptr, nullptr);
}

std::vector<log_line> captured_log::lines()
{
	std::lock_guard<std::mutex> guard(lock_);
	return lines_;
}

std::vector<log_line> captured_log::matching(const std::string &text)
{
	std::vector<log_line> out;
	for (const log_line &line : lines())
		if (line.text.find(text) != std::string::npos)
			out.push_back(line);
	return out;
}

void captured_log::handler(int level, const char *format, va_list args, void *param)
{
	auto *self = static_cast<captured_log *>(param);
	char text[4096];
	vsnprintf(text, sizeof(text), format, args);
	std::lock_guard<std::mutex> guard(self->lock_);
	self->lines_.push_back({level, text});
}

void dashboard_test::SetUp()
{
	dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, TENANT, KEY);
	base_url = dashboard_base_url(dashboard);
	endpoints = backend_endpoints_create(base_url.c_str(), TENANT, KEY);
}

void dashboard_test::TearDown()
{
	backend_endpoints_destroy(endpoints);
	dashboard_stop(dashboard);
}

closed_port::closed_port()
{
	// Bound but not listening: connections are refused at once.
	socket_ = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address = {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof(address);
	if (socket_ >= 0 && bind(socket_, (sockaddr *)&address, sizeof(address)) == 0 &&
	    getsockname(socket_, (sockaddr *)&address, &length) == 0)
		port_ = ntohs(address.sin_port);
}

closed_port::~closed_port()
{
	if (socket_ >= 0)
		close(socket_);
}

std::string closed_port::base_url() const
{
	return "http://127.0.0.1:" + std::to_string(port_);
}

std::map<std::string, std::string> json_members(const std::string &json)
{
	std::map<std::string, std::string> members;
	obs_data_t *data = obs_data_create_from_json(json.c_str());
	if (!data)
		return {{"<not json>", json}};
	for (obs_data_item_t *item = obs_data_first(data); item; obs_data_item_next(&item)) {
		std::string value;
		switch (obs_data_item_gettype(item)) {
		case OBS_DATA_STRING:
			value = obs_data_item_get_string(item);
			break;
		case OBS_DATA_NUMBER: {
			char text[64];
			snprintf(text, sizeof(text), "%.17g", obs_data_item_get_double(item));
			value = text;
			break;
		}
		default:
			value = "<other>";
		}
		members[obs_data_item_get_name(item)] = value;
	}
	obs_data_release(data);
	return members;
}

std::string padded_json(const std::string &prefix, size_t size)
{
	std::string head = "{" + prefix + (prefix.empty() ? "" : ",") + "\"pad\":\"";
	std::string tail = "\"}";
	return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}
