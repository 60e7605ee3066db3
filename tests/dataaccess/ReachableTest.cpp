// The probe made before the client connects: the port it takes when the
// database name gives none.
#include "PrivateServer.h"
#include "Reachable.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>

#include <string>

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

} // namespace
