// The update server's query protocol: one static operation per request. Every request is
// a GET on the base URL with sorted query keys; every answer is lines of text whose first
// line begins with "ok". Nothing here throws; every failure is one log line and false.
#ifndef _UpdateServerRequest_H_
#define _UpdateServerRequest_H_

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    using BuildMap = std::map<std::string, std::string>;
    using BuildList = std::vector<std::pair<std::string, std::string>>;

    // A null url means the default server.
    static bool ping(const char *url);
    static bool QueryBuild(unsigned serial, std::string &build, std::string &firmware,
                           const char *url);
    static bool GetBuild(unsigned serial, const std::string &firmware, const std::string &build,
                         std::string &body, const char *url, bool noCalibration);
    static bool GetBuildList(unsigned serial, BuildMap &builds, const char *url);
    // fingerprint: the four words of a chip's recovery fingerprint, word 0 first.
    static bool GetRecoveryInfo(const uint32_t fingerprint[4], unsigned &serial, unsigned &build,
                                const char *url);
    static bool GetDeviceJWT(unsigned serial, std::string &token, const char *url);

    // Newest version first. Entries whose version is not three numbers come last, in
    // build-number order.
    static BuildList SortBuildsByVersion(const BuildMap &builds);
    // The three dot-separated parts of a version text, or an empty list.
    static std::vector<std::string> SplitCorvantisVersion(const std::string &text);

    // The server asked when a caller passes no url.
    static const char *DefaultURL();
};

#endif
