// Stand-in for the guarded program: an HTTP/1.1 server on 127.0.0.1:58000
// whose behaviour is picked at run time from "standin.ctl" next to the exe,
// re-read on every request and every 200 ms, so a test can switch it live.
//
// Control file, one line, a word and its argument:
//   normal <text>       200 with <text> as body (the default)
//   empty               200 with an empty body
//   status <code> <text> that status with <text> as body
//   silent              accept, read, never answer
//   trickle <seconds>   200, then the body one byte every <seconds>
//   size <bytes>        200 with a body of <bytes> bytes
//   refuse              stop listening until the mode changes
//   exit <code>         end the process now with <code>
//   flap <n> <seconds>  end with 0 at once, but every n-th start (counted in
//                       starts.log) only after running <seconds>
//   crash               die of an access violation
// Each start appends "pid=<pid> cwd=<dir> console=<processes on its console>
// priority=<class> desktop=<station>\<desktop> userprofile=<USERPROFILE>
// marker=<ZUNA_GUARD_ENV_MARKER or -> cmd=<command line>" to "starts.log".
// Every request received is appended to "requests.log" next to the exe,
// framed as "----- <n> bytes\r\n" followed by the n raw bytes.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace {

const unsigned short kPort = 58000;

std::wstring g_dir;
std::mutex g_logLock;
ULONGLONG g_startTick = 0;
unsigned long g_startIndex = 0;  // this start's line in starts.log, from 1

struct Mode {
    std::string word = "normal";
    std::string arg = "{\"version\":\"1.0.0.1\",\"standin\":true}";
};

std::wstring ExeDirectory() {
    wchar_t path[4096];
    DWORD n = GetModuleFileNameW(nullptr, path, 4096);
    std::wstring p(path, n);
    size_t slash = p.rfind(L'\\');
    return slash == std::wstring::npos ? L"." : p.substr(0, slash);
}

Mode ReadMode() {
    Mode mode;
    std::ifstream in((g_dir + L"\\standin.ctl").c_str(), std::ios::binary);
    if (!in) return mode;
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.pop_back();
    if (line.empty()) return mode;
    const size_t blank = line.find(' ');
    mode.word = line.substr(0, blank);
    mode.arg = blank == std::string::npos ? std::string() : line.substr(blank + 1);
    return mode;
}

void ActOnProcessModes(const Mode& mode) {
    if (mode.word == "exit") {
        ExitProcess(static_cast<UINT>(std::strtoul(mode.arg.c_str(), nullptr, 10)));
    }
    if (mode.word == "flap") {
        char* rest = nullptr;
        const unsigned long every = std::strtoul(mode.arg.c_str(), &rest, 10);
        const unsigned long seconds = std::strtoul(rest, nullptr, 10);
        const bool lasting = every != 0 && g_startIndex % every == 0;
        if (!lasting || GetTickCount64() - g_startTick >= seconds * 1000ULL) ExitProcess(0);
    }
    if (mode.word == "crash") {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
}

void AppendRequest(const std::string& raw) {
    std::lock_guard<std::mutex> lock(g_logLock);
    std::ofstream out((g_dir + L"\\requests.log").c_str(), std::ios::binary | std::ios::app);
    out << "----- " << raw.size() << " bytes\r\n" << raw;
}

bool SendAll(SOCKET s, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        int n = send(s, data.data() + sent, static_cast<int>(data.size() - sent), 0);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads one request: the head up to the blank line, then Content-Length bytes.
bool ReadRequest(SOCKET s, std::string& raw) {
    char buf[8192];
    size_t headEnd = std::string::npos;
    size_t wanted = 0;
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = raw.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                headEnd += 4;
                std::string head = raw.substr(0, headEnd);
                for (auto& c : head) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
                size_t at = head.find("\r\ncontent-length:");
                if (at != std::string::npos) wanted = std::strtoul(head.c_str() + at + 17, nullptr, 10);
            }
        }
        if (headEnd != std::string::npos && raw.size() >= headEnd + wanted) return true;
        int n = recv(s, buf, sizeof(buf), 0);
        if (n <= 0) return false;
        raw.append(buf, static_cast<size_t>(n));
    }
}

std::string Reply(int status, const std::string& body) {
    std::ostringstream out;
    out << "HTTP/1.1 " << status << (status < 400 ? " OK" : " Error") << "\r\n"
        << "Content-Type: application/json\r\n"
        << "Content-Length: " << body.size() << "\r\n"
        << "Connection: close\r\n\r\n"
        << body;
    return out.str();
}

