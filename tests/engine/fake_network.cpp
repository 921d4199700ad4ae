#include "tests/engine/fake_network.h"

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
    return slot >= 0 && slot < kSocketSlots ? kFirstHandle + slot : kInvalidSocket;
}

std::uint16_t CRecordingNetwork::LocalPort(int slot) const {
    return slot >= 0 && slot < kSocketSlots ? static_cast<std::uint16_t>(kFirstPort + slot) : 0;
}

int CRecordingNetwork::SlotOf(SocketHandle s) const {
    return s >= kFirstHandle && s < kFirstHandle + kSocketSlots ? s - kFirstHandle : -1;
}
