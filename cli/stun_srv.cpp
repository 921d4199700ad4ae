#include "cli/stun_srv.h"

#include "core/log.h"
#include "core/settings.h"
#include "net/messages.h"

namespace {

// The server of one record, checked as --stun checks a server it is given.
StunSrvTarget TargetOf(const SrvRecord& record, const HostResolver& resolve) {
    StunSrvTarget t{record, std::nullopt, {}};
    t.server =
        ResolveStunTarget(record.target + ":" + std::to_string(record.port), resolve, t.problem);
    return t;
}

// A probe server of the pair: the check speaks IPv4 only.
std::optional<ServerOverride> PairServerOf(const SrvRecord& record, const HostResolver& resolve,
                                           std::string& why) {
    const StunSrvTarget t = TargetOf(record, resolve);
    why = t.problem;
    if (!t.server)
        return std::nullopt;
    if (!t.server->ipv4) {
        why = record.target + " has no IPv4 address";
        return std::nullopt;
    }
    return ServerOverride{t.server->ipv4->Ipv4Address(), NetPort(t.server->ipv4->port)};
}

}  // namespace

std::optional<StunSrvChoice> FindStunBySrv(const std::string& text, const SrvResolver& srv,
                                           const HostResolver& resolve, const SrvRandom& random,
                                           std::string& why) {
    // A port or a literal address names the server itself (RFC 8489 section 8).
    if (!srv || text.find(':') != std::string::npos || ParseIpv4(text) || !LooksLikeHostName(text))
        return std::nullopt;
    StunSrvChoice choice;
    choice.service = kStunSrvPrefix + text;
    const std::string fallBack = "; using " + text + " at port " + std::to_string(kDefaultStunPort);
    const SrvLookup found = srv(choice.service);
    if (!found.error.empty()) {
        choice.note = "No SRV answer for " + choice.service + " (" + found.error + ")" + fallBack;
        return choice;
    }
    const SrvOrder order = OrderSrvRecords(found.records, random);
    switch (order.verdict) {
        case SrvOrder::Verdict::kNone:
            choice.note = "No SRV records for " + choice.service + fallBack;
            return choice;
        case SrvOrder::Verdict::kNotOffered:
            why = choice.service + " says no STUN service is offered there (target \".\")";
            return std::nullopt;
        case SrvOrder::Verdict::kUse:
            break;
    }
    bool usable = false;
    for (const SrvRecord& r : order.records) {
        if (choice.targets.size() == kMaxStunSrvTargets)
            break;
        choice.targets.push_back(TargetOf(r, resolve));
        usable = usable || choice.targets.back().server.has_value();
    }
    if (!usable) {
        why = "no record of " + choice.service + " can be used (" + choice.targets.front().problem +
              ")";
        return std::nullopt;
    }
    return choice;
}

StunOutcome RunStunTargets(const CliOptions& options, const StunTargetRunFn& run,
                           const std::function<std::uint64_t()>& nowMs) {
    if (!options.stunSrv || options.stunSrv->targets.empty()) {
        if (options.stunSrv)
            theLog.WriteLine("%s", options.stunSrv->note.c_str());
        return run(*options.stun);
    }
    const StunSrvChoice& srv = *options.stunSrv;
    const std::uint64_t start = nowMs();
    StunOutcome outcome;
    for (std::size_t i = 0; i < srv.targets.size(); ++i) {
        const StunSrvTarget& t = srv.targets[i];
        const std::string record = SrvRecordText(t.record);
        if (!t.server) {
            theLog.WriteLine("Skipping %s: %s: %s", srv.service.c_str(), record.c_str(),
                             t.problem.c_str());
            continue;
        }
        theLog.WriteLine("Using %s: %s", srv.service.c_str(), record.c_str());
        outcome = run(*t.server);
        if (!outcome.finished || outcome.socketsFailed || outcome.serverAnswered ||
            i + 1 == srv.targets.size()) {
            break;
        }
        theLog.WriteLine("");
        if (nowMs() - start >= kSrvFallOverMs) {
            theLog.WriteLine("No answer from %s; no time left for the other records of %s",
                             t.record.target.c_str(), srv.service.c_str());
            break;
        }
        theLog.WriteLine("No answer from %s; trying the next record of %s", t.record.target.c_str(),
                         srv.service.c_str());
    }
    return outcome;
}

std::optional<SrvServerPair> SettingsPairBySrv(const std::string& path, const HostResolver& resolve,
                                               const SrvResolver& srv, const SrvRandom& random) {
    const std::string name = LoadSettingsText(path).server1Ip;
    // An address, or a name with an address of its own, is used as before.
    if (!srv || AddressTextNumber(name) || !LooksLikeHostName(name) || resolve(name).ok)
        return std::nullopt;
    const std::string service = kGatewiseSrvPrefix + name;
    const SrvLookup found = srv(service);
    if (!found.error.empty()) {
        theLog.WriteLine("No SRV answer for %s: %s", service.c_str(), found.error.c_str());
        return std::nullopt;
    }
    if (found.records.empty())
        return std::nullopt;
    const SrvOrder order = OrderSrvRecords(found.records, random);
    std::string why = "the records say it offers no probe servers";
    const std::optional<SrvPair> pair =
        order.verdict == SrvOrder::Verdict::kUse ? ChooseSrvPair(order.records, why) : std::nullopt;
    std::optional<SrvServerPair> servers;
    if (pair) {
        std::string why1;
        std::string why2;
        const std::optional<ServerOverride> s1 = PairServerOf(pair->server1, resolve, why1);
        const std::optional<ServerOverride> s2 = PairServerOf(pair->server2, resolve, why2);
        why = !s1 ? why1 : why2;
        if (s1 && s2)
            servers = SrvServerPair{*s1, *s2};
    }
    if (!servers) {
        theLog.WriteLine("Cannot use %s: %s", service.c_str(), why.c_str());
        return std::nullopt;
    }
    theLog.WriteLine("Using %s: Server1 %s, Server2 %s", service.c_str(),
                     SrvRecordText(pair->server1).c_str(), SrvRecordText(pair->server2).c_str());
    return servers;
}

SrvResolver ClientSrvResolver() {
    if (!SrvLookupAvailable())
        return {};
    return [](const std::string& name) { return LookupSrv(name); };
}
