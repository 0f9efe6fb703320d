#include "frontend_double.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct ui_task {
	void (*fn)(void *);
	void *param;
	clock_type::time_point due;
	bool *done; // set, and done_changed notified, once run; null when nobody waits
};

// Everything the window holds. One lock; never held while a task or an event
// callback runs.
std::mutex state_lock;
std::condition_variable queue_changed;
std::condition_variable done_changed;
std::deque<ui_task> queue;
std::thread ui_thread;
std::thread::id ui_thread_id;
bool ui_running = false;  // the UI thread takes tasks
bool scenes_cleared = false;
bool exited = false;      // the EXIT event has been sent: the window is gone
std::vector<std::pair<obs_frontend_event_cb, void *>> event_callbacks;
std::pair<void (*)(void *), void *> scene_data_clear = {nullptr, nullptr};
std::vector<std::string> faults;

bool replay_active = false;
bool replay_starting = false; // a start is under way: OBS ignores another
bool replay_startable = true;
int replay_start_delay_ms = 40;
frontend_double_counts counts = {};
std::string current_scene;

bool on_ui_thread() // state_lock held
{
	return ui_running && std::this_thread::get_id() == ui_thread_id;
}

void fault_locked(const std::string &what)
{
	faults.push_back(what);
}

// Every frontend call comes through here: after EXIT it is a fault.
bool frontend_call(const char *name)
{
	std::lock_guard<std::mutex> guard(state_lock);
	if (!exited)
		return true;
	fault_locked(std::string(name) + " called after OBS_FRONTEND_EVENT_EXIT");
	return false;
}

void push_task(void (*fn)(void *), void *param, int delay_ms, bool *done)
{
	queue.push_back({fn, param, clock_type::now() + std::chrono::milliseconds(delay_ms), done});
	queue_changed.notify_all();
}

// Queues fn on the UI thread (after delay_ms); false when the window no
// longer takes tasks.
bool queue_locked(void (*fn)(void *), void *param, int delay_ms = 0, bool *done = nullptr)
{
	if (!ui_running || exited)
		return false;
	push_task(fn, param, delay_ms, done);
	return true;
}

void run_and_wait(void (*fn)(void *), void *param)
{
	std::unique_lock<std::mutex> guard(state_lock);
	if (on_ui_thread()) {
		guard.unlock();
		fn(param);
		return;
	}
	bool done = false;
	if (!queue_locked(fn, param, 0, &done)) {
		fault_locked("a blocking call to the UI thread after the window was gone");
		return;
	}
	done_changed.wait(guard, [&] { return done; });
}

// Sends an event to every callback, on the UI thread.
void emit(obs_frontend_event event)
{
	std::vector<std::pair<obs_frontend_event_cb, void *>> callbacks;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		callbacks = event_callbacks;
	}
	for (auto &callback : callbacks)
		callback.first(event, callback.second);
}

void ui_loop()
{
	std::unique_lock<std::mutex> guard(state_lock);
	while (ui_running) {
		if (queue.empty()) {
			queue_changed.wait(guard);
			continue;
		}
		// The earliest due task first; tasks due at once keep their order.
		auto next = queue.begin();
		for (auto it = queue.begin(); it != queue.end(); ++it)
			if (it->due < next->due)
				next = it;
		if (next->due > clock_type::now()) {
			queue_changed.wait_until(guard, next->due);
			continue;
		}
		ui_task task = *next;
		queue.erase(next);
		guard.unlock();
		task.fn(task.param);
		guard.lock();
		if (task.done) {
			*task.done = true;
			done_changed.notify_all();
		}
	}
}

// What the window's own handlers do, on the UI thread.
void replay_started(void *)
{
	{
		std::lock_guard<std::mutex> guard(state_lock);
		replay_starting = false;
		if (exited)
			return;
		replay_active = true;
	}
	emit(OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTED);
}

void replay_stopped(void *)
{
	{
		std::lock_guard<std::mutex> guard(state_lock);
		if (exited)
			return;
		replay_active = false;
	}
	emit(OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPED);
}

void replay_saved(void *)
{
	emit(OBS_FRONTEND_EVENT_REPLAY_BUFFER_SAVED);
}

