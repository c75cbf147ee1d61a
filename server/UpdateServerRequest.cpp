#include "UpdateServerRequest.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "HTTPRequest.h"
#include "Log.h"

#ifndef UPDATER_SERVER_HOST
#define UPDATER_SERVER_HOST "updates.veltrona.example"
#endif

namespace {

using Params = std::map<std::string, std::string>;

std::string sHex8(unsigned value) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", value);
    return text;
}

// Non-empty pieces of the text between any of the separator characters.
std::vector<std::string> sTokens(const std::string &text, const char *separators) {
    std::vector<std::string> pieces;
    size_t pos = 0;
    while (true) {
        size_t start = text.find_first_not_of(separators, pos);
        if (start == std::string::npos)
            break;
        size_t end = text.find_first_of(separators, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        pos = end;
    }
    return pieces;
}

std::string sCutLineEnd(const std::string &line) {
    return line.substr(0, line.find_first_of("\r\n"));
}

// Performs the request and checks status and the "ok" line. On success `lines` holds the
// answer's non-empty lines, "ok" line first.
bool sRequest(const char *name, const char *url, const Params &params,
              std::vector<std::string> &lines) {
    HTTPResponse response("");
    try {
        response = HTTPRequest::GET(url ? url : UpdateServerRequest::DefaultURL(), params);
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    if (response.get_status() != 200) {
        if (std::string(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n",
                     static_cast<int>(response.get_status()), response.get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", name,
                     static_cast<int>(response.get_status()), response.get_response());
        return false;
    }
    lines = sTokens(std::string(response.get_response()), "\n");
    if (lines.empty() || lines[0].compare(0, 2, "ok") != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                 response.get_request());
        return false;
    }
    return true;
}

// Decimal conversion with the rules of the standard string-to-integer conversion; the
// part is compared as a byte. Throws on a piece without digits or out of range.
uint8_t sVersionPart(const std::string &piece) {
    return static_cast<uint8_t>(std::stoi(piece));
}

bool sParseVersion(const std::string &text, uint8_t parts[3]) {
    std::vector<std::string> pieces = UpdateServerRequest::SplitCorvantisVersion(text);
    if (pieces.size() != 3)
        return false;
    try {
        for (int i = 0; i < 3; i++)
            parts[i] = sVersionPart(pieces[i]);
    } catch (const std::exception &e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return false;
    }
    return true;
}

// True when a's version is newer than b's.
bool _sortVersion(const std::pair<std::string, std::string> &a,
                  const std::pair<std::string, std::string> &b) {
    uint8_t va[3], vb[3];
    if (!sParseVersion(a.second, va) || !sParseVersion(b.second, vb))
        return false;
    for (int i = 0; i < 3; i++)
        if (va[i] != vb[i])
            return va[i] > vb[i];
    return false;
}

} // namespace

const char *UpdateServerRequest::DefaultURL() {
    return "http://" UPDATER_SERVER_HOST "/cgi/u";
}

bool UpdateServerRequest::ping(const char *url) {
    std::vector<std::string> lines;
    return sRequest("ping", url, {{"op", "hi"}, {"rv", "2"}}, lines);
}

bool UpdateServerRequest::QueryBuild(unsigned serial, std::string &build, std::string &firmware,
                                     const char *url) {
    std::vector<std::string> lines;
    if (!sRequest("QueryBuild", url, {{"op", "qu"}, {"sn", sHex8(serial)}}, lines))
        return false;
    if (lines.size() > 1)
        build = sCutLineEnd(lines[1]);
    if (lines.size() > 2)
        firmware = sCutLineEnd(lines[2]);
    return true;
}

bool UpdateServerRequest::GetBuild(unsigned serial, const std::string &firmware,
                                   const std::string &build, std::string &body, const char *url,
                                   bool noCalibration) {
    std::vector<std::string> lines;
    Params params{{"bld", build},
                  {"fw", firmware},
                  {"no_cal", noCalibration ? "true" : "false"},
                  {"op", "bird"},
                  {"sn", sHex8(serial)}};
    if (!sRequest("GetBuild", url, params, lines))
        return false;
    body.clear();
    if (lines.size() > 1)
        body = lines[1];
    return true;
}

bool UpdateServerRequest::GetBuildList(unsigned serial, BuildMap &builds, const char *url) {
    builds.clear();
    std::vector<std::string> lines;
    if (!sRequest("GetBuildList", url, {{"op", "builds"}, {"sn", sHex8(serial)}}, lines))
        return false;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string &line = lines[i];
        if (line.size() < 3)
            continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", line.c_str());
        std::vector<std::string> pieces = sTokens(line, ";\r\n");
        if (pieces.empty())
            continue;
        std::string buildText = pieces[0];
        std::string version = pieces.size() > 1 ? pieces[1] : std::string();
        // The first line for a build number wins.
        builds.emplace(buildText, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", buildText.c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t fingerprint[4], unsigned &serial,
                                          unsigned &build, const char *url) {
    char fp[64];
    snprintf(fp, sizeof(fp), "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
             fingerprint[2], fingerprint[3]);
    std::vector<std::string> lines;
    if (!sRequest("GetRecoveryInfo", url, {{"brief", "true"}, {"fp", fp}, {"op", "fix"}}, lines))
        return false;
    if (lines.size() > 1)
        serial = static_cast<unsigned>(strtoul(lines[1].c_str(), nullptr, 16));
    if (lines.size() > 2)
        build = static_cast<unsigned>(strtoul(lines[2].c_str(), nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0].c_str(),
             lines.size() > 1 ? lines[1].c_str() : "", lines.size() > 2 ? lines[2].c_str() : "");
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(unsigned serial, std::string &token, const char *url) {
    std::vector<std::string> lines;
    if (!sRequest("GetDeviceJWT", url,
                  {{"json", "false"}, {"op", "ent_jwt"}, {"sn", sHex8(serial)}}, lines))
        return false;
    if (lines.size() < 2 || lines[1].size() <= 2) {
        Log::log(DEBUG_ServerComm, "%s: no token in answer\n", "GetDeviceJWT");
        return false;
    }
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", lines[1].c_str());
    std::string line = sCutLineEnd(lines[1]);
    // Header and payload end at the first two dots; the signature is the rest.
    size_t dot1 = line.find('.');
    size_t dot2 = dot1 == std::string::npos ? std::string::npos : line.find('.', dot1 + 1);
    if (dot2 == std::string::npos || dot1 < 2 || dot2 - dot1 - 1 < 2 ||
        line.size() - dot2 - 1 < 2) {
        Log::log(DEBUG_ServerComm, "%s: token does not have three parts [%s]\n", "GetDeviceJWT",
                 line.c_str());
        return false;
    }
    token = line;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(const std::string &text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        if (dot == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    if (pieces.size() != 3)
        pieces.clear();
    return pieces;
}

UpdateServerRequest::BuildList UpdateServerRequest::SortBuildsByVersion(const BuildMap &builds) {
    // The comparison holds every unreadable version equal to every other entry, which is no
    // order at all; so only readable versions are sorted and the rest follow unchanged.
    BuildList readable, unreadable;
    for (const auto &entry : builds) {
        uint8_t parts[3];
        (sParseVersion(entry.second, parts) ? readable : unreadable).push_back(entry);
    }
    std::stable_sort(readable.begin(), readable.end(), _sortVersion);
    readable.insert(readable.end(), unreadable.begin(), unreadable.end());
    return readable;
}
