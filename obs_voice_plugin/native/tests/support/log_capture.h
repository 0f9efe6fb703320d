#pragma once

// Captures blog output in processes that do not start libobs.

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include <util/base.h>

struct log_capture {
	std::mutex lock;
	std::vector<std::string> lines;

	log_capture() { base_set_log_handler(handler, this); }
	~log_capture() { base_set_log_handler(nullptr, nullptr); }

	size_t count(const std::string &needle)
	{
		std::lock_guard<std::mutex> guard(lock);
		size_t n = 0;
		for (const auto &line : lines)
			n += line.find(needle) != std::string::npos;
		return n;
	}

	size_t plugin_lines()
	{
		return count("[tollivaren-voice] ");
	}

	void clear()
	{
		std::lock_guard<std::mutex> guard(lock);
		lines.clear();
	}

	static void handler(int, const char *format, va_list args, void *param)
	{
		auto *self = static_cast<log_capture *>(param);
		char buf[4096];
		vsnprintf(buf, sizeof(buf), format, args);
		std::lock_guard<std::mutex> guard(self->lock);
		self->lines.emplace_back(buf);
	}
};
