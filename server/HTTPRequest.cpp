#include "HTTPRequest.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stdexcept>

#include <curl/curl.h>

#include "Log.h"

namespace {

std::atomic<long> sLowSpeedTime{HTTPRequest::kLowSpeedTimeSeconds};

// Owns one easy handle for the length of one request.
class CurlHandle {
public:
    CurlHandle() : handle(curl_easy_init()) {}
    ~CurlHandle() { close(); }
    CurlHandle(const CurlHandle &) = delete;
    CurlHandle &operator=(const CurlHandle &) = delete;
    CurlHandle(CurlHandle &&other) noexcept : handle(other.handle) { other.handle = nullptr; }

    CURL *get() const { return handle; }
    void close() {
        if (handle) {
            curl_easy_cleanup(handle);
            handle = nullptr;
        }
    }

private:
    CURL *handle;
};

// Implicit initialisation inside curl_easy_init is not safe when the first request is
// made on a worker thread, so it is done once here.
void sGlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t rcv_data(char *ptr, size_t size, size_t nmemb, void *userdata) {
    HTTPResponse *response = static_cast<HTTPResponse *>(userdata);
    size_t count = size * nmemb;
    std::string head(ptr, count < 100 ? count : 100);
    Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.100s]\n",
             static_cast<int>(size), static_cast<int>(nmemb),
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(response) & 0xFFFFFFFFu),
             head.c_str());
    response->process(ptr, count);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(count));
    return count;
}

} // namespace

void HTTPRequest::SetLowSpeedTime(long seconds) {
    sLowSpeedTime = seconds;
}

long HTTPRequest::LowSpeedTime() {
    return sLowSpeedTime;
}

std::string HTTPRequest::BuildURL(const std::string &url,
                                  const std::map<std::string, std::string> &parameters) {
    std::string full = url;
    if (!parameters.empty()) {
        full += "?";
        for (const auto &entry : parameters)
            full += entry.first + "=" + entry.second + "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const std::string &url,
                              const std::map<std::string, std::string> &parameters) {
    sGlobalInit();
    CurlHandle curl;
    HTTPResponse response(BuildURL(url, parameters));
    if (!curl.get())
        throw std::runtime_error("Could not create curl instance");

    CURL *h = curl.get();
    CURLcode rc = curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, rcv_data);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_WRITEDATA, &response);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_URL, response.get_request());
    // The server must prove who it is: its certificate must name the host and chain up to
    // the system's trusted authorities, since it hands out the firmware we install.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // A server that cannot be reached, or that stops sending, must not hang the tool.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, LowSpeedTime());
    // Requests also run on a worker thread, where libcurl must not use signals for its
    // time-outs.
    if (rc == CURLE_OK)
        rc = curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (rc == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", response.get_request());
        rc = curl_easy_perform(h);
    }
    if (rc == CURLE_OK) {
        long status = 0;
        rc = curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        if (rc == CURLE_OK)
            response.set_status(status);
    }
    curl.close();
    if (rc != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(rc));
    return response;
}
