#pragma once

// Helpers for the detector tests: captured host log lines, throw-away model
// folders made of symbolic links, and the tiny stand-in models.

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <util/base.h>
#include <util/bmem.h>

#include "detector/detector_pass.h"

namespace fs = std::filesystem;

// Collects every blog line while it lives (libobs logging works without obs_startup).
class log_capture {
public:
	log_capture()
	{
		base_get_log_handler(&previous_, &previous_param_);
		base_set_log_handler(&log_capture::handle, this);
	}
	~log_capture() { base_set_log_handler(previous_, previous_param_); }

	std::vector<std::string> lines;

	std::vector<std::string> matching(const std::string &prefix) const
	{
		std::vector<std::string> found;
		for (const std::string &line : lines)
			if (line.compare(0, prefix.size(), prefix) == 0)
				found.push_back(line);
		return found;
	}

private:
	static void handle(int, const char *format, va_list args, void *param)
	{
		char text[4096];
		vsnprintf(text, sizeof(text), format, args);
		static_cast<log_capture *>(param)->lines.emplace_back(text);
	}

	log_handler_t previous_ = nullptr;
	void *previous_param_ = nullptr;
};

// A fresh folder under the system temp folder, removed with its contents.
class temp_dir {
public:
	temp_dir()
	{
		std::string pattern = (fs::temp_directory_path() / "tv-detector-XXXXXX").string();
		if (mkdtemp(pattern.data()))
			path_ = pattern;
	}
	~temp_dir()
	{
		std::error_code ignored;
		if (!path_.empty())
			fs::remove_all(path_, ignored);
	}
	temp_dir(const temp_dir &) = delete;
	temp_dir &operator=(const temp_dir &) = delete;

	const std::string &path() const { return path_; }
	std::string file(const std::string &name) const { return path_ + "/" + name; }

	// Makes `name` in this folder a link to `target`.
	void link(const std::string &name, const std::string &target) const
	{
		std::error_code error;
		fs::create_symlink(target, file(name), error);
		EXPECT_FALSE(error) << "cannot link " << name << " -> " << target << ": " << error.message();
	}

private:
	std::string path_;
};

inline std::string real_model(const std::string &file)
{
	return std::string(TV_OWW_MODELS_DIR) + "/" + file;
}

// The stand-ins of make_tiny_models.py, written once per test process.
inline const std::string &tiny_models_dir()
{
	static temp_dir dir;
	static bool made = false;
	if (!made && !dir.path().empty()) {
		std::string command = std::string(TV_ONNX_PYTHON) + " " TV_DETECTOR_TEST_DIR "/make_tiny_models.py " +
				      dir.path();
		made = std::system(command.c_str()) == 0;
	}
	static const std::string none;
	return made ? dir.path() : none;
}

inline std::string tiny_model(const std::string &name)
{
	return tiny_models_dir() + "/" + name + ".onnx";
}

// A models folder holding melspectrogram.onnx, embedding_model.onnx and
// <classifier_name>.onnx as links to the given files.
struct model_set {
	temp_dir dir;

	model_set(const std::string &mel, const std::string &embedding, const std::string &classifier,
		  const std::string &classifier_name = "test_classifier")
	{
		dir.link("melspectrogram.onnx", mel);
		dir.link("embedding_model.onnx", embedding);
		dir.link(classifier_name + ".onnx", classifier);
	}
};

// Frees the detector at the end of the scope.
struct detector_guard {
	wake_detector *detector;
	explicit detector_guard(wake_detector *d) : detector(d) {}
	~detector_guard() { wake_detector_destroy(detector); }
	detector_guard(const detector_guard &) = delete;
	detector_guard &operator=(const detector_guard &) = delete;
	wake_detector *operator->() const { return detector; }
};
