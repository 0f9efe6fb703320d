#pragma once

// Shared by the back-end client tests: log capture, and a local dashboard
// with one tenant and the plug-in's endpoints for it.

#include <cstdarg>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <backend/pairing.h>
#include <local_dashboard.h>

struct log_line {
	int level;
	std::string text;
};

// Captures every blog line while it lives. Thread-safe.
class captured_log {
public:
	captured_log();
	~captured_log();
	std::vector<log_line> lines();
	// Lines that contain the text.
	std::vector<log_line> matching(const std::string &text);

private:
	static void handler(int level, const char *format, va_list args, void *param);
	std::mutex lock_;
	std::vector<log_line> lines_;
};

class dashboard_test : public ::testing::Test {
protected:
	static constexpr const char *TENANT = "t1";
	static constexpr const char *KEY = "k-secret";

	void SetUp() override;
	void TearDown() override;

	local_dashboard *dashboard = nullptr;
	backend_endpoints *endpoints = nullptr;
	std::string base_url;
};

// An endpoint set for a port on 127.0.0.1 where nothing listens, kept
// reserved while it lives.
class closed_port {
public:
	closed_port();
	~closed_port();
	std::string base_url() const;
	int port() const { return port_; }

private:
	int socket_ = -1;
	int port_ = 0;
};

// The members of a JSON object text, values as text (numbers through
// double precision, strings as they are), for comparing bodies whose member
// order is the host's business.
std::map<std::string, std::string> json_members(const std::string &json);

// A JSON object text of exactly `size` bytes: `prefix` members, then padding.
std::string padded_json(const std::string &prefix, size_t size);
