// A build without prometheus-cpp (the Windows build, or one without the library): no metrics
// endpoint, and --metrics is refused.
#include "server/metrics.h"

bool MetricsBuilt() {
    return false;
}

struct CMetricsEndpoint::Impl {};

CMetricsEndpoint::CMetricsEndpoint(const CProbeServer& server, const MetricsLimits& limits)
    : m_server(server), m_limits(limits) {}

CMetricsEndpoint::~CMetricsEndpoint() = default;

bool CMetricsEndpoint::Start(const std::string&, std::string& error) {
    error = "this gatewise-server was built without metrics (no prometheus-cpp)";
    return false;
}

std::uint16_t CMetricsEndpoint::Port() const {
    return 0;
}

void CMetricsEndpoint::Stop() {}
