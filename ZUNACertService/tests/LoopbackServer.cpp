#include "LoopbackServer.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <sstream>

namespace {
struct WinsockUp {
    WinsockUp() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
void EnsureWinsock() { static WinsockUp up; }

SOCKET ListenOnFreePort(unsigned short* port) {
    EnsureWinsock();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    listen(s, 16);
    int len = sizeof(addr);
    getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return s;
}
}  // namespace

CLoopbackServer::CLoopbackServer(Handler handler) : m_handler(std::move(handler)) {
    m_listener = ListenOnFreePort(&m_port);
    m_thread = std::thread([this] { Run(); });
}

CLoopbackServer::~CLoopbackServer() {
    m_closing = true;
    closesocket(m_listener);
    m_thread.join();
    for (auto& t : m_clients) t.join();
}

std::string CLoopbackServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> CLoopbackServer::Requests() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_requests;
}

bool CLoopbackServer::SendAll(SOCKET s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string CLoopbackServer::Response(int status, const std::string& body, const std::string& extraHeaders) {
    std::ostringstream out;
    out << "HTTP/1.1 " << status << " Status\r\nContent-Length: " << body.size() << "\r\n"
        << extraHeaders << "Connection: close\r\n\r\n" << body;
    return out.str();
}

void CLoopbackServer::Run() {
    while (!m_closing) {
        SOCKET client = accept(m_listener, nullptr, nullptr);
        if (client == INVALID_SOCKET) break;
        std::lock_guard<std::mutex> lock(m_lock);
        m_clients.emplace_back([this, client] { Serve(client); });
    }
}

void CLoopbackServer::Serve(SOCKET client) {
    std::string raw;
    char buf[8192];
    size_t headEnd = std::string::npos;
    size_t wanted = 0;
    while (headEnd == std::string::npos || raw.size() < headEnd + wanted) {
        const int n = recv(client, buf, sizeof(buf), 0);
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
        if (headEnd == std::string::npos && (headEnd = raw.find("\r\n\r\n")) != std::string::npos) {
            headEnd += 4;
            std::string head = raw.substr(0, headEnd);
            for (char& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            const size_t at = head.find("\r\ncontent-length:");
            if (at != std::string::npos) wanted = std::strtoul(head.c_str() + at + 17, nullptr, 10);
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_requests.push_back(raw);
    }
    m_handler(client, raw);
    shutdown(client, SD_SEND);
    closesocket(client);
}

unsigned short RefusedPort() {
    unsigned short port = 0;
    SOCKET s = ListenOnFreePort(&port);
    closesocket(s);
    return port;
}
