// The plug-in key over TLS: a pairing whose URL is https:// and a server
// whose certificate nobody signed. Every request must stop at the handshake
// with a certificate warning, and the key must never cross the wire, neither
// in clear nor at all. A recording proxy in front of the server keeps every
// byte the plug-in sent.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <util/bmem.h>

#include <backend/command_requests.h>
#include <backend/pairing.h>
#include <backend/voice_requests.h>
#include <dashboard_json.h>
#include <local_dashboard.h>

#include "log_capture.h"
#include "raw_servers.h"

namespace fs = std::filesystem;

namespace {

const char KEY[] = "tls-secret-key-0a1b2c3d";

struct seen_request {
	std::string method, path, key;
};

// An HTTPS server with a self-signed certificate for 127.0.0.1, made with
// openssl for this run, that records whatever request reaches it.
class self_signed_server {
public:
	self_signed_server()
	{
		dir_ = fs::temp_directory_path() / ("tv-tls-" + std::to_string(getpid()));
		fs::create_directories(dir_);
		const std::string cert = (dir_ / "cert.pem").string(), key = (dir_ / "key.pem").string();
		const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
					    " -days 1 -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1"
					    " -keyout '" + key + "' -out '" + cert + "' >/dev/null 2>&1";
		if (system(command.c_str()) != 0)
			return;
		server_ = std::make_unique<httplib::SSLServer>(cert.c_str(), key.c_str());
		if (!server_->is_valid())
			return;
		auto record = [this](const httplib::Request &req, httplib::Response &res) {
			std::lock_guard<std::mutex> guard(lock_);
			seen_.push_back({req.method, req.path, req.get_header_value("X-Tollivaren-Plugin-Key")});
			res.set_content("{}", "application/json");
		};
		server_->Get(".*", record);
		server_->Post(".*", record);
		port_ = server_->bind_to_any_port("127.0.0.1");
		thread_ = std::thread([this] { server_->listen_after_bind(); });
		while (port_ > 0 && !server_->is_running())
			std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}

	~self_signed_server()
	{
		if (thread_.joinable()) {
			server_->stop();
			thread_.join();
		}
		fs::remove_all(dir_);
	}

	int port() const { return port_; }
	std::vector<seen_request> seen()
	{
		std::lock_guard<std::mutex> guard(lock_);
		return seen_;
	}

private:
	fs::path dir_;
	std::unique_ptr<httplib::SSLServer> server_;
	std::thread thread_;
	int port_ = 0;
	std::mutex lock_;
	std::vector<seen_request> seen_;
};

size_t drop_answer(char *, size_t size, size_t count, void *)
{
	return size * count;
}

// A GET with the key header through libcurl with verification off: proof
// that the rig sees a key when one is sent.
long insecure_get(const std::string &url)
{
	CURL *curl = curl_easy_init();
	curl_slist *headers = curl_slist_append(nullptr, (std::string("X-Tollivaren-Plugin-Key: ") + KEY).c_str());
	curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
	curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
	curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
	curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
	curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, drop_answer);
	curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
	long status = 0;
	if (curl_easy_perform(curl) == CURLE_OK)
		curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
	curl_slist_free_all(headers);
	curl_easy_cleanup(curl);
	return status;
}

class tls_secrets : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_EQ(curl_global_init(CURL_GLOBAL_ALL), CURLE_OK); }
	static void TearDownTestSuite() { curl_global_cleanup(); }
};

} // namespace

