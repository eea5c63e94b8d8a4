#pragma once
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "Platform.h"

// Largest reply body kept; the chunk that would pass it ends the transfer.
constexpr size_t kMaxReplyBytes = 1048576;

// POSTs `body` as JSON to `url` and returns the reply body, empty when none
// arrived. Logs the exchange. When `abort` is given, a transfer still running
// once it reads non-zero is given up.
std::string HttpPost(const std::string& url, const std::string& body,
                     const std::atomic<LONG>* abort = nullptr);
// As HttpPost, and also says how the transfer ended.
ProbeOutcome HttpProbe(const std::string& url, const std::string& body, const std::atomic<LONG>* abort);

// One POST; `outcome`, when given, receives libcurl's result and the HTTP status.
std::vector<char> PerformPost(const std::string& url, const std::string* body,
                              const std::vector<std::string>* headers,
                              const std::atomic<LONG>* abort = nullptr, ProbeOutcome* outcome = nullptr);

// libcurl's write callback; `userdata` is the reply buffer.
size_t WriteReplyChunk(char* data, size_t size, size_t count, void* userdata);
