// A scripted stand-in for the libusb calls of the USB transport and of USB discovery. Devices
// are plain records; bulk transfers take their results from per-direction scripts and are
// recorded, so tests see exactly which transfers the transport made.
#ifndef _FakeLibusb_H_
#define _FakeLibusb_H_

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "Corvantis_libusb_context.h"
#include "cvusb_driver.h"

struct FakeDevice {
    uint16_t vendor = kCorvantisVendorId;
    uint16_t product = 0x0005;
    std::string serial;
    int openResult = 0;
    int claimResult = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    uint8_t interfaceNumber = 2;
    std::vector<libusb_endpoint_descriptor> endpoints;
    // Descriptor storage handed out by get_config_descriptor.
    libusb_interface_descriptor setting{};
    libusb_interface interface {};
    libusb_config_descriptor config{};

    FakeDevice(const std::string &serialText, uint16_t packetSize = 512) : serial(serialText) {
        endpoints.push_back(sEndpoint(0x81, LIBUSB_TRANSFER_TYPE_BULK, packetSize));
        endpoints.push_back(sEndpoint(0x02, LIBUSB_TRANSFER_TYPE_BULK, packetSize));
    }
    static libusb_endpoint_descriptor sEndpoint(uint8_t address, uint8_t attributes,
                                                uint16_t size) {
        libusb_endpoint_descriptor endpoint{};
        endpoint.bLength = LIBUSB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = LIBUSB_DT_ENDPOINT;
        endpoint.bEndpointAddress = address;
        endpoint.bmAttributes = attributes;
        endpoint.wMaxPacketSize = size;
        return endpoint;
    }
};

struct FakeTransfer {
    unsigned char endpoint;
    int length;
    unsigned int timeout;
    std::vector<uint8_t> data; // bytes that went out (OUT) or came in (IN)
};

struct FakeReply {
    int rc;
    int transferred; // -1: the whole length asked for
    std::vector<uint8_t> data;
};

class FakeLibusb {
public:
    std::deque<FakeDevice> devices;
    std::deque<FakeReply> outReplies; // empty: every OUT transfer succeeds in full
    std::deque<FakeReply> inReplies;  // empty: every IN transfer times out with nothing
    std::vector<FakeTransfer> transfers;
    std::vector<unsigned char> clearedEndpoints;
    int clearHaltResult = 0;
    int inits = 0, exits = 0, opens = 0, closes = 0, lists = 0, freedLists = 0;
    int configs = 0, freedConfigs = 0, claims = 0, releases = 0;

    FakeLibusb() {
        sCurrent = this;
        Corvantis_libusb_set_ops(&sOps);
    }
    ~FakeLibusb() {
        Corvantis_libusb_set_ops(nullptr);
        sCurrent = nullptr;
    }
    FakeDevice &add(const std::string &serial, uint16_t product = 0x0005,
                    uint16_t packetSize = 512) {
        devices.emplace_back(serial, packetSize);
        devices.back().product = product;
        return devices.back();
    }
    libusb_device *device(size_t index) { return (libusb_device *)&devices[index]; }
    std::vector<int> outLengths() const {
        std::vector<int> lengths;
        for (const FakeTransfer &t : transfers)
            if (!(t.endpoint & LIBUSB_ENDPOINT_IN))
                lengths.push_back((int)t.data.size());
        return lengths;
    }

private:
    static inline FakeLibusb *sCurrent = nullptr;
    static FakeDevice *sDevice(libusb_device *d) { return (FakeDevice *)d; }
    static FakeDevice *sDevice(libusb_device_handle *h) { return (FakeDevice *)h; }

