// A module peer (tests/peers/module_peer.py) with its system entity on, and a Module
// connected to it over TCP the way the update engine connects: no sharing server.
#ifndef _ObjectsPeer_H_
#define _ObjectsPeer_H_

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../common/ModulePeerProcess.h"
#include "Module.h"

namespace objects_test {

using Veltrona::Corvantis::aFabricConfig;
using Veltrona::Corvantis::Module;

inline linkSpec tcpSpec(uint32_t serial, uint16_t port) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = serial;
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = port;
    return spec;
}

inline aFabricConfig directConfig() {
    aFabricConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

class PeerTest : public ::testing::Test {
protected:
    // Each test gets its own serial number, so no two tests share a link of the engine.
    static uint32_t nextSerial() {
        static uint32_t serial = 0x0B1E0000;
        return ++serial;
    }

    void startPeer(bool system = true) {
        ModulePeerProcess::Options options;
        options.serial = serial = nextSerial();
        options.address = 6;
        ASSERT_TRUE(peer.start(options));
        if (system) {
            ASSERT_TRUE(peer.ok("system on"));
        }
    }

    // A module (address 2 until auto-networking learns 6) connected to the peer.
    void connectModule() {
        module.reset(new Module(2, 0));
        ASSERT_EQ(module->setConfig(directConfig()), aErrNone);
        ASSERT_EQ(module->connectFromSpec(tcpSpec(serial, peer.tcpPort)), aErrNone);
        ASSERT_EQ(module->getModuleAddress(), 6);
    }

    void SetUp() override {
        startPeer();
        connectModule();
    }

    void TearDown() override {
        module.reset();
        peer.stop();
    }

    // The packets the peer received since the last log-clear, waiting until at least count
    // arrived (or a short time passed).
    std::vector<std::string> received(size_t count) {
        peer.control("wait-rx " + std::to_string(count) + " 1000");
        return peer.rxLog();
    }
    // Forgets what the peer received so far.
    void clearLog() { ASSERT_TRUE(peer.ok("log-clear")); }

    ModulePeerProcess peer;
    uint32_t serial = 0;
    std::unique_ptr<Module> module;
};

inline long msSince(std::chrono::steady_clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace objects_test

#endif
