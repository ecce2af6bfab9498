// Gateway and lan namespaces for the port-mapping tests (see netns.h).
#include "tests/support/netns.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace nettest {

namespace {

const char kPrefixGateway[] = "ptgw";
const char kPrefixLan[] = "ptlan";

// Removes namespaces of earlier runs whose process is gone.
void RemoveStale() {
    std::string list;
    testsupport::RunCommand("ip netns list 2>/dev/null", &list);
    std::istringstream lines(list);
    std::string line;
    while (std::getline(lines, line)) {
        std::string name = line.substr(0, line.find(' '));
        std::string rest;
        if (name.rfind(kPrefixGateway, 0) == 0)
            rest = name.substr(sizeof(kPrefixGateway) - 1);
        else if (name.rfind(kPrefixLan, 0) == 0)
            rest = name.substr(sizeof(kPrefixLan) - 1);
        else
            continue;
        int pid = atoi(rest.substr(0, rest.find('x')).c_str());
        if (pid > 0 && kill(pid, 0) != 0) {
            // A daemon left in it by a crashed run goes with it.
            testsupport::RunCommand("ip netns pids " + name + " 2>/dev/null | xargs -r kill");
            testsupport::RunCommand("ip netns del " + name + " 2>/dev/null");
        }
    }
}

} // namespace

GatewayNamespaces::GatewayNamespaces() {
    static std::atomic<int> counter{0};
    suffix_ = std::to_string(getpid()) + "x" + std::to_string(counter++);
    gateway_ = kPrefixGateway + suffix_;
    lan_ = kPrefixLan + suffix_;
    if (geteuid() != 0) {
        why_ = "network namespaces need root";
        return;
    }
    for (const char *tool : {"ip", "nft", "miniupnpd", "upnpc", "natpmpc"}) {
        if (!testsupport::HaveProgram(tool)) {
            why_ = std::string("missing program: ") + tool;
            return;
        }
    }
    RemoveStale();
    ok_ = Setup() && StartDaemon();
    if (!ok_)
        Teardown();
}

GatewayNamespaces::~GatewayNamespaces() {
    Teardown();
}

bool GatewayNamespaces::Run(const std::string &command) {
    std::string output;
    if (testsupport::RunCommand(command + " 2>&1", &output) == 0)
        return true;
    why_ = "'" + command + "' failed: " + output;
    return false;
}

bool GatewayNamespaces::Setup() {
    if (!Run("ip netns add " + gateway_))
        return false;
    if (!Run("ip netns add " + lan_))
        return false;
    std::string g = "ip -n " + gateway_ + " ";
    std::string l = "ip -n " + lan_ + " ";
    // Both ends are made inside their namespaces, so fixed names never clash.
    return Run("ip link add lan0 netns " + gateway_ + " type veth peer name lan0 netns " + lan_) &&
           Run(g + "addr add " + kGatewayAddress + "/24 dev lan0") && Run(g + "link set lan0 up") &&
           Run(g + "link set lo up") && Run(l + "addr add " + kLanAddress + "/24 dev lan0") &&
           Run(l + "link set lan0 up") && Run(l + "link set lo up") &&
           Run(l + "route add default via " + kGatewayAddress) &&
           // The outside interface: one end of a veth pair kept inside the gateway.
           Run(g + "link add wan0 type veth peer name wan1") &&
           Run(g + "addr add " + kExternalAddress + "/24 dev wan0") &&
           Run(g + "link set wan0 up") && Run(g + "link set wan1 up");
}

bool GatewayNamespaces::StartDaemon() {
    // The chains miniupnpd adds its redirections to (its default names).
    testsupport::WriteFile(dir_ / "rules.nft", "table inet filter {\n"
                                               "  chain miniupnpd { }\n"
                                               "  chain prerouting_miniupnpd { }\n"
                                               "  chain postrouting_miniupnpd { }\n"
                                               "  chain forward { type filter hook forward "
                                               "priority 0; policy drop; jump miniupnpd; }\n"
                                               "  chain prerouting { type nat hook prerouting "
                                               "priority -100; policy accept; jump "
                                               "prerouting_miniupnpd; }\n"
                                               "  chain postrouting { type nat hook postrouting "
                                               "priority 100; policy accept; jump "
                                               "postrouting_miniupnpd; }\n"
                                               "}\n");
    if (!Run("ip netns exec " + gateway_ + " nft -f " + dir_.path() + "/rules.nft"))
        return false;
    testsupport::WriteFile(dir_ / "miniupnpd.conf", "ext_ifname=wan0\n"
                                                    "listening_ip=lan0\n"
                                                    "port=5000\n"
                                                    "enable_natpmp=yes\n"
                                                    "enable_upnp=yes\n"
                                                    "secure_mode=no\n"
                                                    "system_uptime=yes\n"
                                                    "notify_interval=60\n"
                                                    "uuid=6c0d1a3e-62b1-4c33-9f1e-0a4e4d1b2c3d\n"
                                                    "allow 1024-65535 192.168.77.0/24 1024-65535\n"
                                                    "deny 0-65535 0.0.0.0/0 0-65535\n");
    std::string conf = dir_ / "miniupnpd.conf";
    std::string logPath = dir_ / "miniupnpd.log";
    // A pid file of its own: the default one lets only one daemon run at a time.
    std::string pidPath = dir_ / "miniupnpd.pid";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); // the daemon ends with the test program
        int fd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        execlp("ip", "ip", "netns", "exec", gateway_.c_str(), "miniupnpd", "-d", "-f", conf.c_str(),
               "-P", pidPath.c_str(), (char *)nullptr);
        _exit(127);
    }
    if (pid < 0) {
        why_ = "fork failed";
        return false;
    }
    daemon_ = pid;
    // Ready once its description answers on the lan side.
    for (int i = 0; i < 300; i++) {
        if (RunInLan("curl -s -o /dev/null --max-time 1 http://" + std::string(kGatewayAddress) +
                         ":5000/rootDesc.xml",
                     nullptr) == 0)
            return true;
        if (waitpid(daemon_, nullptr, WNOHANG) == daemon_) {
            daemon_ = -1;
            why_ = "miniupnpd exited: " + log();
            return false;
        }
        usleep(20000);
    }
    why_ = "miniupnpd did not answer: " + log();
    return false;
}

void GatewayNamespaces::Teardown() {
    if (daemon_ > 0) {
        kill(daemon_, SIGTERM);
        waitpid(daemon_, nullptr, 0);
        daemon_ = -1;
    }
    // Deleting a namespace removes the interfaces and rules inside it.
    testsupport::RunCommand("ip netns del " + lan_ + " 2>/dev/null");
    testsupport::RunCommand("ip netns del " + gateway_ + " 2>/dev/null");
}

int GatewayNamespaces::RunInLan(const std::string &command, std::string *output) {
    std::string text;
    int status =
        testsupport::RunCommand("ip netns exec " + lan_ + " sh -c '" + command + "' 2>&1", &text);
    if (output != nullptr)
        *output = text;
    return status;
}

int GatewayNamespaces::RunChildInLan(const std::string &name, const std::string &arguments,
                                     std::string *output) {
    return testsupport::RunCommand("ip netns exec " + lan_ + " " + testsupport::SelfPath() +
                                       " --child " + name + " " + arguments,
                                   output);
}

std::string GatewayNamespaces::log() const {
    return testsupport::FileExists(dir_ / "miniupnpd.log")
               ? testsupport::ReadFile(dir_ / "miniupnpd.log")
               : std::string();
}

} // namespace nettest
