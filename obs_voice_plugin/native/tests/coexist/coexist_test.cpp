// The plug-in beside another module that brings a different ONNX Runtime
// release under the generic soname libonnxruntime.so.1, opened first (the
// loader then has a libonnxruntime.so.1 in memory before ours asks for its
// runtime). With TV_COEXIST_GLOBAL set, that runtime is also put in the
// process's global scope first, where every later symbol lookup looks before
// a module's own libraries. Either way both modules must work, each with its
// own runtime.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <local_dashboard.h>

#include "host_environment.h"
#include "speech.h"

namespace fs = std::filesystem;

namespace {

const fs::path other_bin = fs::path(TV_OTHER_MODULE_ROOT) / "bin/64bit";
const fs::path our_bin = fs::path(TV_MODULE_PATH).parent_path();

int collect_runtime(dl_phdr_info *info, size_t, void *out)
{
	const fs::path object = info->dlpi_name ? info->dlpi_name : "";
	if (object.filename().string().find("onnxruntime") != std::string::npos)
		static_cast<std::vector<fs::path> *>(out)->push_back(fs::canonical(object));
	return 0;
}

// Every ONNX Runtime library mapped into the process.
std::vector<fs::path> mapped_runtimes()
{
	std::vector<fs::path> runtimes;
	dl_iterate_phdr(collect_runtime, &runtimes);
	return runtimes;
}

// The text after "<prefix>" in the one log line that has it.
std::string log_rest(const std::string &prefix)
{
	std::string rest;
	size_t found = 0;
	for (const std::string &line : obs_host_log_lines())
		if (line.rfind(prefix, 0) == 0) {
			rest = line.substr(prefix.size());
			found++;
		}
	EXPECT_EQ(found, 1u) << prefix;
	return rest;
}

class coexist_environment : public ::testing::Environment {
public:
	void SetUp() override
	{
		if (getenv("TV_COEXIST_GLOBAL")) {
			const fs::path runtime = other_bin / "libonnxruntime.so.1";
			ASSERT_NE(dlopen(runtime.c_str(), RTLD_NOW | RTLD_GLOBAL), nullptr) << dlerror();
		}
		obs_host_options options;
		options.modules_before.push_back(
			{(other_bin / "other-onnx.so").string(), std::string(TV_OTHER_MODULE_ROOT) + "/data", "other-onnx"});
		options.module_path = TV_MODULE_PATH;
		options.data_path = TV_PLUGIN_DATA_DIR;
		options.echo_log = getenv("TV_ECHO_LOG") != nullptr;
		ASSERT_TRUE(obs_host_start(options)) << "host did not start; log:\n" << [] {
			std::string all;
			for (const auto &line : obs_host_log_lines())
				all += line + "\n";
			return all;
		}();
	}

	void TearDown() override
	{
		obs_host_shutdown();
		EXPECT_EQ(obs_host_log_count("[tollivaren-voice] unloaded"), 1u);
		EXPECT_EQ(bnum_allocs(), 0) << "host allocations left after shutdown";
	}
};

auto *const environment = ::testing::AddGlobalTestEnvironment(new coexist_environment);

TEST(coexist, each_module_runs_on_its_own_runtime)
{
	// The other module got its 1.20.1 and ran its model before and after ours loaded.
	EXPECT_EQ(log_rest("[other-onnx] ONNX Runtime "), "1.20.1");
	std::string at_load = log_rest("[other-onnx] load: ");
	EXPECT_EQ(at_load.rfind("melspectrogram gave ", 0), 0u) << at_load;
	EXPECT_EQ(log_rest("[other-onnx] post-load: "), at_load);

	// Ours called into its own copy, not into the one loaded first.
	EXPECT_EQ(log_rest("[tollivaren-voice] ONNX Runtime "), TV_ORT_VERSION);

	std::vector<fs::path> runtimes = mapped_runtimes();
	ASSERT_EQ(runtimes.size(), 2u);
	std::sort(runtimes.begin(), runtimes.end(), [](const fs::path &a, const fs::path &b) {
		return a.filename() < b.filename();
	});
	EXPECT_EQ(runtimes[0], fs::canonical(other_bin / "libonnxruntime.so.1"));
	EXPECT_EQ(runtimes[1], fs::canonical(our_bin / TV_ORT_PRIVATE_NAME));
}

TEST(coexist, our_filter_hears_the_phrase_beside_the_other_runtime)
{
	local_dashboard *dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, "beside", "coexist-key");
	dashboard_set_settings(dashboard, "beside",
			       R"({"voice_clip_enabled":true,"voice_clip_confidence_min":0.6,"voice_clip_cooldown_seconds":15})");
	obs_source_t *input = obs_host_create_audio_input("coexist mic");
	obs_data_t *s = obs_data_create();
	obs_data_set_string(s, "pairing", dashboard_mint_pairing(dashboard, "beside").c_str());
	obs_data_set_string(s, "source_class", "mic");
	obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", s);
	obs_data_release(s);
	ASSERT_NE(filter, nullptr);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"), 1u);
	// Voice clips stay off until the first settings answer has landed.
	ASSERT_TRUE(dashboard_wait_count(dashboard, "ping", 1, 5000));
	std::this_thread::sleep_for(std::chrono::milliseconds(300));

	wav_audio phrase;
	ASSERT_TRUE(speech_make("tollivaren clip it", "-v en-us+f3 -s 140", &phrase));
	host_audio_stream stream;
	host_audio_stream_begin(&stream, input);
	host_audio_stream_push(&stream, speech_padded(phrase, 2.0, 1.5), 1024, false);
	// Generous: the upload runs on the worker thread of a busy 2-core machine.
	ASSERT_TRUE(dashboard_wait_count(dashboard, "voice-command", 1, 10000));
	obs_data_t *body = obs_data_create_from_json(dashboard_requests(dashboard, "voice-command")[0].body.c_str());
	ASSERT_NE(body, nullptr);
	EXPECT_GE(obs_data_get_double(body, "confidence"), 0.6);
	obs_data_release(body);

	obs_source_filter_remove(input, filter);
	obs_source_release(filter);
	obs_source_release(input);
	obs_host_flush_destroyed();
	dashboard_stop(dashboard);
}

} // namespace
