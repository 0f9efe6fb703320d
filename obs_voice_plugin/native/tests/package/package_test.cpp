// scripts/make_deb.sh's package: exactly the plug-in's files at the paths
// where Debian's OBS looks for system plug-ins, Depends that hold here and
// on Debian's 64-bit time_t names, installed by dpkg into a throwaway root,
// the module loaded from there with its data and private runtime, the score
// tool run from there, and nothing left once the package is purged.
#include <array>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <set>

#include <local_dashboard.h>

#include <obs_host.h>
#include <gtest/gtest.h>

#include "speech.h"

namespace fs = std::filesystem;

namespace {

const fs::path work = fs::temp_directory_path() / ("tv-package-" + std::to_string(getpid()));
const fs::path root = work / "root";
const std::string LIB = "usr/lib/" TV_MULTIARCH;
const std::string DATA = "usr/share/obs/obs-plugins/tollivaren-voice";
const std::set<std::string> FILES = {
	LIB + "/obs-plugins/tollivaren-voice.so",
	LIB + "/tollivaren-voice/" TV_ORT_PRIVATE_NAME,
	LIB + "/tollivaren-voice/wake-score",
	DATA + "/locale/en-US.ini",
	DATA + "/models/melspectrogram.onnx",
	DATA + "/models/embedding_model.onnx",
	DATA + "/models/tollivaren_clip_it.onnx",
	DATA + "/models/voice_bank.tvnb",
};

// Runs a shell command; its standard output, and its exit status in *status.
std::string run(const std::string &command, int *status = nullptr)
{
	std::string out;
	FILE *pipe = popen(command.c_str(), "r");
	if (!pipe)
		return out;
	std::array<char, 4096> buf;
	size_t n;
	while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
		out.append(buf.data(), n);
	int rc = pclose(pipe);
	if (status)
		*status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
	return out;
}

std::vector<std::string> lines_of(const std::string &text)
{
	std::vector<std::string> lines;
	size_t start = 0;
	for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
		lines.push_back(text.substr(start, end - start));
	return lines;
}

// Files and links under the throwaway root, dpkg's own database aside.
std::set<std::string> files_in_root()
{
	std::set<std::string> files;
	for (const auto &entry : fs::recursive_directory_iterator(root))
		if (!entry.is_directory() && entry.path().string().find("/var/lib/dpkg/") == std::string::npos)
			files.insert(fs::relative(entry.path(), root).string());
	return files;
}

std::string deb;

class package_test : public ::testing::Test {
protected:
	static void SetUpTestSuite()
	{
		fs::create_directories(root / "var/lib/dpkg/info");
		fs::create_directories(root / "var/lib/dpkg/updates");
		for (const char *file : {"status", "available"})
			fclose(fopen((root / "var/lib/dpkg" / file).c_str(), "w"));
		// gzip rather than xz: the same files, a tenth of the time.
		int status = -1;
		std::string out = run("TV_DEB_COMPRESSION=gzip TV_BUILD_DIR='" TV_BINARY_DIR "' bash '" TV_SOURCE_DIR
				      "/scripts/make_deb.sh' '" + (work / "out").string() + "' 2>/dev/null",
				      &status);
		ASSERT_EQ(status, 0);
		deb = lines_of(out).back();
		ASSERT_TRUE(fs::exists(deb)) << out;
	}

	static void TearDownTestSuite() { fs::remove_all(work); }