void start_replay_buffer(void *)
{
	bool start = false;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		start = !replay_active && !replay_starting && replay_startable;
		replay_starting = start;
	}
	if (!start)
		return;
	emit(OBS_FRONTEND_EVENT_REPLAY_BUFFER_STARTING);
	std::lock_guard<std::mutex> guard(state_lock);
	queue_locked(replay_started, nullptr, replay_start_delay_ms);
}

void stop_replay_buffer(void *)
{
	{
		std::lock_guard<std::mutex> guard(state_lock);
		if (!replay_active)
			return;
	}
	emit(OBS_FRONTEND_EVENT_REPLAY_BUFFER_STOPPING);
	std::lock_guard<std::mutex> guard(state_lock);
	queue_locked(replay_stopped, nullptr, 20);
}

void save_replay_buffer(void *)
{
	std::lock_guard<std::mutex> guard(state_lock);
	if (replay_active)
		queue_locked(replay_saved, nullptr, 300);
}

// The window's slots are invoked queued from other threads, directly on the
// UI thread.
void invoke(void (*slot)(void *))
{
	std::unique_lock<std::mutex> guard(state_lock);
	if (on_ui_thread()) {
		guard.unlock();
		slot(nullptr);
		return;
	}
	queue_locked(slot, nullptr);
}

void set_scene_on_ui(void *param)
{
	obs_source_t *scene = static_cast<obs_source_t *>(param);
	obs_set_output_source(0, scene);
	{
		std::lock_guard<std::mutex> guard(state_lock);
		counts.set_scene_calls++;
		current_scene = scene ? obs_source_get_name(scene) : "";
	}
	emit(OBS_FRONTEND_EVENT_SCENE_CHANGED);
}

bool collect_scene(void *param, obs_source_t *source)
{
	static_cast<std::vector<obs_source_t *> *>(param)->push_back(source);
	return true;
}

struct close_request {
	void (*shutdown)(void *);
	void *param;
};

void close_on_ui(void *param)
{
	auto *request = static_cast<close_request *>(param);
	emit(OBS_FRONTEND_EVENT_SCRIPTING_SHUTDOWN);
	std::pair<void (*)(void *), void *> clear;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		scenes_cleared = true;
		current_scene.clear();
		clear = scene_data_clear;
	}
	obs_set_output_source(0, nullptr);
	if (clear.first)
		clear.first(clear.second);
	emit(OBS_FRONTEND_EVENT_EXIT);
	{
		// The window is destroyed; the Qt event loop has ended.
		std::lock_guard<std::mutex> guard(state_lock);
		exited = true;
		queue.clear();
	}
	request->shutdown(request->param);
	std::lock_guard<std::mutex> guard(state_lock);
	ui_running = false;
	queue_changed.notify_all();
}

} // namespace

extern "C" {

void frontend_double_ui_start(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	if (ui_running)
		return;
	if (ui_thread.joinable())
		ui_thread.join();
	ui_running = true;
	scenes_cleared = false;
	exited = false;
	queue.clear();
	event_callbacks.clear();
	scene_data_clear = {nullptr, nullptr};
	ui_thread = std::thread(ui_loop);
	ui_thread_id = ui_thread.get_id();
}

void frontend_double_ui_task_handler(obs_task_t task, void *param, bool wait)
{
	if (wait) {
		run_and_wait(task, param);
		return;
	}
	std::lock_guard<std::mutex> guard(state_lock);
	queue_locked(task, param); // dropped once the window is gone, as in OBS
}

void frontend_double_run_on_ui(void (*fn)(void *), void *param)
{
	run_and_wait(fn, param);
}

void frontend_double_queue_on_ui(void (*fn)(void *), void *param)
{
	std::lock_guard<std::mutex> guard(state_lock);
	queue_locked(fn, param);
}

bool frontend_double_on_ui_thread(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return on_ui_thread();
}

size_t frontend_double_queued(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return queue.size();
}

void frontend_double_close(void (*shutdown)(void *), void *param)
{
	close_request request = {shutdown, param};
	std::unique_lock<std::mutex> guard(state_lock);
	if (!ui_running) {
		guard.unlock();
		shutdown(param);
		return;
	}
	queue_locked(close_on_ui, &request);
	guard.unlock();
	ui_thread.join();
}

void frontend_double_on_scene_data_clear(void (*fn)(void *), void *param)
{
	std::lock_guard<std::mutex> guard(state_lock);
	scene_data_clear = {fn, param};
}

void frontend_double_set_replay_start_delay(int ms)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_start_delay_ms = ms;
}

