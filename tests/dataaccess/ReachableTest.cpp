// The probe made before the client connects: the port it takes when the
// database name gives none.
#include "PrivateServer.h"
#include "Reachable.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace {

TEST(ClientService, AttachmentLinesOverTheClientsConfigPortOverServiceName)
{
    struct Case {
        const char* attachment;
        const char* client;
        const char* service;
    };
    const Case cases[] = {
        {"", "", "gds_db"},
        {"", "RemoteServicePort = 3051", "3051"},
        {"", "RemoteServicePort = 3051 # the second instance", "3051"},
        {"", "#RemoteServicePort = 3051\n  RemoteServiceName = fb_alt\r\n", "fb_alt"},
        {"", "remoteserviceport = 0\nRemoteServiceName = fb_alt", "fb_alt"},
        {"RemoteServicePort=3052", "RemoteServicePort = 3051", "3052"},
        {"RemoteServiceName=fb_alt", "RemoteServicePort = 3051", "3051"},
        {"RemoteServiceName=fb_alt\n", "", "fb_alt"},
        {"", "RemoteServicePort = 3051\nRemoteServicePort = 3053", "3053"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(dataaccess::ClientService(c.attachment, c.client), c.service)
            << "[" << c.attachment << "] [" << c.client << "]";
}

#ifndef _WIN32
// A name without a port is probed on the port the attachment's own lines give.
TEST(ServerAnswers, NameWithoutAPortIsProbedOnTheConfiguredPort)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "COLLI_FB_SERVER not set";
    testsupport::PrivateServer server;
    ASSERT_TRUE(server.Running());
    const std::string port = server.Address().substr(server.Address().find('/') + 1);
    const std::string name = "127.0.0.1:" + server.Folder() + "x.fdb";
    const std::string config = "RemoteServicePort=" + port;
    EXPECT_TRUE(dataaccess::ServerAnswers(name, 1500, config));
    if (!server.Blackhole())
        GTEST_SKIP() << "iptables not usable here";
    EXPECT_FALSE(dataaccess::ServerAnswers(name, 1500, config));
    // A service no resolver knows is the client's to report.
    EXPECT_TRUE(dataaccess::ServerAnswers(name, 1500, "RemoteServiceName=no_such_service_here"));
}
#endif

#ifndef _WIN32
// Numeric addresses resolved one by one and chained in the given order, as a
// resolver gives a name that has them all.
class AddressChain {
public:
    AddressChain(const std::vector<std::string>& hosts, const std::string& port)
    {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICHOST;
        for (const std::string& host : hosts) {
            addrinfo* found = nullptr;
            if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0)
                return;
            parts_.push_back(found);
        }
        for (std::size_t i = 0; i + 1 < parts_.size(); ++i)
            parts_[i]->ai_next = parts_[i + 1];
    }
    ~AddressChain()
    {
        for (addrinfo* part : parts_) {
            part->ai_next = nullptr;
            ::freeaddrinfo(part);
        }
    }
    AddressChain(const AddressChain&) = delete;
    AddressChain& operator=(const AddressChain&) = delete;

    const addrinfo* First() const { return parts_.empty() ? nullptr : parts_.front(); }
    std::size_t Size() const { return parts_.size(); }

private:
    std::vector<addrinfo*> parts_;
};

// A name of ::1 and 127.0.0.1 where only 127.0.0.1 listens: the client goes
// on after ::1 refuses, and so must the probe, or a silent 127.0.0.1 would
// pass for an answer.
TEST(ServerAnswers, EveryAddressIsTriedAfterOneRefuses)
{
    if (testsupport::ServerAddress().empty())
        GTEST_SKIP() << "COLLI_FB_SERVER not set";
    testsupport::PrivateServer server; // bound to 127.0.0.1 alone
    ASSERT_TRUE(server.Running());
    const std::string port = server.Address().substr(server.Address().find('/') + 1);
    const struct {
        const char* what;
        std::string port;
        bool blackholed;
        bool answers;
    } cases[] = {
        {"refused, then connected", port, false, true},
        {"refused everywhere: the client tells that at once", std::to_string(testsupport::ClosedPort()), false, true},
        {"refused, then silent", port, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const AddressChain both({"::1", "127.0.0.1"}, c.port);
        if (both.Size() != 2)
            GTEST_SKIP() << "no IPv6 loopback here";
        if (c.blackholed && !server.Blackhole())
            GTEST_SKIP() << "iptables not usable here";
        EXPECT_EQ(dataaccess::AddressesAnswer(both.First(), 1500), c.answers);
        server.Restore();
    }
}
#endif

} // namespace
