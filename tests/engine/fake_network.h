#pragma once
// Test doubles for the prober: a network module that records instead of sending, and a result
// presenter that answers as told. Test thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/result_presenter.h"
#include "net/messages.h"
#include "net/network_link.h"

struct SentRecord {
    std::uint32_t code = 0;
    std::uint32_t address = 0;  // network order
    std::uint16_t port = 0;     // network order
    int slot = -1;              // socket slot it leaves from; -1 for a socket not of this module
    bool tracked = false;       // retryCount >= 0
    NatMessage msg;
    std::vector<std::uint8_t> Bytes() const { return {msg.data, msg.data + msg.sendLength}; }
};

struct CompletedRecord {
    std::uint32_t fromAddress = 0;
    std::uint16_t fromPort = 0;
    std::uint32_t requestType = 0;
    bool operator==(const CompletedRecord&) const = default;
};

// Five real UDP sockets bound to 127.0.0.1:0 stand in the slots, so SocketLocalPort reads real
// ports; nothing is ever sent through them.
class CRecordingNetwork : public INetworkLink {
public:
    CRecordingNetwork();
    ~CRecordingNetwork() override;
    CRecordingNetwork(const CRecordingNetwork&) = delete;
    CRecordingNetwork& operator=(const CRecordingNetwork&) = delete;

    void Send(NatMessage msg) override;
    void CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) override;
    SocketHandle GetSocket(int slot) const override;
    int SocketCount() const override { return 5; }

    std::uint16_t LocalPort(int slot) const;  // host order
    int SlotOf(SocketHandle s) const;

    std::vector<SentRecord> sent;
    std::vector<CompletedRecord> completed;

private:
    SocketHandle m_sockets[5];
};

class CFakePresenter : public IResultPresenter {
public:
    bool ShowResult(const std::vector<std::string>& lines, bool& sendReport) override {
        ++shown;
        shownLines = lines;
        if (during)
            during();
        sendReport = tickReport;
        return pressOk;
    }
    void OpenLink(const std::string& url) override { links.push_back(url); }

    bool pressOk = true;
    bool tickReport = true;
    std::function<void()> during;  // runs inside the "modal" dialog
    int shown = 0;
    std::vector<std::string> shownLines;
    std::vector<std::string> links;
};