void frontend_double_reset(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_active = false;
	replay_starting = false;
	replay_startable = true;
	replay_start_delay_ms = 40;
	counts = {};
	current_scene.clear();
}

void frontend_double_set_replay_buffer_active(bool active)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_active = active;
}

void frontend_double_set_replay_buffer_startable(bool startable)
{
	std::lock_guard<std::mutex> guard(state_lock);
	replay_startable = startable;
}

frontend_double_counts frontend_double_get_counts(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return counts;
}

void frontend_double_current_scene_name(char *buf, size_t size)
{
	std::lock_guard<std::mutex> guard(state_lock);
	if (size == 0)
		return;
	snprintf(buf, size, "%s", current_scene.c_str());
}

size_t frontend_double_fault_count(void)
{
	std::lock_guard<std::mutex> guard(state_lock);
	return faults.size();
}

void frontend_double_faults(char *buf, size_t size)
{
	std::lock_guard<std::mutex> guard(state_lock);
	std::string all;
	for (const std::string &fault : faults)
		all += fault + "\n";
	if (size)
		snprintf(buf, size, "%s", all.c_str());
}

void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	if (!frontend_call("obs_frontend_add_event_callback"))
		return;
	std::lock_guard<std::mutex> guard(state_lock);
	event_callbacks.emplace_back(callback, private_data);
}

void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	if (!frontend_call("obs_frontend_remove_event_callback"))
		return;
	std::lock_guard<std::mutex> guard(state_lock);
	for (auto it = event_callbacks.begin(); it != event_callbacks.end(); ++it) {
		if (it->first == callback && it->second == private_data) {
			event_callbacks.erase(it);
			break;
		}
	}
}

// The profile's settings: this window has no profile (a plug-in reads no
// hotkey bindings or output settings from it).
config_t *obs_frontend_get_profile_config(void)
{
	frontend_call("obs_frontend_get_profile_config");
	return nullptr;
}

// The window's scene list, in creation order as OBS lists it by default
// (obs_enum_scenes gives the newest first). Each entry is a new reference.
void obs_frontend_get_scenes(struct obs_frontend_source_list *sources)
{
	if (!frontend_call("obs_frontend_get_scenes"))
		return;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		if (!on_ui_thread())
			fault_locked("obs_frontend_get_scenes called off the UI thread (it reads the window's list)");
		if (scenes_cleared)
			return;
	}
	std::vector<obs_source_t *> scenes;
	obs_enum_scenes(collect_scene, &scenes);
	for (auto it = scenes.rbegin(); it != scenes.rend(); ++it) {
		obs_source_t *ref = obs_source_get_ref(*it);
		if (ref)
			da_push_back(sources->sources, &ref);
	}
}

obs_source_t *obs_frontend_get_current_scene(void)
{
	if (!frontend_call("obs_frontend_get_current_scene"))
		return nullptr;
	return obs_get_output_source(0);
}

void obs_frontend_set_current_scene(obs_source_t *scene)
{
	if (!frontend_call("obs_frontend_set_current_scene"))
		return;
	// From another thread OBS waits until its UI thread has switched.
	run_and_wait(set_scene_on_ui, scene);
}

bool obs_frontend_replay_buffer_active(void)
{
	if (!frontend_call("obs_frontend_replay_buffer_active"))
		return false;
	std::lock_guard<std::mutex> guard(state_lock);
	return replay_active;
}

void obs_frontend_replay_buffer_start(void)
{
	if (!frontend_call("obs_frontend_replay_buffer_start"))
		return;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		counts.replay_start_calls++;
	}
	invoke(start_replay_buffer);
}

void obs_frontend_replay_buffer_stop(void)
{
	if (!frontend_call("obs_frontend_replay_buffer_stop"))
		return;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		counts.replay_stop_calls++;
	}
	invoke(stop_replay_buffer);
}

void obs_frontend_replay_buffer_save(void)
{
	if (!frontend_call("obs_frontend_replay_buffer_save"))
		return;
	{
		std::lock_guard<std::mutex> guard(state_lock);
		counts.replay_save_calls++;
	}
	invoke(save_replay_buffer);
}

} // extern "C"