TEST_F(tls_secrets, unverifiable_certificate_stops_every_request_before_the_key_is_sent)
{
	self_signed_server server;
	ASSERT_GT(server.port(), 0) << "no TLS server (openssl missing?)";
	recording_proxy proxy(server.port());
	ASSERT_NE(proxy.port(), 0);

	long allocs = bnum_allocs();
	const std::string url = "https://127.0.0.1:" + std::to_string(proxy.port()) + "/";
	const std::string pairing =
		base64_encode("{\"url\":\"" + url + "\",\"tenant_id\":\"tls-tenant\",\"key\":\"" + KEY + "\"}");
	pairing_info info;
	ASSERT_TRUE(pairing_decode(pairing.c_str(), nullptr, &info));
	backend_endpoints *endpoints = backend_endpoints_create(info.url, info.tenant_id, info.key);
	pairing_info_clear(&info);
	EXPECT_EQ(std::string(endpoints->ping_url),
		  "https://127.0.0.1:" + std::to_string(proxy.port()) + "/obs/tls-tenant/ping");

	log_capture log;
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_EQ(backend_post_clip(endpoints, 0.9f, "tollivaren clip it", "mic", nullptr), 0);
	control_command commands[2];
	EXPECT_EQ(backend_poll_commands(endpoints, commands, 2), -1);
	backend_ack_command(endpoints, "c1", "done", nullptr);
	backend_endpoints_destroy(endpoints);
	EXPECT_EQ(bnum_allocs(), allocs);

	const std::string reason = curl_easy_strerror(CURLE_PEER_FAILED_VERIFICATION);
	EXPECT_EQ(log.count("[tollivaren-voice] ping failed: " + reason), 1u);
	EXPECT_EQ(log.count("[tollivaren-voice] clip POST failed: " + reason), 1u);
	EXPECT_EQ(log.count("[tollivaren-voice] commands poll failed: " + reason), 1u);
	EXPECT_EQ(log.count("[tollivaren-voice] command ack failed: " + reason), 1u);
	EXPECT_EQ(log.plugin_lines(), 4u);
	EXPECT_EQ(log.count(KEY), 0u);

	// Four handshakes were tried, and no request got through them.
	EXPECT_EQ(proxy.connections(), 4);
	EXPECT_TRUE(server.seen().empty());
	const std::string wire = proxy.client_bytes();
	ASSERT_FALSE(wire.empty());
	EXPECT_EQ((unsigned char)wire[0], 0x16) << "not a TLS handshake";
	EXPECT_EQ(wire.find(KEY), std::string::npos) << "the key crossed the wire";
	EXPECT_EQ(wire.find("X-Tollivaren-Plugin-Key"), std::string::npos);
	EXPECT_EQ(wire.find("/obs/"), std::string::npos);

	// The same rig with verification off does carry a key to the server.
	EXPECT_EQ(insecure_get("https://127.0.0.1:" + std::to_string(proxy.port()) + "/obs/tls-tenant/ping"), 200);
	auto seen = server.seen();
	ASSERT_EQ(seen.size(), 1u);
	EXPECT_EQ(seen[0].key, KEY);
	EXPECT_EQ(proxy.client_bytes().find(KEY), std::string::npos) << "sent in clear even over TLS";
}

// A redirect to another server is an answer, never followed: the key header
// goes nowhere but to the paired URL.
TEST_F(tls_secrets, redirect_elsewhere_never_carries_the_key)
{
	local_dashboard *paired = dashboard_start();
	local_dashboard *elsewhere = dashboard_start();
	ASSERT_NE(paired, nullptr);
	ASSERT_NE(elsewhere, nullptr);
	dashboard_add_tenant(paired, "t", KEY);
	dashboard_add_tenant(elsewhere, "t", KEY);
	const std::string away = dashboard_base_url(elsewhere) + "/obs/t/";
	for (const char *endpoint : {"ping", "voice-command", "commands", "ack"}) {
		dashboard_fault fault;
		fault.status = 307;
		fault.location = away + endpoint;
		dashboard_set_fault(paired, endpoint, fault);
	}
	backend_endpoints *endpoints = backend_endpoints_create(dashboard_base_url(paired).c_str(), "t", KEY);
	log_capture log;
	tenant_settings settings;
	EXPECT_FALSE(backend_ping(endpoints, &settings));
	EXPECT_EQ(backend_post_clip(endpoints, 0.9f, nullptr, "mic", nullptr), 307);
	control_command commands[2];
	EXPECT_EQ(backend_poll_commands(endpoints, commands, 2), -1);
	backend_ack_command(endpoints, "c1", "done", nullptr);
	backend_endpoints_destroy(endpoints);

	EXPECT_EQ(dashboard_count(paired, ""), 4u);
	EXPECT_EQ(dashboard_count(elsewhere, ""), 0u);
	EXPECT_EQ(log.plugin_lines(), 0u);
	dashboard_stop(paired);
	dashboard_stop(elsewhere);
}
