#pragma once

// What every back-end fault scenario shares: one local dashboard per test
// program, a tenant and an endpoint set per test, and the checks each
// scenario ends with: the back-end, behaving again, is served at once; every
// host allocation is back; the plug-in key never reached the log.

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include <backend/pairing.h>
#include <local_dashboard.h>

#include "log_capture.h"

// Seconds that fn() took.
template<typename F> double seconds_of(F fn)
{
	auto start = std::chrono::steady_clock::now();
	fn();
	return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// libcurl's text for a code, as the transport warnings quote it.
std::string curl_text(int code);

class backend_fault_test : public ::testing::Test {
protected:
	static constexpr const char *KEY = "fault-key-7f3a9c";

	static void SetUpTestSuite();
	static void TearDownTestSuite();
	void SetUp() override;
	void TearDown() override;

	// The four requests against the behaving dashboard: each gets its answer.
	void expect_recovered();
	void set_fault(const std::string &endpoint, const dashboard_fault &fault);
	void set_commands_body(const std::string &json);
	// Warnings logged since the test began that contain the text.
	size_t warnings(const std::string &text);

	static local_dashboard *dashboard;
	static std::string base_url;
	std::string tenant;
	backend_endpoints *endpoints = nullptr;
	log_capture log;

private:
	long allocs_before_ = 0;
};
