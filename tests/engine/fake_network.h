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

// Five made-up socket handles and local ports stand in the slots; no socket is opened.
class CRecordingNetwork : public INetworkLink {
public:
    void Send(NatMessage msg) override;
    void CompleteRequest(ReceivedMessage msg, std::uint32_t requestType) override;
    SocketHandle GetSocket(int slot) const override;
    int SocketCount() const override { return kSocketSlots; }
    std::uint16_t LocalPort(int slot) const override;  // host order

    int SlotOf(SocketHandle s) const;

    std::vector<SentRecord> sent;
    std::vector<CompletedRecord> completed;

    // Handles and ports no real socket has (ports as the system might choose them).
    static constexpr SocketHandle kFirstHandle = 1000;
    static constexpr std::uint16_t kFirstPort = 40100;
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
