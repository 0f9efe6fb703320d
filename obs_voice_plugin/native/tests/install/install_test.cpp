// scripts/install.sh into a temporary HOME: exactly the files OBS needs, in
// both plug-in folders, and the installed module loads from there with its
// data directory (locale and models) found.
#include <algorithm>
#include <filesystem>
#include <set>

#include <local_dashboard.h>

#include <obs_host.h>
#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

const fs::path home = fs::temp_directory_path() / ("tv-install-home-" + std::to_string(getpid()));

int run_install(const std::string &args)
{
	std::string command = "HOME='" + home.string() + "' XDG_DATA_HOME= XDG_CONFIG_HOME= TV_BUILD_DIR='" TV_BINARY_DIR
			      "' bash '" TV_SOURCE_DIR "/scripts/install.sh' " + args + " >/dev/null";
	return system(command.c_str());
}

std::set<std::string> files_under(const fs::path &dir)
{
	std::set<std::string> files;
	for (const auto &entry : fs::recursive_directory_iterator(dir))
		if (!entry.is_directory())
			files.insert(fs::relative(entry.path(), dir).string());
	return files;
}

class install_test : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_EQ(run_install(""), 0); }
	static void TearDownTestSuite() { fs::remove_all(home); }
};

TEST_F(install_test, lays_out_the_plugin_in_both_obs_folders)
{
	for (const fs::path &root : {home / ".local/share/obs-studio/plugins/tollivaren-voice",
				    home / ".config/obs-studio/plugins/tollivaren-voice"}) {
		ASSERT_TRUE(fs::is_directory(root)) << root;
		std::set<std::string> files = files_under(root);
		for (const char *needed : {"bin/64bit/tollivaren-voice.so", "bin/64bit/" TV_ORT_PRIVATE_NAME,
					   "bin/64bit/wake-score", "data/locale/en-US.ini",
					   "data/models/melspectrogram.onnx", "data/models/embedding_model.onnx",
					   "data/models/tollivaren_clip_it.onnx", "data/models/voice_bank.tvnb"})
			EXPECT_EQ(files.count(needed), 1u) << root << " lacks " << needed;
		for (const auto &file : files) {
			// The test-only classifier is never shipped.
			EXPECT_EQ(file.find("hey_jarvis"), std::string::npos) << file;
		}
		EXPECT_EQ(files.size(), 8u);
	}
}

TEST_F(install_test, installed_module_loads_and_finds_its_models)
{
	const fs::path root = home / ".local/share/obs-studio/plugins/tollivaren-voice";
	local_dashboard *dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, "installed", "k-installed");

	obs_host_options options;
	options.module_path = (root / "bin/64bit/tollivaren-voice.so").string();
	options.data_path = (root / "data").string();
	ASSERT_TRUE(obs_host_start(options));
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] loaded v"), 1u);
	EXPECT_STREQ(obs_source_get_display_name("tollivaren_voice_filter"), "Tollivaren Voice Clip");

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "pairing", dashboard_mint_pairing(dashboard, "installed").c_str());
	obs_source_t *input = obs_host_create_audio_input("mic");
	obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", settings);
	obs_data_release(settings);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"), 1u);

	obs_source_filter_remove(input, filter);
	obs_source_release(filter);
	obs_source_release(input);
	obs_host_flush_destroyed();
	obs_host_shutdown();
	dashboard_stop(dashboard);
}

TEST_F(install_test, uninstall_removes_both_folders)
{
	ASSERT_EQ(run_install("--uninstall"), 0);
	EXPECT_FALSE(fs::exists(home / ".local/share/obs-studio/plugins/tollivaren-voice"));
	EXPECT_FALSE(fs::exists(home / ".config/obs-studio/plugins/tollivaren-voice"));
}

} // namespace
