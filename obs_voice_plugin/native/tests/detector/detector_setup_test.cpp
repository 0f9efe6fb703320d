#include "detector_test_support.h"

#include <cmath>

TEST(model_name_from_phrase, folds_phrases_to_file_names)
{
	const std::map<std::string, std::string> cases = {
		{"tollivaren clip it", "tollivaren_clip_it"},
		{"  Hey, Clip THIS!! ", "hey_clip_this"},
		{"A1--b2", "a1_b2"},
		{"\xC3\x87" "a va", "a_va"},
		{"x\xE2\x82\xAC\xE2\x82\xACy", "x_y"},
		{"Zed\t\n9", "zed_9"},
		{"", "tollivaren_clip_it"},
		{"---", "tollivaren_clip_it"},
		{"\xC3\x87", "tollivaren_clip_it"},
	};
	long allocs = bnum_allocs();
	for (const auto &[phrase, expected] : cases) {
		char *name = model_name_from_phrase(phrase.c_str());
		EXPECT_EQ(expected, name) << "phrase '" << phrase << "'";
		bfree(name);
	}
	char *name = model_name_from_phrase(nullptr);
	EXPECT_STREQ("tollivaren_clip_it", name);
	bfree(name);
	EXPECT_EQ(allocs, bnum_allocs());
}

class detector_loading : public ::testing::Test {
protected:
	log_capture log;
	long allocs_before = bnum_allocs();

	std::vector<std::string> load_failures() const { return log.matching("[tollivaren-voice] failed to load "); }
};

TEST_F(detector_loading, ready_detector_holds_everything_and_copies_its_name)
{
	model_set models(real_model("melspectrogram.onnx"), real_model("embedding_model.onnx"),
			 real_model("hey_jarvis_v0.1.onnx"), "hey_jarvis");
	char *name = bstrdup("hey_jarvis");
	wake_detector *detector = wake_detector_create(models.dir.path().c_str(), name);
	bfree(name);
	ASSERT_NE(nullptr, detector);

	EXPECT_EQ(std::vector<std::string>{"[tollivaren-voice] openWakeWord detector ready (model='hey_jarvis')"},
		  log.lines);
	EXPECT_STREQ("hey_jarvis", detector->model_name);
	EXPECT_TRUE(detector->env && detector->allocator && detector->memory_info);
	EXPECT_TRUE(detector->mel_session && detector->embedding_session && detector->classifier_session);
	for (const char *io_name :
	     {detector->mel_input_name, detector->mel_output_name, detector->embedding_input_name,
	      detector->embedding_output_name, detector->classifier_input_name, detector->classifier_output_name})
		EXPECT_NE(nullptr, io_name);
	EXPECT_STREQ("input", detector->mel_input_name);
	EXPECT_STREQ("conv2d_19", detector->embedding_output_name);
	EXPECT_EQ(32000u, detector->window_capacity);
	EXPECT_EQ(0u, detector->window_fill);
	EXPECT_EQ(0u, detector->samples_since_score);
	for (uint64_t i = 0; i < detector->window_capacity; i++)
		ASSERT_EQ(0.0f, detector->window[i]) << "at " << i;

	wake_detector_destroy(detector);
	wake_detector_destroy(nullptr);
	EXPECT_EQ(allocs_before, bnum_allocs());
}

namespace {

size_t process_thread_count()
{
	size_t count = 0;
	for (const auto &task : fs::directory_iterator("/proc/self/task")) {
		(void)task;
		count++;
	}
	return count;
}

// Before any test made a runtime environment (a sanitizer may run a thread of its own).
const size_t threads_at_start = process_thread_count();

} // namespace

// Left alone, ONNX Runtime's Linux build starts a telemetry thread with the
// process's first environment, which uploads to Microsoft and outlives every
// environment. With one intra-op thread the passes run on the caller's thread.
TEST_F(detector_loading, runtime_starts_no_thread_of_its_own)
{
	model_set models(real_model("melspectrogram.onnx"), real_model("embedding_model.onnx"),
			 real_model("hey_jarvis_v0.1.onnx"), "hey_jarvis");
	wake_detector *detector = wake_detector_create(models.dir.path().c_str(), "hey_jarvis");
	ASSERT_NE(nullptr, detector);
	std::vector<int16_t> speech_like(WAKE_WINDOW_SAMPLES);
	for (size_t i = 0; i < speech_like.size(); i++)
		speech_like[i] = (int16_t)(8000.0 * std::sin(0.07 * (double)i) * std::sin(0.0009 * (double)i));
	EXPECT_GE(wake_detector_process(detector, speech_like.data(), speech_like.size()), 0.0f);
	EXPECT_EQ(threads_at_start, process_thread_count());
	wake_detector_destroy(detector);
	EXPECT_EQ(threads_at_start, process_thread_count());
	EXPECT_EQ(allocs_before, bnum_allocs());
}

