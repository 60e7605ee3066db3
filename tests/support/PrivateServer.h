#pragma once

#include <string>

namespace testsupport {

// A Firebird server of one test alone (scripts/fb-test-server.sh) in a temporary
// folder of its own, so that the test can kill it and start it again on the same
// port. Stopped and removed on destruction.
class PrivateServer {
public:
    // wireCrypt: the server's WireCrypt setting (Required, Enabled, Disabled).
    explicit PrivateServer(const std::string& wireCrypt = "Enabled");
    ~PrivateServer();
    PrivateServer(const PrivateServer&) = delete;
    PrivateServer& operator=(const PrivateServer&) = delete;

    bool Running() const { return !port_.empty(); }
    std::string Address() const { return "127.0.0.1/" + port_; }
    // A folder for the test's databases; Address() + ":" + Folder() + "X.FDB" names one.
    const std::string& Folder() const { return folder_; }

    void Kill();    // SIGKILL, as a crash ends it
    void Restart(); // kills it if running, then starts it again on the same port
    void Stop();

#ifndef _WIN32
    // SIGSTOP and SIGCONT: a server that hangs (overloaded, a frozen machine).
    void Freeze();
    void Thaw();
    // Every packet to the server's port dropped by an iptables rule of this
    // server alone, until Restore or destruction (scripts/test.sh also removes
    // the rules of its run on exit). False when the rule cannot be made.
    // afterBytes > 0 lets each connection's first bytes through: a server
    // that stops answering in the middle of the handshake.
    bool Blackhole(int afterBytes = 0);
    void Restore();
    // The comment that marks this server's rule.
    std::string RuleComment() const;

    // A server away for the station, in either way: frozen or blackholed.
    enum class Away { Frozen, Blackholed };
    static const char* Named(Away away) { return away == Away::Frozen ? "frozen" : "blackholed"; }
    // False (and said on the test's output) when iptables cannot make the rule.
    bool Begin(Away away);
    void End(Away away);
#endif

private:
    bool Script(const std::string& command);
#ifndef _WIN32
    bool Rule(const char* action) const;
    int Pid() const;
#endif

    bool frozen_ = false;
    bool blackholed_ = false;
    std::string ruleMatch_; // what the rule matches besides the port

    std::string folder_;
    std::string port_;
    std::string wireCrypt_;
};

// A port on 127.0.0.1 where nobody listens: one the system just gave out and
// took back.
int ClosedPort();

} // namespace testsupport
