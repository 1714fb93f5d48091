// Builds device and configuration descriptors for the tests, well formed or
// broken on purpose, and holds them in buffers of their exact size so that
// AddressSanitizer sees any read past their end.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/usb/usb.h"

namespace usbtest {

struct Ep {
    UCHAR address;
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval = 1;
};

struct Setting {
    UCHAR number;
    UCHAR alternate;
    std::vector<Ep> endpoints;
    UCHAR interfaceClass = 0xFF;
};

inline void put16(std::vector<UCHAR>& v, USHORT x) {
    v.push_back(static_cast<UCHAR>(x & 0xFF));
    v.push_back(static_cast<UCHAR>(x >> 8));
}

inline std::vector<UCHAR> deviceDescriptor(USHORT vendor = 0xF1A5, USHORT product = 0x0B2D) {
    std::vector<UCHAR> d = {18, USB_DEVICE_DESCRIPTOR_TYPE, 0x00, 0x02, 0, 0, 0, 64};
    put16(d, vendor);
    put16(d, product);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 0, 1});
    return d;
}

inline void appendInterface(std::vector<UCHAR>& v, UCHAR number, UCHAR alternate, UCHAR endpoints,
                            UCHAR interfaceClass = 0xFF, UCHAR length = 9) {
    std::vector<UCHAR> d = {
        length, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, endpoints, interfaceClass, 1, 2,
        0};
    d.resize(length < 2 ? 2 : length, 0);
    d[0] = length;
    v.insert(v.end(), d.begin(), d.end());
}

inline void appendEndpoint(std::vector<UCHAR>& v, const Ep& e, UCHAR length = 7) {
    std::vector<UCHAR> d = {length, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, e.attributes};
    put16(d, e.maxPacket);
    d.push_back(e.interval);
    d.resize(length < 2 ? 2 : length, 0);
    d[0] = length;
    v.insert(v.end(), d.begin(), d.end());
}

// Sets wTotalLength to the size (unless told otherwise) and bNumInterfaces.
inline void finishConfiguration(std::vector<UCHAR>& v, UCHAR interfaces, int totalLength = -1) {
    USHORT total = static_cast<USHORT>(totalLength < 0 ? v.size() : totalLength);
    v[2] = static_cast<UCHAR>(total & 0xFF);
    v[3] = static_cast<UCHAR>(total >> 8);
    v[4] = interfaces;
}

inline std::vector<UCHAR> configurationHeader(UCHAR value = 1) {
    return {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, value, 0, 0x80, 50};
}

inline std::vector<UCHAR> configurationDescriptor(const std::vector<Setting>& settings,
                                                  UCHAR value = 1) {
    std::vector<UCHAR> v = configurationHeader(value);
    std::vector<UCHAR> numbers;
    for (const Setting& s : settings) {
        appendInterface(v, s.number, s.alternate, static_cast<UCHAR>(s.endpoints.size()),
                        s.interfaceClass);
        for (const Ep& e : s.endpoints) appendEndpoint(v, e);
        bool seen = false;
        for (UCHAR n : numbers) seen |= n == s.number;
        if (!seen) numbers.push_back(s.number);
    }
    finishConfiguration(v, static_cast<UCHAR>(numbers.size()));
    return v;
}

// A camera-like interface 0: settings 0 and 1 with the bulk and interrupt
// pipes, settings 2 and 3 adding the isochronous video pipe.
inline std::vector<Setting> cameraSettings() {
    std::vector<Ep> base = {{0x82, USB_ENDPOINT_TYPE_BULK, 64},
                            {0x05, USB_ENDPOINT_TYPE_BULK, 64},
                            {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}};
    std::vector<Setting> s = {{0, 0, base}, {0, 1, base}};
    std::vector<Ep> iso2 = base;
    iso2.push_back({0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 128});
    std::vector<Ep> iso3 = base;
    iso3.push_back({0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 384});
    s.push_back({0, 2, iso2});
    s.push_back({0, 3, iso3});
    return s;
}

// A heap block of exactly the bytes given.
class Exact {
  public:
    explicit Exact(const std::vector<UCHAR>& bytes)
        : size_(bytes.size()), data_(new UCHAR[bytes.size() ? bytes.size() : 1]) {
        if (size_) std::memcpy(data_.get(), bytes.data(), size_);
    }
    UCHAR* data() { return data_.get(); }
    size_t size() const { return size_; }
    PUSB_CONFIGURATION_DESCRIPTOR config() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(data_.get());
    }

  private:
    size_t size_;
    std::unique_ptr<UCHAR[]> data_;
};

}  // namespace usbtest
