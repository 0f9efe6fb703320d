#pragma once

// Misbehaving TCP servers on 127.0.0.1 that the local dashboard cannot play,
// for the fault and secrets tests. Each serves on its own threads from
// construction to destruction.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Listens but never accepts nor reads: connections complete in the kernel,
// the request goes into the socket buffer and no answer ever comes.
class silent_listener {
public:
	silent_listener();
	~silent_listener();
	int port() const { return port_; }
	std::string base_url() const;

private:
	int socket_ = -1;
	int port_ = 0;
};

// Reads the request head, answers "200" with a long Content-Length, then
// sends one blank every interval: an answer that keeps coming, too slowly.
class trickle_server {
public:
	explicit trickle_server(int interval_ms = 200);
	~trickle_server();
	int port() const { return port_; }
	std::string base_url() const;
	int connections() const { return connections_; }

private:
	void accept_loop();
	void serve(int fd);

	int socket_ = -1;
	int port_ = 0;
	int interval_ms_;
	std::atomic<bool> stopping_{false};
	std::atomic<int> connections_{0};
	std::thread acceptor_;
	std::mutex lock_;
	std::vector<std::thread> workers_;
};

// Forwards every connection to 127.0.0.1:target_port and keeps every byte
// the clients sent, as it went over the wire.
class recording_proxy {
public:
	explicit recording_proxy(int target_port);
	~recording_proxy();
	int port() const { return port_; }
	std::string client_bytes();
	int connections() const { return connections_; }

private:
	void accept_loop();
	void pump(int client);

	int socket_ = -1;
	int port_ = 0;
	int target_port_;
	std::atomic<bool> stopping_{false};
	std::atomic<int> connections_{0};
	std::thread acceptor_;
	std::mutex lock_;
	std::vector<std::thread> workers_;
	std::string client_bytes_;
};
