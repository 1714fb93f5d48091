// A client that speaks the socket protocol byte by byte, for tests that send
// what no library would: half messages, wrong kinds, lengths no kind may have.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pav512/guids.h"
#include "platform/user/channel_protocol.h"

namespace pavtest {

inline int connectRaw(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads until the host closes the connection; false if it stays open for
// `seconds` without a byte.
inline bool closedByHost(int fd, std::vector<std::uint8_t>* received = nullptr, int seconds = 5) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, seconds * 1000) <= 0) return false;
        std::uint8_t buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
        if (received) received->insert(received->end(), buf, buf + n);
    }
}

inline std::vector<std::uint8_t> header(std::uint32_t length, std::uint16_t kind,
                                        std::uint16_t flags = 0) {
    std::vector<std::uint8_t> h(8);
    std::memcpy(h.data(), &length, 4);
    std::memcpy(h.data() + 4, &kind, 2);
    std::memcpy(h.data() + 6, &flags, 2);
    return h;
}

inline std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                           const std::vector<std::uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sends without waiting; false once the host has closed the connection (or
// the socket is full, with *full set).
inline bool sendSome(int fd, const std::vector<std::uint8_t>& bytes, bool* full) {
    *full = false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done,
                           MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            *full = true;
            return true;
        }
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// The hello and an open of `interfacePath`'s control channel, as the first
// bytes a well-behaved client sends.
inline std::vector<std::uint8_t> helloAndOpen(const std::string& interfacePath) {
    return uproto::encodeHello() + uproto::encodeOpen(interfacePath + pav512::kConnectSuffix);
}

}  // namespace pavtest
