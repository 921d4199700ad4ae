#pragma once
// What a test of the network module on loopback starts from: the module with every slot on a
// port the system chooses, a peer, a recording sink, the hand-run job queue with bounded polling,
// and the /proc readers that see its worker threads.

#include "net/udp_network.h"
#include "tests/support/job_queue.h"
#include "tests/support/loopback_peer.h"
#include "tests/support/proc_self.h"
#include "tests/support/recording_sink.h"

namespace gwtest {

// Every slot on a system-chosen port: the fixed 9801/9802 may be held by a running copy.
inline constexpr NetworkPorts kAnyPorts{{0, 0, 0, 0, 0}};

}  // namespace gwtest