	std::string dpkg(const std::string &args, int *status)
	{
		return run("dpkg --root='" + root.string() + "' " + args + " 2>&1", status);
	}
};

TEST_F(package_test, holds_exactly_the_plugin_files_and_sound_depends)
{
	std::set<std::string> files;
	for (const std::string &line : lines_of(run("dpkg-deb --fsys-tarfile '" + deb + "' | tar t"))) {
		if (line.back() != '/')
			files.insert(line.substr(line.rfind("./", 0) == 0 ? 2 : 0));
	}
	EXPECT_EQ(files, FILES);

	EXPECT_EQ(run("dpkg-deb -f '" + deb + "' Package"), "tollivaren-voice\n");
	const std::string depends = run("dpkg-deb -f '" + deb + "' Depends");
	for (const char *needed : {"libobs0 (>= 29", "| libobs0t64 (>= 29", "libcurl4 (>= ", "| libcurl4t64 (>= ",
				   "libjansson4 (>= "})
		EXPECT_NE(depends.find(needed), std::string::npos) << needed << " not in " << depends;
	EXPECT_EQ(depends.find("onnxruntime"), std::string::npos) << depends;
	// What this machine has installed satisfies them.
	int status = -1;
	std::string simulated = run("apt-get -s -q install '" + deb + "' 2>&1", &status);
	EXPECT_EQ(status, 0) << simulated;
	EXPECT_NE(simulated.find("Inst tollivaren-voice"), std::string::npos) << simulated;
	EXPECT_EQ(simulated.find("\nInst lib"), std::string::npos) << "needs more than is installed:\n" << simulated;
}

TEST_F(package_test, installs_and_obs_loads_it_from_the_installed_paths)
{
	int status = -1;
	// The root has no other package, so dpkg cannot see libobs0 and the rest there.
	std::string out = dpkg("--force-depends -i '" + deb + "'", &status);
	ASSERT_EQ(status, 0) << out;
	EXPECT_EQ(files_in_root(), FILES);
	std::set<std::string> listed;
	for (const std::string &line : lines_of(dpkg("-L tollivaren-voice", &status)))
		if (fs::is_regular_file(root / line.substr(1)))
			listed.insert(line.substr(1));
	EXPECT_EQ(listed, FILES);

	local_dashboard *dashboard = dashboard_start();
	ASSERT_NE(dashboard, nullptr);
	dashboard_add_tenant(dashboard, "packaged", "k-packaged");
	obs_host_options options;
	options.module_path = (root / LIB / "obs-plugins/tollivaren-voice.so").string();
	options.data_path = (root / DATA).string();
	ASSERT_TRUE(obs_host_start(options));
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] loaded v"), 1u);
	EXPECT_STREQ(obs_source_get_display_name("tollivaren_voice_filter"), "Tollivaren Voice Clip");

	obs_data_t *settings = obs_data_create();
	obs_data_set_string(settings, "pairing", dashboard_mint_pairing(dashboard, "packaged").c_str());
	obs_source_t *input = obs_host_create_audio_input("mic");
	obs_source_t *filter = obs_host_attach_filter(input, "tollivaren_voice_filter", "voice", settings);
	obs_data_release(settings);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"), 1u);
	// The runtime in memory is the package's private copy.
	void *runtime = dlopen(TV_ORT_PRIVATE_NAME, RTLD_LAZY | RTLD_NOLOAD);
	ASSERT_NE(runtime, nullptr);
	link_map *map = nullptr;
	ASSERT_EQ(dlinfo(runtime, RTLD_DI_LINKMAP, &map), 0);
	EXPECT_EQ(fs::canonical(map->l_name), fs::canonical(root / LIB / "tollivaren-voice" / TV_ORT_PRIVATE_NAME));
	dlclose(runtime);

	obs_source_filter_remove(input, filter);
	obs_source_release(filter);
	obs_source_release(input);
	obs_host_flush_destroyed();
	obs_host_shutdown();
	dashboard_stop(dashboard);
}

TEST_F(package_test, installed_score_tool_finds_the_packaged_models)
{
	wav_audio phrase;
	ASSERT_TRUE(speech_make("tollivaren clip it", "-v en-us+f3 -s 140", &phrase));
	const fs::path wav = work / "phrase.wav";
	ASSERT_TRUE(wav_write_pcm16(wav.string(), speech_padded(phrase, 2.0, 1.0)));
	int status = -1;
	std::string out = run("'" + (root / LIB / "tollivaren-voice/wake-score").string() + "' --quiet '" +
				      wav.string() + "' 2>&1",
			      &status);
	ASSERT_EQ(status, 0) << out;
	const std::string models = (root / LIB / "tollivaren-voice/../../../share/obs/obs-plugins/tollivaren-voice/models").string();
	EXPECT_NE(out.find("wake-score: models from " + models + "\n"), std::string::npos) << out;
	float peak = -1;
	size_t at = out.find("peak ");
	ASSERT_NE(at, std::string::npos) << out;
	ASSERT_EQ(sscanf(out.c_str() + at, "peak %f", &peak), 1) << out;
	EXPECT_GE(peak, 0.6f) << out;
}

TEST_F(package_test, purge_leaves_no_file_or_folder)
{
	int status = -1;
	std::string out = dpkg("--purge tollivaren-voice", &status);
	ASSERT_EQ(status, 0) << out;
	std::vector<std::string> left;
	for (const auto &entry : fs::recursive_directory_iterator(root))
		if (entry.path().string().find(root.string() + "/var") != 0)
			left.push_back(entry.path().string());
	EXPECT_TRUE(left.empty()) << left.size() << " left, first " << left[0];
	EXPECT_EQ(dpkg("-s tollivaren-voice", &status).find("Status: install"), std::string::npos);
	EXPECT_NE(status, 0);
}

} // namespace