void Serve(SOCKET s) {
    std::string raw;
    if (ReadRequest(s, raw)) {
        AppendRequest(raw);
        const Mode mode = ReadMode();
        ActOnProcessModes(mode);
        if (mode.word == "silent") {
            char sink[256];
            while (recv(s, sink, sizeof(sink), 0) > 0) {
            }
        } else if (mode.word == "empty") {
            SendAll(s, Reply(200, std::string()));
        } else if (mode.word == "status") {
            const size_t blank = mode.arg.find(' ');
            const int code = std::atoi(mode.arg.c_str());
            SendAll(s, Reply(code, blank == std::string::npos ? std::string() : mode.arg.substr(blank + 1)));
        } else if (mode.word == "size") {
            SendAll(s, Reply(200, std::string(std::strtoul(mode.arg.c_str(), nullptr, 10), 'x')));
        } else if (mode.word == "trickle") {
            const DWORD pause = static_cast<DWORD>(std::atoi(mode.arg.c_str())) * 1000;
            const std::string body = "trickling reply";
            std::string head = Reply(200, body);
            head.resize(head.size() - body.size());
            if (SendAll(s, head)) {
                for (char c : body) {
                    Sleep(pause);
                    if (!SendAll(s, std::string(1, c))) break;
                }
            }
        } else {
            SendAll(s, Reply(200, mode.arg));
        }
    }
    shutdown(s, SD_SEND);
    closesocket(s);
}

SOCKET Listen() {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(s, 16) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string Utf8(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    return out;
}

std::wstring ObjectName(HANDLE object) {
    wchar_t name[256] = L"?";
    GetUserObjectInformationW(object, UOI_NAME, name, sizeof(name), nullptr);
    return name;
}

std::wstring Variable(const wchar_t* name) {
    wchar_t value[1024];
    const DWORD n = GetEnvironmentVariableW(name, value, 1024);
    return n > 0 && n < 1024 ? value : L"-";
}

void RecordStart() {
    wchar_t cwd[4096];
    const DWORD n = GetCurrentDirectoryW(4096, cwd);
    DWORD console[4];
    char priority[16];
    snprintf(priority, sizeof(priority), "0x%lx", static_cast<unsigned long>(GetPriorityClass(GetCurrentProcess())));
    const std::wstring desktop = ObjectName(GetProcessWindowStation()) + L"\\" +
                                 ObjectName(GetThreadDesktop(GetCurrentThreadId()));
    std::ofstream out((g_dir + L"\\starts.log").c_str(), std::ios::binary | std::ios::app);
    // console: how many processes share its console (1: a console of its own).
    out << "pid=" << GetCurrentProcessId() << " cwd=" << Utf8(std::wstring(cwd, n))
        << " console=" << GetConsoleProcessList(console, 4) << " priority=" << priority
        << " desktop=" << Utf8(desktop) << " userprofile=" << Utf8(Variable(L"USERPROFILE"))
        << " marker=" << Utf8(Variable(L"ZUNA_GUARD_ENV_MARKER")) << " cmd=" << Utf8(GetCommandLineW()) << "\r\n";
}

}  // namespace

int main() {
    g_dir = ExeDirectory();
    g_startTick = GetTickCount64();
    RecordStart();
    {
        std::ifstream in((g_dir + L"\\starts.log").c_str(), std::ios::binary);
        std::string line;
        while (std::getline(in, line)) ++g_startIndex;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;

    SOCKET listener = INVALID_SOCKET;
    for (;;) {
        const Mode mode = ReadMode();
        ActOnProcessModes(mode);
        if (mode.word == "refuse") {
            if (listener != INVALID_SOCKET) {
                closesocket(listener);
                listener = INVALID_SOCKET;
            }
            Sleep(200);
            continue;
        }
        if (listener == INVALID_SOCKET) {
            listener = Listen();
            if (listener == INVALID_SOCKET) {
                Sleep(200);  // the port may still be held by an instance that is going away
                continue;
            }
        }
        fd_set ready;
        FD_ZERO(&ready);
        FD_SET(listener, &ready);
        timeval wait = {0, 200 * 1000};
        if (select(0, &ready, nullptr, nullptr, &wait) > 0) {
            SOCKET client = accept(listener, nullptr, nullptr);
            if (client != INVALID_SOCKET) std::thread(Serve, client).detach();
        }
    }
}