    static int sInit(libusb_context **context) {
        ++sCurrent->inits;
        *context = (libusb_context *)(uintptr_t)(0x1000 + sCurrent->inits);
        return 0;
    }
    static void sExit(libusb_context *) { ++sCurrent->exits; }
    static ssize_t sGetDeviceList(libusb_context *, libusb_device ***list) {
        ++sCurrent->lists;
        size_t n = sCurrent->devices.size();
        *list = new libusb_device *[n + 1];
        for (size_t i = 0; i < n; ++i)
            (*list)[i] = (libusb_device *)&sCurrent->devices[i];
        (*list)[n] = nullptr;
        return (ssize_t)n;
    }
    static void sFreeDeviceList(libusb_device **list, int) {
        ++sCurrent->freedLists;
        delete[] list;
    }
    static int sGetDeviceDescriptor(libusb_device *d, libusb_device_descriptor *out) {
        memset(out, 0, sizeof(*out));
        out->idVendor = sDevice(d)->vendor;
        out->idProduct = sDevice(d)->product;
        out->iSerialNumber = 3;
        out->bNumConfigurations = 1;
        return 0;
    }
    static int sOpen(libusb_device *d, libusb_device_handle **handle) {
        if (sDevice(d)->openResult)
            return sDevice(d)->openResult;
        ++sCurrent->opens;
        *handle = (libusb_device_handle *)d;
        return 0;
    }
    static void sClose(libusb_device_handle *) { ++sCurrent->closes; }
    static libusb_device *sGetDevice(libusb_device_handle *h) { return (libusb_device *)h; }
    static int sGetString(libusb_device_handle *h, uint8_t, unsigned char *data, int length) {
        const std::string &text = sDevice(h)->serial;
        int n = (int)text.size() < length ? (int)text.size() : length;
        memcpy(data, text.data(), (size_t)n);
        return n;
    }
    static int sGetConfig(libusb_device *d, uint8_t index, libusb_config_descriptor **config) {
        if (index != 0)
            return LIBUSB_ERROR_NOT_FOUND;
        ++sCurrent->configs;
        FakeDevice *device = sDevice(d);
        device->setting = libusb_interface_descriptor{};
        device->setting.bInterfaceNumber = device->interfaceNumber;
        device->setting.bInterfaceClass = device->interfaceClass;
        device->setting.bInterfaceSubClass = device->interfaceSubClass;
        device->setting.bInterfaceProtocol = device->interfaceProtocol;
        device->setting.bNumEndpoints = (uint8_t)device->endpoints.size();
        device->setting.endpoint = device->endpoints.data();
        device->interface.altsetting = &device->setting;
        device->interface.num_altsetting = 1;
        device->config = libusb_config_descriptor{};
        device->config.bNumInterfaces = 1;
        device->config.interface = &device->interface;
        *config = &device->config;
        return 0;
    }
    static void sFreeConfig(libusb_config_descriptor *) { ++sCurrent->freedConfigs; }
    static int sClaim(libusb_device_handle *h, int) {
        ++sCurrent->claims;
        return sDevice(h)->claimResult;
    }
    static int sRelease(libusb_device_handle *, int) {
        ++sCurrent->releases;
        return 0;
    }
    static int sBulk(libusb_device_handle *, unsigned char endpoint, unsigned char *data,
                     int length, int *transferred, unsigned int timeout) {
        bool in = endpoint & LIBUSB_ENDPOINT_IN;
        std::deque<FakeReply> &script = in ? sCurrent->inReplies : sCurrent->outReplies;
        FakeReply reply = in ? FakeReply{LIBUSB_ERROR_TIMEOUT, 0, {}} : FakeReply{0, -1, {}};
        if (!script.empty()) {
            reply = script.front();
            script.pop_front();
        }
        FakeTransfer record{endpoint, length, timeout, {}};
        if (in) {
            int n = (int)reply.data.size() < length ? (int)reply.data.size() : length;
            if (n > 0)
                memcpy(data, reply.data.data(), (size_t)n);
            *transferred = n;
            record.data.assign(data, data + n);
        } else {
            int n = reply.transferred < 0 ? length : reply.transferred;
            *transferred = n;
            record.data.assign(data, data + n);
        }
        sCurrent->transfers.push_back(record);
        return reply.rc;
    }
    static int sClearHalt(libusb_device_handle *, unsigned char endpoint) {
        sCurrent->clearedEndpoints.push_back(endpoint);
        return sCurrent->clearHaltResult;
    }

    static inline const Corvantis_libusb_ops sOps = {
        sInit,       sExit,  sGetDeviceList, sFreeDeviceList, sGetDeviceDescriptor,
        sOpen,       sClose, sGetDevice,     sGetString,      sGetConfig,
        sFreeConfig, sClaim, sRelease,       sBulk,           sClearHalt,
    };
};

#endif
