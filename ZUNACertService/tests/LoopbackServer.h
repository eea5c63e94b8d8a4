#pragma once
// A scripted HTTP server on a free loopback port, in the test process.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CLoopbackServer {
public:
    // Gets the whole request (head and Content-Length body) and the socket;
    // whatever it sends is the reply. The connection is closed afterwards.
    using Handler = std::function<void(SOCKET, const std::string& request)>;

    explicit CLoopbackServer(Handler handler);
    ~CLoopbackServer();

    unsigned short Port() const { return m_port; }
    std::string Url(const std::string& path = "") const;
    std::vector<std::string> Requests();

    static bool SendAll(SOCKET s, const std::string& data);
    static std::string Response(int status, const std::string& body, const std::string& extraHeaders = "");

private:
    void Run();
    void Serve(SOCKET client);

    Handler m_handler;
    SOCKET m_listener = INVALID_SOCKET;
    unsigned short m_port = 0;
    std::atomic<bool> m_closing{false};
    std::thread m_thread;
    std::mutex m_lock;
    std::vector<std::string> m_requests;
    std::vector<std::thread> m_clients;
};

// A port on which nothing listens (bound once, then released).
unsigned short RefusedPort();
