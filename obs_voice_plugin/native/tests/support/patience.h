#pragma once

// Waiting in tests. A healthy run delivers what a test waits for within a
// second or two, but a loaded 2-core CI machine running the sanitizer builds
// can be many times slower: waits are generous, and cost nothing when the
// event comes. Tests observe events rather than sleep wherever they can.

#include <chrono>
#include <thread>

constexpr int TV_PATIENCE_MS = 30000;

// Polls the predicate every 5 ms until it holds; false after timeout_ms.
template <typename Predicate> bool wait_until(Predicate predicate, int timeout_ms = TV_PATIENCE_MS)
{
	const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
	while (!predicate()) {
		if (std::chrono::steady_clock::now() > end)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(5));
	}
	return true;
}
