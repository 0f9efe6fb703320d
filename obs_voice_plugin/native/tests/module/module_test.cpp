// The module as OBS sees it: entry points, registration, properties, and a
// filter that is not paired yet.
#include <cmath>
#include <cstdio>
#include <dlfcn.h>
#include <set>
#include <string>

#include "host_environment.h"

static auto *const environment = ::testing::AddGlobalTestEnvironment(new host_environment);

static const char *FILTER_ID = "tollivaren_voice_filter";

static std::set<std::string> exported_functions(const std::string &path)
{
	std::set<std::string> names;
	std::string command = "nm -D --defined-only '" + path + "'";
	FILE *pipe = popen(command.c_str(), "r");
	char line[512];
	while (pipe && fgets(line, sizeof(line), pipe)) {
		char addr[64], type[8], name[400];
		if (sscanf(line, "%63s %7s %399s", addr, type, name) != 3)
			continue;
		// The linker's own section markers are in every shared object.
		std::string symbol = name;
		if (symbol != "__bss_start" && symbol != "_edata" && symbol != "_end")
			names.insert(symbol);
	}
	if (pipe)
		pclose(pipe);
	return names;
}

TEST(module_entry, logs_load_with_version)
{
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] loaded vobs-voice-dev-36805275332"), 1u);
}

TEST(module_entry, exports_exactly_the_obs_entry_points)
{
	std::set<std::string> expected = {"obs_module_set_pointer", "obs_module_ver",         "obs_module_load",
					  "obs_module_unload",      "obs_module_set_locale",  "obs_module_free_locale",
					  "obs_module_get_string",  "obs_module_description"};
	EXPECT_EQ(exported_functions(TV_MODULE_PATH), expected);
}

TEST(module_entry, reports_api_version_and_description)
{
	void *lib = dlopen(TV_MODULE_PATH, RTLD_NOW | RTLD_NOLOAD);
	ASSERT_NE(lib, nullptr);
	auto ver = reinterpret_cast<uint32_t (*)(void)>(dlsym(lib, "obs_module_ver"));
	auto description = reinterpret_cast<const char *(*)(void)>(dlsym(lib, "obs_module_description"));
	auto get_string = reinterpret_cast<bool (*)(const char *, const char **)>(dlsym(lib, "obs_module_get_string"));
	ASSERT_TRUE(ver && description && get_string);
	EXPECT_EQ(ver(), 0x1F010001u);
	EXPECT_NE(std::string(description()).find("control \xE2\x80\x94 taps an OBS audio source"), std::string::npos);

	const char *text = nullptr;
	EXPECT_TRUE(get_string("SourceClass.Mic", &text));
	EXPECT_STREQ(text, "Broadcaster microphone");
	EXPECT_FALSE(get_string("NoSuchKey", &text));
	dlclose(lib);
}

TEST(filter_type, is_registered_as_audio_filter)
{
	bool found = false;
	const char *id = nullptr;
	for (size_t i = 0; obs_enum_filter_types(i, &id); i++)
		found = found || std::string(id) == FILTER_ID;
	EXPECT_TRUE(found);
	uint32_t flags = obs_get_source_output_flags(FILTER_ID);
	EXPECT_TRUE(flags & OBS_SOURCE_AUDIO);
	EXPECT_FALSE(flags & (OBS_SOURCE_VIDEO | OBS_SOURCE_CUSTOM_DRAW | OBS_SOURCE_INTERACTION));
	EXPECT_STREQ(obs_source_get_display_name(FILTER_ID), "Tollivaren Voice Clip");
}

TEST(filter_type, property_sheet_and_defaults)
{
	obs_properties_t *props = obs_get_source_properties(FILTER_ID);
	ASSERT_NE(props, nullptr);

	obs_property_t *pairing = obs_properties_get(props, "pairing");
	ASSERT_NE(pairing, nullptr);
	EXPECT_EQ(obs_property_get_type(pairing), OBS_PROPERTY_TEXT);
	EXPECT_EQ(obs_property_text_type(pairing), OBS_TEXT_PASSWORD);
	EXPECT_STREQ(obs_property_description(pairing), "Pairing string (from the Tollivaren dashboard)");

	obs_property_t *url = obs_properties_get(props, "server_url_override");
	ASSERT_NE(url, nullptr);
	EXPECT_EQ(obs_property_text_type(url), OBS_TEXT_DEFAULT);

	obs_property_t *source = obs_properties_get(props, "source_class");
	ASSERT_NE(source, nullptr);
	EXPECT_EQ(obs_property_list_type(source), OBS_COMBO_TYPE_LIST);
	EXPECT_EQ(obs_property_list_format(source), OBS_COMBO_FORMAT_STRING);
	ASSERT_EQ(obs_property_list_item_count(source), 2u);
	EXPECT_STREQ(obs_property_list_item_string(source, 0), "mixer");
	EXPECT_STREQ(obs_property_list_item_name(source, 0), "Mixer (whole stream audio)");
	EXPECT_STREQ(obs_property_list_item_string(source, 1), "mic");
	obs_properties_destroy(props);

	obs_data_t *defaults = obs_get_source_defaults(FILTER_ID);
	EXPECT_STREQ(obs_data_get_string(defaults, "source_class"), "mixer");
	EXPECT_STREQ(obs_data_get_string(defaults, "pairing"), "");
	obs_data_release(defaults);
}

TEST(unpaired_filter, warns_and_passes_audio_bit_identical)
{
	obs_host_log_clear();
	obs_source_t *input = obs_host_create_audio_input("unpaired input");
	obs_source_t *filter = obs_host_attach_filter(input, FILTER_ID, "voice", nullptr);
	ASSERT_NE(filter, nullptr);
	EXPECT_EQ(obs_host_log_count("[tollivaren-voice] not paired \xE2\x80\x94 paste the pairing string from the "
				     "Tollivaren dashboard into this filter"),
		  1u);

	host_audio_capture *capture = host_audio_capture_start(input);
	host_audio_stream stream;
	host_audio_stream_begin(&stream, input);
	wav_audio sine = host_sine(1.0, 440.0);
	host_audio_stream_push(&stream, sine, 1024, false);
	auto planes = host_audio_capture_take(capture);
	host_audio_capture_stop(capture);

	ASSERT_EQ(planes.size(), 2u);
	ASSERT_EQ(planes[0].size(), sine.frames());
	for (size_t i = 0; i < sine.frames(); i++) {
		ASSERT_EQ(planes[0][i], sine.samples[i * 2]) << "frame " << i;
		ASSERT_EQ(planes[1][i], sine.samples[i * 2 + 1]) << "frame " << i;
	}

	obs_source_filter_remove(input, filter);
	obs_source_release(filter);
	obs_source_release(input);
	obs_host_flush_destroyed();
	// An unpaired filter has nobody to talk to.
	for (const auto &line : obs_host_log_lines())
		EXPECT_EQ(line.find("failed:"), std::string::npos) << line;
}
