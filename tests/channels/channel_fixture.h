// The channel tests run over both transports: the host in this process, and
// the socket server (in this process too, on its own threads) reached through
// the socket client.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/inprocess_transport.h"
#include "host/socket_server.h"
#include "platform/user/runtime_dir.h"
#include "tests/channels/channel_client.h"
#include "tests/channels/fake_driver.h"
#include "tests/support/kernel_test.h"

namespace pavtest {

enum class Transport { InProcess, Socket };

inline std::string transportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::InProcess ? "InProcess" : "Socket";
}

// Installs the transport of the parameter for the test's lifetime.
class TransportScope {
  public:
    explicit TransportScope(Transport t) {
        if (t == Transport::Socket) {
            std::string error;
            socketPath_ = uruntime::socketPathIn(uruntime::hostDirectory(false));
            host::SocketServer::Options o;
            o.socketPath = socketPath_;
            server_ = host::SocketServer::start(o, &error);
            EXPECT_NE(server_, nullptr) << error;
            uchannel::setTransport(uchannel::makeSocketTransport(socketPath_));
        } else {
            uchannel::setTransport(host::makeInProcessTransport());
        }
    }
    ~TransportScope() {
        uchannel::setTransport(nullptr);
        if (server_) server_->stop();
    }
    host::SocketServer* server() { return server_.get(); }
    const std::string& socketPath() const { return socketPath_; }

  private:
    std::string socketPath_;
    std::unique_ptr<host::SocketServer> server_;
};

// The fake driver, reached over the socket server in this process.
class FakeDriverOverSocket : public ::testing::Test {
  protected:
    void SetUp() override {
        driver_ = FakeDriver::create();
        ASSERT_NE(driver_, nullptr);
        transport_ = std::make_unique<TransportScope>(Transport::Socket);
        ASSERT_NE(transport_->server(), nullptr);
    }
    void TearDown() override {
        transport_.reset();
        driver_.reset();
    }

    std::unique_ptr<FakeDriver> driver_;
    std::unique_ptr<TransportScope> transport_;
};

}  // namespace pavtest
