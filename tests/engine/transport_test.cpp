// The transport layer over real sockets on 127.0.0.1: TCP and reliable-UDP
// echoes through the wrappers, waits over descriptors above 1024, a refused
// connect, writes to a reset peer, datagrams, and the fatal type checks.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "engine/transport.h"
#include "net/socket.h"
#include "net/udt.h"
#include "tests/engine/transport_support.h"
#include "tests/support/leak_check.h"
#include "tests/support/support.h"

namespace {

const uint8_t kLoopback[4] = {127, 0, 0, 1};

TransportStruct *Make(int type) {
    TransportStruct *t = nullptr;
    Transport_Create(&t);
    EXPECT_EQ(1, Transport_SetType(t, type));
    return t;
}

// An open, bound, listening transport on a free port of 127.0.0.1.
TransportStruct *Listen(int type, int *port) {
    TransportStruct *t = Make(type);
    EXPECT_EQ(1, Transport_Open(t));
    EXPECT_EQ(1, Transport_SetReuseAddress(t));
    EXPECT_EQ(1, Transport_Bind(t, kLoopback, 0));
    EXPECT_EQ(1, Transport_SetBacklog(t));
    EXPECT_EQ(1, Transport_Listen(t));
    uint8_t address[4];
    EXPECT_EQ(1, Transport_GetSockName(t, address, port));
    return t;
}

// Waits (up to 10 s) until t is readable or, with `writable`, writable; 1 when it is.
int WaitReady(TransportStruct *t, TransportSelectStruct *set, bool writable) {
    int type = 0;
    Transport_GetType(t, &type);
    TransportSelect_Bind(set, type);
    Transport_SelectClear(set);
    Transport_SelectAdd(t, set);
    int ready = 0;
    Transport_Wait(writable ? nullptr : set, writable ? set : nullptr, nullptr, 10000, &ready);
    return ready > 0 && Transport_SelectIsSet(t, set);
}

// Before an accept or a read.
int WaitReadable(TransportStruct *t, TransportSelectStruct *set) {
    return WaitReady(t, set, false);
}

void WaitWritable(TransportStruct *t, TransportSelectStruct *set) {
    WaitReady(t, set, true);
}

// Sends all bytes, waiting whenever the transport would block.
void SendAll(TransportStruct *t, const std::string &bytes) {
    TransportSelectStruct *set = nullptr;
    TransportSelect_Create(&set);
    size_t done = 0;
    for (int rounds = 0; done < bytes.size() && rounds < 10000; rounds++) {
        int written = 0;
        ASSERT_EQ(1, Transport_Write(t, bytes.data() + done, (int)(bytes.size() - done), &written))
            << Transport_GetLastErrorString(t);
        done += (size_t)written;
        if (written == 0)
            WaitWritable(t, set);
    }
    TransportSelect_Destroy(&set);
    ASSERT_EQ(bytes.size(), done);
}

std::string ReceiveAll(TransportStruct *t, TransportSelectStruct *set, size_t size) {
    std::string bytes;
    char buffer[4096];
    while (bytes.size() < size && WaitReadable(t, set)) {
        int count = 0;
        if (Transport_Read(t, buffer, sizeof buffer, &count) != 1)
            break;
        bytes.append(buffer, (size_t)count);
    }
    return bytes;
}

// Connects a client to the listener and accepts the other end.
void ConnectPair(int type, TransportStruct *listener, int port, TransportStruct **client,
                 TransportStruct **server, TransportSelectStruct *set) {
    *client = Make(type);
    ASSERT_EQ(1, Transport_Open(*client));
    ASSERT_EQ(1, Transport_Connect(*client, kLoopback, port))
        << Transport_GetLastErrorString(*client);
    ASSERT_EQ(1, Transport_SetBlocking(listener));
    // The listener turns readable once a connection waits to be accepted.
    ASSERT_TRUE(WaitReadable(listener, set));
    ASSERT_EQ(1, Transport_Accept(listener, server));
    ASSERT_NE(nullptr, *server);
    EXPECT_EQ(1, Transport_IsAccepted(*server));
    EXPECT_EQ(0, Transport_IsAccepted(*client));
    ASSERT_EQ(1, Transport_SetBlocking(*server));
    ASSERT_EQ(1, Transport_SetBlocking(*client));
}

class TransportEcho : public ::testing::TestWithParam<int> {};

TEST_P(TransportEcho, EchoesThroughTheWrappers) {
    enginetest::StartTransports();
    int type = GetParam();
    int port = 0;
    TransportStruct *listener = Listen(type, &port);
    TransportSelectStruct *set = nullptr;
    TransportSelect_Create(&set);
    TransportStruct *client = nullptr, *server = nullptr;
    ConnectPair(type, listener, port, &client, &server, set);

    std::string message;
    for (int i = 0; i < 200000; i++)
        message.push_back((char)(i * 7 + i / 251));
    SendAll(client, message);
    std::string got = ReceiveAll(server, set, message.size());
    ASSERT_EQ(message.size(), got.size());
    EXPECT_TRUE(got == message);
    SendAll(server, got);
    EXPECT_TRUE(ReceiveAll(client, set, message.size()) == message);

    uint8_t address[4];
    int peerPort = 0, localPort = 0;
    ASSERT_EQ(1, Transport_GetPeerName(client, address, &peerPort));
    EXPECT_EQ(port, peerPort);
    ASSERT_EQ(1, Transport_GetRemoteAddress(server, address, &peerPort));
    ASSERT_EQ(1, Transport_GetSockName(client, address, &localPort));
    EXPECT_EQ(localPort, peerPort);
    char text[TRANSPORT_ADDRESS_STRING_SIZE];
    ASSERT_EQ(1, Transport_GetAddressString(client, text));
    EXPECT_EQ("127.0.0.1:" + std::to_string(port), text);
    double receive = -1, send = -1;
    EXPECT_EQ(1, Transport_GetCurrentRates(client, &receive, &send));
    EXPECT_EQ(1, Transport_SetRateLimits(client, 0, 0));

    Transport_Close(client);
    Transport_Destroy(&client);
    Transport_Destroy(&server);
    Transport_Destroy(&listener);
    TransportSelect_Destroy(&set);
    EXPECT_EQ(nullptr, set);
}

INSTANTIATE_TEST_SUITE_P(BothTypes, TransportEcho,
                         ::testing::Values(TRANSPORT_TYPE_NORMAL, TRANSPORT_TYPE_UDT));

TEST(Transport, WaitsOverDescriptorsAbove1024) {
    enginetest::StartTransports();
    std::vector<int> filler;
    for (int i = 0; i < 1100; i++)
        filler.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_GT(filler.back(), 1024);
    int port = 0;
    TransportStruct *listener = Listen(TRANSPORT_TYPE_NORMAL, &port);
    TransportSelectStruct *set = nullptr;
    TransportSelect_Create(&set);
    TransportStruct *client = nullptr, *server = nullptr;
    ConnectPair(TRANSPORT_TYPE_NORMAL, listener, port, &client, &server, set);
    int handle = 0;
    Socket_GetHandle(static_cast<SocketStruct *>(server->Handle), &handle);
    EXPECT_GT(handle, 1024);

    // Nothing to read yet: the wait times out with no member ready.
    Transport_SelectClear(set);
    Transport_SelectAdd(server, set);
    int ready = -1;
    ASSERT_EQ(1, Transport_Wait(set, nullptr, nullptr, 0, &ready));
    EXPECT_EQ(0, ready);
    SendAll(client, "ping");
    EXPECT_EQ("ping", ReceiveAll(server, set, 4));
    // The write set reports the client writable.
    TransportSelectStruct *writeSet = nullptr;
    TransportSelect_Create(&writeSet);
    TransportSelect_Bind(writeSet, TRANSPORT_TYPE_NORMAL);
    Transport_SelectAdd(client, writeSet);
    Transport_SelectClear(set);
    ASSERT_EQ(1, Transport_Wait(set, writeSet, nullptr, 1000, &ready));
    EXPECT_EQ(1, ready);
    EXPECT_NE(0, Transport_SelectIsSet(client, writeSet));
    int capacity = 0;
    Transport_SelectGetCapacity(set, &capacity);
    EXPECT_EQ(64, capacity);

    Transport_Destroy(&client);
    Transport_Destroy(&server);
    Transport_Destroy(&listener);
    TransportSelect_Destroy(&set);
    TransportSelect_Destroy(&writeSet);
    for (int fd : filler)
        close(fd);
}

TEST(Transport, RefusedConnectFails) {
    enginetest::StartTransports();
    int port = 0;
    TransportStruct *gone = Listen(TRANSPORT_TYPE_NORMAL, &port);
    Transport_Destroy(&gone); // nothing listens on the port now
    TransportStruct *client = Make(TRANSPORT_TYPE_NORMAL);
    ASSERT_EQ(1, Transport_Open(client));
    EXPECT_EQ(0, Transport_Connect(client, kLoopback, port));
    EXPECT_EQ(SOCKET_ERROR_REFUSED, Transport_GetLastError(client));
    EXPECT_STRNE("", Transport_GetLastErrorString(client));
    Transport_Destroy(&client);
}

TEST(Transport, WriteToAResetPeerFailsWithoutASignal) {
    enginetest::StartTransports();
    int port = 0;
    TransportStruct *listener = Listen(TRANSPORT_TYPE_NORMAL, &port);
    TransportSelectStruct *set = nullptr;
    TransportSelect_Create(&set);
    TransportStruct *client = nullptr, *server = nullptr;
    ConnectPair(TRANSPORT_TYPE_NORMAL, listener, port, &client, &server, set);
    // Linger 0 makes the close send a reset.
    ASSERT_EQ(1, Transport_Ops[0].SetLinger(server->Handle, 1, 0));
    Transport_Close(server);
    std::string block(65536, 'x');
    int result = 1;
    for (int i = 0; i < 1000 && result == 1; i++) {
        int written = 0;
        result = Transport_Write(client, block.data(), (int)block.size(), &written);
        if (result == 1 && written == 0)
            WaitWritable(client, set);
    }
    EXPECT_EQ(0, result);
    int error = Transport_GetLastError(client);
    EXPECT_TRUE(error == SOCKET_ERROR_RESET || error == SOCKET_ERROR_ABORTED) << error;
    Transport_Destroy(&client);
    Transport_Destroy(&server);
    Transport_Destroy(&listener);
    TransportSelect_Destroy(&set);
}

TEST(Transport, DatagramsOfAnAdoptedPlainSocket) {
    enginetest::StartTransports();
    SocketStruct *a = nullptr, *b = nullptr;
    Socket_Create(&a);
    Socket_Create(&b);
    ASSERT_EQ(1, Socket_Open(a, SOCKET_PROTOCOL_UDP));
    ASSERT_EQ(1, Socket_Open(b, SOCKET_PROTOCOL_UDP));
    ASSERT_EQ(1, Socket_Bind(b, kLoopback, 0));
    uint8_t address[4];
    int portB = 0;
    Socket_GetSockName(b, address, &portB);
    TransportStruct *ta = Make(TRANSPORT_TYPE_NORMAL);
    TransportStruct *tb = Make(TRANSPORT_TYPE_NORMAL);
    ASSERT_EQ(1, Transport_AttachSocket(ta, a));
    ASSERT_EQ(1, Transport_AttachSocket(tb, b));
    int protocol = 0;
    Transport_GetProtocol(ta, &protocol);
    EXPECT_EQ(SOCKET_PROTOCOL_UDP, protocol);
    int sent = 0;
    ASSERT_EQ(1, Transport_WriteTo(ta, kLoopback, portB, "punch", 5, &sent));
    EXPECT_EQ(5, sent);
    char buffer[16];
    int port = 0, received = 0;
    ASSERT_EQ(1, Transport_ReadFrom(tb, address, &port, buffer, sizeof buffer, &received));
    EXPECT_EQ("punch", std::string(buffer, (size_t)received));
    EXPECT_GT(port, 0);
    // A detached socket is left to its new owner.
    Transport_DetachSocket(tb);
    Transport_Destroy(&tb);
    EXPECT_EQ(1, Socket_IsOpen(b));
    Socket_Destroy(&b);
    Transport_Destroy(&ta);
}

TEST(Transport, TypesNamesAndHandles) {
    enginetest::StartTransports();
    TransportStruct *t = nullptr;
    Transport_Create(&t);
    char name[8];
    EXPECT_EQ(0, Transport_GetName(t, name, sizeof name));
    Transport_SetType(t, TRANSPORT_TYPE_UDT);
    void *handle = t->Handle;
    EXPECT_EQ(1, Transport_SetType(t, TRANSPORT_TYPE_UDT)); // same type keeps the handle
    EXPECT_EQ(handle, t->Handle);
    Transport_GetName(t, name, sizeof name);
    EXPECT_STREQ("UDT", name);
    int protocol = 0;
    EXPECT_EQ(1, Transport_GetProtocol(t, &protocol));
    EXPECT_EQ(1, protocol);
    void *udt = nullptr;
    EXPECT_EQ(1, Transport_GetUDTSocket(t, &udt));
    EXPECT_EQ(handle, udt);
    SocketStruct *plain = nullptr;
    Socket_Create(&plain);
    EXPECT_EQ(0, Transport_AttachSocket(t, plain)); // plain sockets only
    Socket_Destroy(&plain);

    // A non-blocking listener with nothing pending: success and no record.
    EXPECT_EQ(1, Transport_Open(t));
    EXPECT_EQ(1, Transport_Bind(t, kLoopback, 0));
    EXPECT_EQ(1, Transport_Listen(t));
    EXPECT_EQ(1, Transport_SetBlocking(t));
    TransportStruct *accepted = reinterpret_cast<TransportStruct *>(1);
    EXPECT_EQ(1, Transport_Accept(t, &accepted));
    EXPECT_EQ(nullptr, accepted);

    Transport_SetType(t, TRANSPORT_TYPE_NORMAL); // a new type: a fresh handle
    EXPECT_EQ(0, Transport_IsOpen(t));
    Transport_GetName(t, name, 4);
    EXPECT_STREQ("Nor", name);
    EXPECT_EQ(0, Transport_GetUDTSocket(t, &udt));
    Transport_Destroy(&t);
    EXPECT_EQ(nullptr, t);

    const uint8_t a[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    uint8_t b[12];
    memcpy(b, a, sizeof b);
    EXPECT_EQ(1, Transport_SameBinding(a, b));
    b[11] = 0;
    EXPECT_EQ(0, Transport_SameBinding(a, b));
}

TEST(TransportDeath, MisuseIsFatal) {
    enginetest::StartTransports();
    TransportStruct *udt = Make(TRANSPORT_TYPE_UDT);
    TransportSelectStruct *plainSet = nullptr, *udtSet = nullptr;
    TransportSelect_Create(&plainSet);
    TransportSelect_Create(&udtSet);
    TransportSelect_Bind(plainSet, TRANSPORT_TYPE_NORMAL);
    TransportSelect_Bind(udtSet, TRANSPORT_TYPE_UDT);
    int ready = 0, sent = 0;
    EXPECT_DEATH(Transport_Wait(plainSet, udtSet, nullptr, 0, &ready),
                 "Transport type mismatch in wait");
    EXPECT_DEATH(Transport_SelectAdd(udt, plainSet), "Transport type mismatch \\(2 != 1\\)");
    EXPECT_DEATH(Transport_WriteTo(udt, kLoopback, 1, "x", 1, &sent),
                 "Plain-socket call on a transport that is not an open plain socket \\(type 2\\)");
    EXPECT_DEATH(Transport_SetType(udt, 3), "Unknown transport type 3");
    EXPECT_DEATH(Transport_Wait(nullptr, nullptr, nullptr, 0, &ready),
                 "Transport_Wait\\(\\) without a read or a write set");
    Transport_Destroy(&udt);
    TransportSelect_Destroy(&plainSet);
    TransportSelect_Destroy(&udtSet);
}

PORTICO_TEST_CHILD(transport_start_stop) {
    Transport_Startup();
    TransportStruct *t = Make(TRANSPORT_TYPE_UDT);
    Transport_Destroy(&t);
    Transport_Shutdown();
    return 0;
}

TEST(Transport, StartsAndStopsBothLayers) {
    pid_t child = testsupport::SpawnChild("transport_start_stop", {});
    EXPECT_EQ(0, testsupport::WaitChild(child));
}

} // namespace
