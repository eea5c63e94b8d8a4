#include "core/Http.h"

#include <curl/curl.h>

#include "Platform.h"
#include "utils.h"

namespace {

struct CurlEasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct CurlListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

int AbortWhenFlagged(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* abort = static_cast<const std::atomic<LONG>*>(clientp);
    return abort->load() != 0 ? 1 : 0;
}

}  // namespace

size_t WriteReplyChunk(char* data, size_t size, size_t count, void* userdata) {
    auto* reply = static_cast<std::vector<char>*>(userdata);
    const size_t n = size * count;
    if (reply->size() + n > kMaxReplyBytes) return 0;
    reply->insert(reply->end(), data, data + n);
    return count;
}

std::vector<char> PerformPost(const std::string& url, const std::string* body,
                              const std::vector<std::string>* headers,
                              const std::atomic<LONG>* abort, ProbeOutcome* outcome) {
    std::vector<char> reply;
    std::unique_ptr<CURL, CurlEasyDeleter> curl(curl_easy_init());
    if (!curl) return reply;
    CURL* h = curl.get();

    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &WriteReplyChunk);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (body != nullptr) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body->data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    std::unique_ptr<curl_slist, CurlListDeleter> list;
    if (headers != nullptr && !headers->empty()) {
        for (const std::string& line : *headers) {
            curl_slist* appended = curl_slist_append(list.get(), line.c_str());
            if (appended == nullptr) break;  // out of memory: send what we have
            list.release();
            list.reset(appended);
        }
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, list.get());
    }
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // The probe goes straight to its address: a proxy from the environment
    // (http_proxy, ALL_PROXY, ...) would make a healthy program look dead.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 5L);
    // A reply that trickles just above the low-speed floor must not hold the
    // watch loop: what arrived within 30 s is the reply.
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 6L);
    curl_easy_setopt(h, CURLOPT_VERBOSE, 1L);
    if (abort != nullptr) {
        // A stop must not wait out a slow reply.
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &AbortWhenFlagged);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, abort);
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    }

    const CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        Platform().OutputDebugStringW(L"--------------------<>");
    }
    if (outcome != nullptr) {
        outcome->curlCode = static_cast<int>(code);
        long status = 0;
        if (curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) outcome->httpStatus = status;
    }
    return reply;
}

ProbeOutcome HttpProbe(const std::string& url, const std::string& body, const std::atomic<LONG>* abort) {
    const std::vector<std::string> headers{"Content-Type:application/json"};
    ProbeOutcome outcome;
    const std::vector<char> reply = PerformPost(url, &body, &headers, abort, &outcome);
    if (!reply.empty()) outcome.body.assign(reply.data(), reply.size());
    WriteLog(__FILE__, 150, "url:" + url + ",response:" + EscapedForLog(outcome.body), 0);
    return outcome;
}

std::string HttpPost(const std::string& url, const std::string& body, const std::atomic<LONG>* abort) {
    return HttpProbe(url, body, abort).body;
}
