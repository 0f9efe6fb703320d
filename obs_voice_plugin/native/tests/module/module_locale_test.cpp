// Display strings when the locale file lacks a key: the key itself is shown.
#include <filesystem>
#include <fstream>

#include "host_environment.h"

static std::string make_data_dir_without_name_key()
{
	namespace fs = std::filesystem;
	fs::path dir = fs::temp_directory_path() / ("tv-locale-" + std::to_string(getpid()));
	fs::create_directories(dir / "locale");
	std::ifstream in(std::string(TV_PLUGIN_DATA_DIR) + "/locale/en-US.ini");
	std::ofstream out(dir / "locale" / "en-US.ini");
	std::string line;
	while (std::getline(in, line))
		if (line.rfind("TollivarenVoiceClip=", 0) != 0)
			out << line << "\n";
	return dir.string();
}

static const std::string data_dir = make_data_dir_without_name_key();
static auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment(data_dir));

TEST(module_locale, missing_key_is_shown_as_the_key)
{
	EXPECT_STREQ(obs_source_get_display_name("tollivaren_voice_filter"), "TollivarenVoiceClip");
	obs_properties_t *props = obs_get_source_properties("tollivaren_voice_filter");
	EXPECT_STREQ(obs_property_description(obs_properties_get(props, "pairing")),
		     "Pairing string (from the Tollivaren dashboard)");
	obs_properties_destroy(props);
	std::filesystem::remove_all(data_dir);
}
