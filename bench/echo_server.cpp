// gatewise-echo: the smallest batched UDP server we can write with the same socket layer and
// threading as gatewise-server. It answers every datagram with its own bytes, from the socket it
// arrived on; its rate is the machine's own limit for this traffic pattern.
//
//   gatewise-echo --listen A:P [--workers N]
//
// Stops on SIGINT or SIGTERM.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/address_text.h"
#include "server/signals.h"
#include "server/udp_io.h"

namespace {

void EchoLoop(int fd, const CWakeup& wakeup) {
    auto recv = std::make_unique<CRecvBatch>();
    auto send = std::make_unique<CSendBatch>();
    bool readable = false;
    CReadyWaiter waiter(&fd, 1, wakeup);
    while (waiter.Wait(&readable, -1)) {
        if (!readable)
            continue;
        for (int round = 0; round < 8; ++round) {
            const int got = recv->Receive(fd);
            for (int i = 0; i < got; ++i) {
                if (recv->Length(i) <= 128) {
                    send->Add(recv->FromAddress(i), recv->FromPort(i), recv->Data(i),
                              recv->Length(i));
                }
            }
            if (!send->Empty())
                send->Flush(fd);
            if (got < kIoBatch)
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Ipv4Endpoint listen;
    unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const std::optional<Ipv4Endpoint> ep = ParseIpv4Endpoint(argv[i + 1]);
        if (opt == "--listen" && ep) {
            listen = *ep;
            continue;
        }
        if (opt == "--workers") {
            workers = static_cast<unsigned>(std::strtoul(argv[i + 1], nullptr, 10));
            if (workers > 0 && workers <= 64)
                continue;
        }
        std::fprintf(stderr, "usage: gatewise-echo --listen A:P [--workers N]\n");
        return 2;
    }
    if (listen.port == 0 || workers == 0) {
        std::fprintf(stderr, "usage: gatewise-echo --listen A:P [--workers N]\n");
        return 2;
    }
    BlockServerSignals();
    CWakeup wakeup;
    std::vector<int> fds;
    for (unsigned i = 0; i < workers; ++i) {
        std::string error;
        const int fd = OpenUdpSocket(listen.address, listen.port, true, error);
        if (fd < 0) {
            std::fprintf(stderr, "gatewise-echo: %s\n", error.c_str());
            return 1;
        }
        fds.push_back(fd);
    }
    std::vector<std::thread> threads;
    for (int fd : fds)
        threads.emplace_back([fd, &wakeup] { EchoLoop(fd, wakeup); });
    while (WaitForSignal(1000) != ServerSignal::Stop) {
    }
    wakeup.Signal();
    for (auto& t : threads)
        t.join();
    for (int fd : fds)
        CloseUdpSocket(fd);
    return 0;
}