TEST_F(detector_loading, missing_classifier_names_its_path_and_frees_everything)
{
	temp_dir models;
	models.link("melspectrogram.onnx", real_model("melspectrogram.onnx"));
	models.link("embedding_model.onnx", real_model("embedding_model.onnx"));

	EXPECT_EQ(nullptr, wake_detector_create(models.path().c_str(), "absent"));
	std::vector<std::string> failures = load_failures();
	ASSERT_EQ(1u, failures.size());
	EXPECT_EQ(0u, failures[0].find("[tollivaren-voice] failed to load " + models.file("absent.onnx") + ": "))
		<< failures[0];
	EXPECT_EQ(1u, log.lines.size());
	EXPECT_EQ(allocs_before, bnum_allocs());
}

TEST_F(detector_loading, missing_mel_model_is_the_only_load_attempted)
{
	temp_dir empty;
	EXPECT_EQ(nullptr, wake_detector_create(empty.path().c_str(), "absent"));
	std::vector<std::string> failures = load_failures();
	ASSERT_EQ(1u, failures.size());
	EXPECT_EQ(0u, failures[0].find("[tollivaren-voice] failed to load " + empty.file("melspectrogram.onnx") + ": "))
		<< failures[0];
	EXPECT_EQ(allocs_before, bnum_allocs());
}

TEST_F(detector_loading, invalid_model_file_fails_like_a_missing_one)
{
	temp_dir models;
	models.link("melspectrogram.onnx", real_model("melspectrogram.onnx"));
	models.link("embedding_model.onnx", TV_DETECTOR_TEST_DIR "/make_tiny_models.py");
	EXPECT_EQ(nullptr, wake_detector_create(models.path().c_str(), "absent"));
	std::vector<std::string> failures = load_failures();
	ASSERT_EQ(1u, failures.size());
	EXPECT_NE(std::string::npos, failures[0].find(models.file("embedding_model.onnx") + ": ")) << failures[0];
	EXPECT_EQ(allocs_before, bnum_allocs());
}

TEST_F(detector_loading, null_arguments_mean_current_folder_and_built_in_model)
{
	temp_dir cwd;
	cwd.link("melspectrogram.onnx", real_model("melspectrogram.onnx"));
	cwd.link("embedding_model.onnx", real_model("embedding_model.onnx"));
	struct cwd_guard {
		fs::path previous = fs::current_path();
		~cwd_guard() { fs::current_path(previous); }
	} restore;
	fs::current_path(cwd.path());

	EXPECT_EQ(nullptr, wake_detector_create(nullptr, nullptr));
	std::vector<std::string> failures = load_failures();
	ASSERT_EQ(1u, failures.size());
	EXPECT_EQ(0u, failures[0].find("[tollivaren-voice] failed to load ./tollivaren_clip_it.onnx: ")) << failures[0];

	cwd.link("tollivaren_clip_it.onnx", real_model("hey_jarvis_v0.1.onnx"));
	log.lines.clear();
	wake_detector *detector = wake_detector_create(nullptr, nullptr);
	ASSERT_NE(nullptr, detector);
	EXPECT_EQ(std::vector<std::string>{"[tollivaren-voice] openWakeWord detector ready (model='tollivaren_clip_it')"},
		  log.lines);
	wake_detector_destroy(detector);
	EXPECT_EQ(allocs_before, bnum_allocs());
}

TEST_F(detector_loading, empty_arguments_are_used_as_given)
{
	EXPECT_EQ(nullptr, wake_detector_create("", "absent"));
	model_set models(real_model("melspectrogram.onnx"), real_model("embedding_model.onnx"),
			 real_model("hey_jarvis_v0.1.onnx"));
	EXPECT_EQ(nullptr, wake_detector_create(models.dir.path().c_str(), ""));

	std::vector<std::string> failures = load_failures();
	ASSERT_EQ(2u, failures.size());
	EXPECT_EQ(0u, failures[0].find("[tollivaren-voice] failed to load /melspectrogram.onnx: ")) << failures[0];
	EXPECT_EQ(0u, failures[1].find("[tollivaren-voice] failed to load " + models.dir.file(".onnx") + ": "))
		<< failures[1];
	EXPECT_EQ(allocs_before, bnum_allocs());
}
