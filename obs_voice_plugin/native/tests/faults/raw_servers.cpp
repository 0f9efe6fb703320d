#include "raw_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {

// A listening socket on 127.0.0.1 with a free port; -1 on failure.
int listen_loopback(int *port)
{
	int fd = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address = {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	socklen_t length = sizeof(address);
	if (fd < 0 || bind(fd, (sockaddr *)&address, sizeof(address)) != 0 || listen(fd, 32) != 0 ||
	    getsockname(fd, (sockaddr *)&address, &length) != 0) {
		if (fd >= 0)
			close(fd);
		return -1;
	}
	*port = ntohs(address.sin_port);
	return fd;
}

// Waits up to timeout_ms for fd to become readable.
bool readable(int fd, int timeout_ms)
{
	pollfd entry = {fd, POLLIN, 0};
	return poll(&entry, 1, timeout_ms) > 0;
}

std::string loopback_url(int port)
{
	return "http://127.0.0.1:" + std::to_string(port);
}

} // namespace

silent_listener::silent_listener()
{
	socket_ = listen_loopback(&port_);
}

silent_listener::~silent_listener()
{
	if (socket_ >= 0)
		close(socket_);
}

std::string silent_listener::base_url() const
{
	return loopback_url(port_);
}

trickle_server::trickle_server(int interval_ms) : interval_ms_(interval_ms)
{
	socket_ = listen_loopback(&port_);
	if (socket_ >= 0)
		acceptor_ = std::thread([this] { accept_loop(); });
}

trickle_server::~trickle_server()
{
	stopping_ = true;
	if (acceptor_.joinable())
		acceptor_.join();
	for (std::thread &worker : workers_)
		worker.join();
	if (socket_ >= 0)
		close(socket_);
}

std::string trickle_server::base_url() const
{
	return loopback_url(port_);
}

void trickle_server::accept_loop()
{
	while (!stopping_) {
		if (!readable(socket_, 50))
			continue;
		int fd = accept(socket_, nullptr, nullptr);
		if (fd < 0)
			continue;
		connections_++;
		std::lock_guard<std::mutex> guard(lock_);
		workers_.emplace_back([this, fd] { serve(fd); });
	}
}

void trickle_server::serve(int fd)
{
	std::string head;
	char buffer[4096];
	while (!stopping_ && head.find("\r\n\r\n") == std::string::npos) {
		if (!readable(fd, 50))
			continue;
		ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
		if (n <= 0)
			break;
		head.append(buffer, (size_t)n);
	}
	const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n{";
	bool open = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) == (ssize_t)answer.size();
	auto next = std::chrono::steady_clock::now();
	while (open && !stopping_) {
		next += std::chrono::milliseconds(interval_ms_);
		while (!stopping_ && std::chrono::steady_clock::now() < next)
			std::this_thread::sleep_for(std::chrono::milliseconds(10));
		open = send(fd, " ", 1, MSG_NOSIGNAL) == 1;
	}
	close(fd);
}

recording_proxy::recording_proxy(int target_port) : target_port_(target_port)
{
	socket_ = listen_loopback(&port_);
	if (socket_ >= 0)
		acceptor_ = std::thread([this] { accept_loop(); });
}

recording_proxy::~recording_proxy()
{
	stopping_ = true;
	if (acceptor_.joinable())
		acceptor_.join();
	for (std::thread &worker : workers_)
		worker.join();
	if (socket_ >= 0)
		close(socket_);
}

std::string recording_proxy::client_bytes()
{
	std::lock_guard<std::mutex> guard(lock_);
	return client_bytes_;
}

void recording_proxy::accept_loop()
{
	while (!stopping_) {
		if (!readable(socket_, 50))
			continue;
		int fd = accept(socket_, nullptr, nullptr);
		if (fd < 0)
			continue;
		connections_++;
		std::lock_guard<std::mutex> guard(lock_);
		workers_.emplace_back([this, fd] { pump(fd); });
	}
}

void recording_proxy::pump(int client)
{
	int server = socket(AF_INET, SOCK_STREAM, 0);
	sockaddr_in address = {};
	address.sin_family = AF_INET;
	address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	address.sin_port = htons((uint16_t)target_port_);
	if (server < 0 || connect(server, (sockaddr *)&address, sizeof(address)) != 0) {
		if (server >= 0)
			close(server);
		close(client);
		return;
	}
	char buffer[16384];
	while (!stopping_) {
		pollfd entries[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
		if (poll(entries, 2, 50) <= 0)
			continue;
		if (entries[0].revents) {
			ssize_t n = recv(client, buffer, sizeof(buffer), 0);
			if (n <= 0)
				break;
			{
				std::lock_guard<std::mutex> guard(lock_);
				client_bytes_.append(buffer, (size_t)n);
			}
			if (send(server, buffer, (size_t)n, MSG_NOSIGNAL) != n)
				break;
		}
		if (entries[1].revents) {
			ssize_t n = recv(server, buffer, sizeof(buffer), 0);
			if (n <= 0)
				break;
			if (send(client, buffer, (size_t)n, MSG_NOSIGNAL) != n)
				break;
		}
	}
	close(server);
	close(client);
}
