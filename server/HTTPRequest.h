// One HTTP(S) GET with its parameters in the query string: the thin layer under the
// update server requests.
#ifndef _HTTPRequest_H_
#define _HTTPRequest_H_

#include <map>
#include <string>

class HTTPResponse {
public:
    explicit HTTPResponse(std::string request) : request(std::move(request)) {}

    // Texts stay valid while the response lives.
    const char *get_request() const { return request.c_str(); }
    const char *get_response() const { return response.c_str(); }
    long get_status() const { return status; }

    void set_status(long code) { status = code; }
    void process(const char *bytes, size_t count) { response.append(bytes, count); }

private:
    std::string request;
    long status = 0;
    std::string response;
};

class HTTPRequest {
public:
    // Any HTTP status is a normal return; a transport failure (no connection, TLS
    // refusal, time-out) throws std::runtime_error with libcurl's text.
    static HTTPResponse GET(const std::string &url,
                            const std::map<std::string, std::string> &parameters);

    // base?k1=v1&k2=v2& in key order; the base alone for an empty map. Values are used as
    // given (already in URL form).
    static std::string BuildURL(const std::string &url,
                                const std::map<std::string, std::string> &parameters);

    // A transfer that moves less than one byte per second for this long is abandoned
    // (30 s). Tests shorten it; the program itself never changes it.
    static void SetLowSpeedTime(long seconds);
    static long LowSpeedTime();

    static constexpr long kConnectTimeoutSeconds = 10;
    static constexpr long kLowSpeedTimeSeconds = 30;
};

#endif
