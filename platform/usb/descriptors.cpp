#include "platform/usb/descriptors.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

namespace usbbus {
namespace {

std::string format(const char* fmt, unsigned a = 0, unsigned b = 0, unsigned c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

void note(std::vector<std::string>* problems, std::string text) {
    if (problems) problems->push_back(std::move(text));
}

// Largest packet a full- or high-speed endpoint of each type may declare.
unsigned packetLimit(UCHAR type) {
    switch (type) {
        case USB_ENDPOINT_TYPE_CONTROL:
            return 64;
        case USB_ENDPOINT_TYPE_BULK:
            return 512;
        default:
            return 1024;
    }
}

// Why an endpoint descriptor cannot be used, or empty when it can.
std::string endpointFlaw(const USB_ENDPOINT_DESCRIPTOR& e) {
    UCHAR type = e.bmAttributes & USB_ENDPOINT_TYPE_MASK;
    unsigned bytes = e.wMaxPacketSize & 0x7FF;
    unsigned extra = (e.wMaxPacketSize >> 11) & 0x3;
    if ((e.bEndpointAddress & 0x0F) == 0) return "endpoint descriptor names endpoint 0";
    if (e.bEndpointAddress & 0x70)
        return format("endpoint 0x%02X has reserved address bits set", e.bEndpointAddress);
    if (bytes == 0) return format("endpoint 0x%02X has wMaxPacketSize 0", e.bEndpointAddress);
    if ((e.wMaxPacketSize & 0xE000) != 0 || bytes > packetLimit(type) ||
        (extra != 0 && (type == USB_ENDPOINT_TYPE_BULK || type == USB_ENDPOINT_TYPE_CONTROL)) ||
        extra == 3) {
        return format("endpoint 0x%02X has oversized wMaxPacketSize 0x%04X", e.bEndpointAddress,
                      e.wMaxPacketSize);
    }
    return {};
}

struct KeptInterface {
    size_t headerOffset;  // of the interface descriptor in the kept bytes
    InterfaceSetting setting;
    UCHAR declaredEndpoints;
};

}  // namespace

const InterfaceSetting* ConfigurationInfo::find(UCHAR number, UCHAR alternate) const {
    for (const InterfaceSetting& s : settings)
        if (s.number == number && s.alternate == alternate) return &s;
    return nullptr;
}

bool checkDeviceDescriptor(const void* data, size_t length, USB_DEVICE_DESCRIPTOR* out,
                           std::vector<std::string>* problems) {
    auto* p = static_cast<const UCHAR*>(data);
    if (!p || length < sizeof(USB_DEVICE_DESCRIPTOR)) {
        note(problems, format("device descriptor: %u bytes received, 18 needed",
                              static_cast<unsigned>(length)));
        return false;
    }
    USB_DEVICE_DESCRIPTOR d;
    std::memcpy(&d, p, sizeof d);
    if (d.bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
        note(problems, format("device descriptor: type %u instead of 1", d.bDescriptorType));
        return false;
    }
    if (d.bLength < sizeof(USB_DEVICE_DESCRIPTOR)) {
        note(problems, format("device descriptor: bLength %u is below 18", d.bLength));
        return false;
    }
    if (d.bLength != sizeof(USB_DEVICE_DESCRIPTOR)) {
        note(problems, format("device descriptor: bLength %u instead of 18", d.bLength));
        d.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    }
    UCHAR mps = d.bMaxPacketSize0;
    if (mps != 8 && mps != 16 && mps != 32 && mps != 64) {
        note(problems, format("device descriptor: bMaxPacketSize0 %u is not 8, 16, 32 or 64", mps));
    }
    if (d.bNumConfigurations == 0) note(problems, "device descriptor: bNumConfigurations is 0");
    if (out) *out = d;
    return true;
}

bool checkConfigurationDescriptor(const void* data, size_t length, ConfigurationInfo* out,
                                  std::vector<std::string>* problems) {
    ConfigurationInfo info;
    auto* p = static_cast<const UCHAR*>(data);
    if (!p || length < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        note(problems, format("configuration descriptor: %u bytes received, 9 needed",
                              static_cast<unsigned>(length)));
        return false;
    }
    USB_CONFIGURATION_DESCRIPTOR header;
    std::memcpy(&header, p, sizeof header);
    if (header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        note(problems,
             format("configuration descriptor: type %u instead of 2", header.bDescriptorType));
        return false;
    }
    if (header.bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        note(problems, format("configuration descriptor: bLength %u is below 9", header.bLength));
        return false;
    }
    size_t total = header.wTotalLength;
    if (total < header.bLength) {
        note(problems,
             format("configuration descriptor: wTotalLength %u is below its own bLength %u",
                    header.wTotalLength, header.bLength));
        return false;
    }
    if (total > length) {
        note(problems,
             format("configuration descriptor: wTotalLength %u but only %u bytes received",
                    header.wTotalLength, static_cast<unsigned>(length)));
        total = length;
    }
    if (header.bLength > sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        note(problems, format("configuration descriptor: bLength %u instead of 9", header.bLength));
    }
    info.configurationValue = header.bConfigurationValue;
    info.attributes = header.bmAttributes;
    info.maxPower = header.MaxPower;
    info.bytes.assign(p, p + sizeof header);
    info.bytes[0] = sizeof header;

    std::vector<KeptInterface> kept;
    bool inInterface = false;  // descriptors that follow belong to a kept interface
    bool skipping = false;     // ... or to one that was dropped
    std::set<std::pair<UCHAR, UCHAR>> seenSettings;
    size_t at = header.bLength;
    while (at < total) {
        size_t left = total - at;
        if (left < 2) {
            note(problems, format("configuration descriptor: %u stray byte(s) at offset %u",
                                  static_cast<unsigned>(left), static_cast<unsigned>(at)));
            break;
        }
        UCHAR dlen = p[at];
        UCHAR dtype = p[at + 1];
        if (dlen < 2) {
            note(problems, format("descriptor at offset %u has bLength %u; the rest is ignored",
                                  static_cast<unsigned>(at), dlen));
            break;
        }
        if (dlen > left) {
            note(problems,
                 format(
                     "descriptor at offset %u (bLength %u) runs past the end; the rest is ignored",
                     static_cast<unsigned>(at), dlen));
            break;
        }
        const UCHAR* d = p + at;
        at += dlen;
        if (dtype == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (dlen < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                note(problems, format("interface descriptor at offset %u has bLength %u; dropped "
                                      "with what follows it",
                                      static_cast<unsigned>(d - p), dlen));
                inInterface = false;
                skipping = true;
                continue;
            }
            USB_INTERFACE_DESCRIPTOR ifc;
            std::memcpy(&ifc, d, sizeof ifc);
            if (!seenSettings.insert({ifc.bInterfaceNumber, ifc.bAlternateSetting}).second) {
                note(
                    problems,
                    format("interface %u alternate setting %u appears twice; the second is dropped",
                           ifc.bInterfaceNumber, ifc.bAlternateSetting));
                inInterface = false;
                skipping = true;
                continue;
            }
            KeptInterface k;
            k.headerOffset = info.bytes.size();
            k.declaredEndpoints = ifc.bNumEndpoints;
            k.setting.number = ifc.bInterfaceNumber;
            k.setting.alternate = ifc.bAlternateSetting;
            k.setting.interfaceClass = ifc.bInterfaceClass;
            k.setting.subClass = ifc.bInterfaceSubClass;
            k.setting.protocol = ifc.bInterfaceProtocol;
            kept.push_back(std::move(k));
            ifc.bLength = sizeof ifc;
            auto* raw = reinterpret_cast<const UCHAR*>(&ifc);
            info.bytes.insert(info.bytes.end(), raw, raw + sizeof ifc);
            inInterface = true;
            skipping = false;
            continue;
        }
        if (dtype == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (skipping) continue;
            if (!inInterface) {
                note(problems,
                     format("endpoint descriptor at offset %u outside any interface; dropped",
                            static_cast<unsigned>(d - p)));
                continue;
            }
            if (dlen < sizeof(USB_ENDPOINT_DESCRIPTOR)) {
                note(problems, format("endpoint descriptor at offset %u has bLength %u; dropped",
                                      static_cast<unsigned>(d - p), dlen));
                continue;
            }
            USB_ENDPOINT_DESCRIPTOR e;
            std::memcpy(&e, d, sizeof e);
            InterfaceSetting& s = kept.back().setting;
            std::string flaw = endpointFlaw(e);
            if (flaw.empty()) {
                for (const EndpointInfo& other : s.endpoints) {
                    if (other.address == e.bEndpointAddress) {
                        flaw = format("endpoint 0x%02X appears twice in one setting",
                                      e.bEndpointAddress);
                        break;
                    }
                }
            }
            if (!flaw.empty()) {
                note(problems,
                     format("interface %u alternate setting %u: ", s.number, s.alternate) + flaw +
                         "; dropped");
                continue;
            }
            s.endpoints.push_back(
                {e.bEndpointAddress, e.bmAttributes, e.wMaxPacketSize, e.bInterval});
            e.bLength = sizeof e;
            auto* raw = reinterpret_cast<const UCHAR*>(&e);
            info.bytes.insert(info.bytes.end(), raw, raw + sizeof e);
            continue;
        }
        if (dtype == USB_DEVICE_DESCRIPTOR_TYPE || dtype == USB_CONFIGURATION_DESCRIPTOR_TYPE) {
            note(problems,
                 format("descriptor of type %u inside the configuration; dropped", dtype));
            continue;
        }
        // Class-specific and other descriptors travel with the interface they
        // follow (or with the configuration when they come first).
        if (skipping) continue;
        info.bytes.insert(info.bytes.end(), d, d + dlen);
    }

    std::set<UCHAR> numbers;
    for (KeptInterface& k : kept) {
        numbers.insert(k.setting.number);
        auto count = static_cast<UCHAR>(k.setting.endpoints.size());
        if (count != k.declaredEndpoints) {
            note(problems, format("interface %u alternate setting %u declares %u endpoint(s)",
                                  k.setting.number, k.setting.alternate, k.declaredEndpoints) +
                               format(" but %u well-formed one(s) follow", count));
            info.bytes[k.headerOffset + offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints)] = count;
        }
        info.settings.push_back(std::move(k.setting));
    }
    if (kept.empty()) note(problems, "configuration descriptor has no usable interface");
    for (UCHAR n : numbers) {
        UCHAR highest = 0;
        for (const InterfaceSetting& s : info.settings)
            if (s.number == n && s.alternate > highest) highest = s.alternate;
        for (unsigned a = 0; a <= highest; ++a) {
            if (!info.find(n, static_cast<UCHAR>(a))) {
                note(problems, format("interface %u lacks alternate setting %u", n, a));
            }
        }
    }
    if (numbers.size() != header.bNumInterfaces) {
        note(problems,
             format("configuration descriptor: bNumInterfaces %u but %u interface(s) present",
                    header.bNumInterfaces, static_cast<unsigned>(numbers.size())));
    }
    auto* h = reinterpret_cast<USB_CONFIGURATION_DESCRIPTOR*>(info.bytes.data());
    h->bNumInterfaces = static_cast<UCHAR>(numbers.size());
    if (info.bytes.size() > 0xFFFF)
        info.bytes.resize(0xFFFF);  // cannot happen: input is bounded by wTotalLength
    h->wTotalLength = static_cast<USHORT>(info.bytes.size());
    if (out) *out = std::move(info);
    return true;
}

}  // namespace usbbus
