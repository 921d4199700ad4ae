#include "tests/engine/fake_network.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/socket_layer.h"

CRecordingNetwork::CRecordingNetwork() {
    for (SocketHandle& s : m_sockets) {
        s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sin.sin_port = 0;
        if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
            close(s);
            s = kInvalidSocket;
        }
    }
}

CRecordingNetwork::~CRecordingNetwork() {
    for (SocketHandle s : m_sockets) {
        if (s >= 0)
            close(s);
    }
}

void CRecordingNetwork::Send(NatMessage msg) {
    SentRecord r;
    r.code = MessageType(msg);
    r.address = msg.address;
    r.port = msg.port;
    r.slot = SlotOf(msg.socket);
    r.tracked = msg.retryCount >= 0;
    r.msg = msg;
    sent.push_back(r);
}

void CRecordingNetwork::CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) {
    completed.push_back({msg.fromAddress, msg.fromPort, requestType});
}

SocketHandle CRecordingNetwork::GetSocket(int slot) const {
    return slot >= 0 && slot < 5 ? m_sockets[slot] : kInvalidSocket;
}

std::uint16_t CRecordingNetwork::LocalPort(int slot) const {
    return SocketLocalPort(GetSocket(slot));
}

int CRecordingNetwork::SlotOf(SocketHandle s) const {
    for (int i = 0; i < 5; ++i) {
        if (m_sockets[i] == s)
            return i;
    }
    return -1;
}
