// A home gateway for port-mapping tests, built from network namespaces: a
// "gateway" namespace running miniupnpd (UPnP IGD and NAT-PMP, nftables
// redirections) and a "lan" namespace, joined by a veth pair. Addresses exist
// only inside the two namespaces, so nothing outside them is ever contacted.
// Everything is removed on destruction; namespaces left by a crashed run are
// removed by the next one.
#pragma once

#include "tests/support/support.h"

#include <string>
#include <sys/types.h>

namespace nettest {

class GatewayNamespaces {
  public:
    // Addresses inside the namespaces.
    static constexpr const char *kGatewayAddress = "192.168.77.1"; // inside (lan side)
    static constexpr const char *kLanAddress = "192.168.77.2";
    // The outside interface. miniupnpd refuses private and reserved addresses
    // (the documentation ranges included) as the external address, so the
    // outside gets an ordinary one; it exists only inside the gateway namespace.
    static constexpr const char *kExternalAddress = "203.0.114.5";

    GatewayNamespaces();
    ~GatewayNamespaces();
    GatewayNamespaces(const GatewayNamespaces &) = delete;
    GatewayNamespaces &operator=(const GatewayNamespaces &) = delete;

    // False with the reason in why() when the namespaces or the daemon could
    // not be set up (not root, a tool missing ...).
    bool ok() const { return ok_; }
    const std::string &why() const { return why_; }
    const std::string &lan() const { return lan_; }
    const std::string &gateway() const { return gateway_; }

    // Runs a shell command inside the lan namespace; returns its exit status
    // and its standard output (and error) in *output.
    int RunInLan(const std::string &command, std::string *output);
    // Runs a registered test child inside the lan namespace; its standard
    // output goes to *output.
    int RunChildInLan(const std::string &name, const std::string &arguments, std::string *output);
    // The daemon's log, for failure messages.
    std::string log() const;

  private:
    bool Setup();
    bool Run(const std::string &command);
    bool StartDaemon();
    void Teardown();

    testsupport::TempDir dir_;
    std::string gateway_;
    std::string lan_;
    std::string suffix_;
    pid_t daemon_ = -1;
    bool ok_ = false;
    std::string why_;
};

} // namespace nettest
