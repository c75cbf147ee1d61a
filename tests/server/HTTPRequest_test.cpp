#include "HTTPRequest.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include <gtest/gtest.h>

#include "Log.h"
#include "UpdateServerPeer.h"

namespace {

const char *kData = R"({"devices": {"40F5849A": {"firmware": "CVT-HUB8", "latest": "7",
    "builds": {"7": "1.2.3"}}}})";

// A port on which nothing listens: bind one, note it, close it.
int ClosedPort() {
    TempDir dir;
    UpdateServerPeer peer(dir, kData);
    return peer.port; // the peer is stopped when it goes out of scope
}

} // namespace

TEST(HTTPRequest, BuildsSortedQueryWithTrailingAmpersand) {
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {{"b", "2"}, {"a", "1"}}),
              "http://h/cgi/u?a=1&b=2&");
    EXPECT_EQ(HTTPRequest::BuildURL("http://h/cgi/u", {}), "http://h/cgi/u");
    // Values travel as given: no encoding added.
    EXPECT_EQ(HTTPRequest::BuildURL("u", {{"fp", "1%202"}, {"Z", "x y"}}), "u?Z=x y&fp=1%202&");
}

TEST(HTTPRequest, ReturnsStatusBodyAndRequestedURL) {
    TempDir dir;
    UpdateServerPeer peer(dir, kData);
    ASSERT_GT(peer.port, 0);
    HTTPResponse r = HTTPRequest::GET(peer.URL(), {{"op", "qu"}, {"sn", "40F5849A"}});
    EXPECT_EQ(r.get_status(), 200);
    EXPECT_STREQ(r.get_response(), "ok\n7\nCVT-HUB8\n");
    EXPECT_EQ(std::string(r.get_request()), peer.URL() + "?op=qu&sn=40F5849A&");
    EXPECT_EQ(peer.Requests(), std::vector<std::string>{"/cgi/u?op=qu&sn=40F5849A&"});
}

TEST(HTTPRequest, EmptyMapRequestsTheBaseURLExactly) {
    TempDir dir;
    UpdateServerPeer peer(dir, kData);
    HTTPResponse r = HTTPRequest::GET(peer.URL(), {});
    EXPECT_STREQ(r.get_request(), peer.URL().c_str());
    EXPECT_EQ(peer.Requests(), std::vector<std::string>{"/cgi/u"});
}

TEST(HTTPRequest, ErrorStatusIsReturnedNotThrown) {
    TempDir dir;
    UpdateServerPeer peer(dir, kData, {"--misbehave", "*=404"});
    HTTPResponse r = HTTPRequest::GET(peer.URL(), {{"op", "hi"}});
    EXPECT_EQ(r.get_status(), 404);
    EXPECT_STREQ(r.get_response(), "not here\n");
}

TEST(HTTPRequest, BodyInPiecesArrivesInOrderAndEachPieceIsLogged) {
    TempDir dir;
    UpdateServerPeer peer(dir, kData, {"--misbehave", "*=pieces"});
    FILE *log = tmpfile();
    ASSERT_NE(log, nullptr);
    Log::SetOutput(log);
    Log::ActivatePackage(DEBUG_ServerComm);
    HTTPResponse r = HTTPRequest::GET(peer.URL(), {{"op", "qu"}, {"sn", "40F5849A"}});
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    EXPECT_STREQ(r.get_response(), "ok\n7\nCVT-HUB8\n");

    rewind(log);
    std::string text;
    char line[512];
    int calls = 0, returns = 0;
    while (fgets(line, sizeof(line), log)) {
        text += line;
        calls += std::string(line).rfind("rcv_data called (..., 1, ", 0) == 0;
        returns += std::string(line).rfind("rcv_data returns ", 0) == 0;
    }
    fclose(log);
    EXPECT_NE(text.find("GET(" + peer.URL() + "?op=qu&sn=40F5849A&)\n"), std::string::npos) << text;
    EXPECT_GE(calls, 2) << text;
    EXPECT_EQ(calls, returns) << text;
}

TEST(HTTPRequest, NoServerThrowsWithTransportText) {
    std::string url = "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/cgi/u";
    try {
        HTTPRequest::GET(url, {{"op", "hi"}});
        FAIL() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Couldn't connect to server");
    }
}

TEST(HTTPRequest, StalledTransferIsAbandoned) {
    TempDir dir;
    UpdateServerPeer peer(dir, kData, {"--misbehave", "*=stall", "--stall-seconds", "20"});
    HTTPRequest::SetLowSpeedTime(1);
    auto start = std::chrono::steady_clock::now();
    try {
        HTTPRequest::GET(peer.URL(), {{"op", "hi"}});
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "Timeout was reached");
    }
    HTTPRequest::SetLowSpeedTime(HTTPRequest::kLowSpeedTimeSeconds);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 10.0);
}

TEST(HTTPRequest, UntrustedCertificateIsRefused) {
    TempDir dir;
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout '" +
                          dir.File("key.pem") + "' -out '" + dir.File("cert.pem") +
                          "' >/dev/null 2>&1";
    if (system(command.c_str()) != 0)
        GTEST_SKIP() << "openssl cannot make a test certificate here";
    UpdateServerPeer peer(dir, kData,
                          {"--tls-cert", dir.File("cert.pem"), "--tls-key", dir.File("key.pem")});
    ASSERT_GT(peer.port, 0);
    try {
        HTTPRequest::GET(peer.URL("https"), {{"op", "hi"}});
        FAIL() << "a self-signed certificate was accepted";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "SSL peer certificate or SSH remote key was not OK");
    }
    // The refusal happens before any request reaches the server.
    EXPECT_TRUE(peer.Requests().empty());
}
